"""Writing tables as QARN files: from pyarrow Tables and record batch
readers (a batch at a time), pandas and polars DataFrames, and mappings of
names to numpy arrays. The native writer encodes the columns from their
buffers; the bytes are those the CSV converter writes for the same table."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator, Mapping
from typing import Any, BinaryIO

from . import _native
from ._atomic import atomic_file
from ._optional import loaded_class, require
from ._frame_columns import check_polars_types, mapped_column, pandas_array
from ._write_columns import Lowered, arrow_column, check_arrow_type

CHUNK_SIZE = 10_000

# A file target gets the rows in groups of about this many bytes, so that a
# large table is never encoded whole in memory.
_GROUP_BYTES = 32 << 20

TABLE_END = b"\x4e\x7c\x05"


class _Rows:
    """A table as the writer takes it: names, and blocks of lowered columns."""

    def __init__(self, names: list[str], blocks: Iterator[tuple[list[Lowered], int]]) -> None:
        self.names = names
        self.blocks = blocks


def _arrow_blocks(pa: Any, table: Any, names: list[str], rows_per_block: int) -> Iterator[tuple[list[Lowered], int]]:
    for start in range(0, max(table.num_rows, 1), rows_per_block):
        part = table.slice(start, rows_per_block)
        yield [arrow_column(pa, name, column) for name, column in zip(names, part.columns)], part.num_rows


def _block_rows(table: Any, chunk_size: int, whole: bool) -> int:
    """Rows per block: a whole number of slices, about _GROUP_BYTES."""
    if whole or table.num_rows == 0:
        return max(table.num_rows, 1)
    per_row = max(table.nbytes / table.num_rows, 1.0)
    return chunk_size * max(1, int(_GROUP_BYTES / (per_row * chunk_size)))


def _from_arrow_table(pa: Any, table: Any, chunk_size: int, whole: bool, names: list[str] | None = None) -> _Rows:
    names = names if names is not None else [str(name) for name in table.column_names]
    for name, field in zip(names, table.schema):
        check_arrow_type(pa, name, field.type)  # every type is known good before a byte is written
    return _Rows(names, _arrow_blocks(pa, table, names, _block_rows(table, chunk_size, whole)))


def _from_batch_reader(pa: Any, reader: Any, chunk_size: int) -> _Rows:
    """Batches as they come, cut into whole slices: what is left of a
    batch waits for the next one."""
    schema = reader.schema
    names = [str(field.name) for field in schema]
    for name, field in zip(names, schema):
        check_arrow_type(pa, name, field.type)

    def blocks() -> Iterator[tuple[list[Lowered], int]]:
        waiting: list[Any] = []
        rows = 0
        for batch in reader:
            waiting.append(batch)
            rows += batch.num_rows
            if rows < chunk_size:
                continue
            table = pa.Table.from_batches(waiting, schema=schema)
            ready = rows - rows % chunk_size
            yield from _arrow_blocks(pa, table.slice(0, ready), names, ready)
            waiting = table.slice(ready).to_batches()
            rows -= ready
        if rows or not waiting:
            yield from _arrow_blocks(pa, pa.Table.from_batches(waiting, schema=schema), names, max(rows, 1))

    return _Rows(names, blocks())


def _from_pandas(pa: Any, frame: Any, chunk_size: int, whole: bool) -> _Rows:
    """Column by column, so that names may repeat and a column that Arrow
    cannot take is named; the index is not written."""
    arrays, names = [], []
    for position in range(frame.shape[1]):
        name = str(frame.columns[position])
        arrays.append(pandas_array(pa, name, frame.iloc[:, position]))
        names.append(name)
    chunked = [array if isinstance(array, pa.ChunkedArray) else pa.chunked_array([array], type=array.type)
               for array in arrays]  # fmt: skip
    table = pa.Table.from_arrays(chunked, names=names)
    return _from_arrow_table(pa, table, chunk_size, whole, names)


def _from_numpy(data: Mapping[Any, Any]) -> _Rows:
    names = [str(name) for name in data]
    columns = [mapped_column(name, value) for name, value in zip(names, data.values())]
    lengths = {sum(piece[1] for piece in pieces) for _, _, pieces in columns}
    if len(lengths) > 1:
        raise ValueError(f"the columns have different lengths: {sorted(lengths)}")
    return _Rows(names, iter([(columns, lengths.pop() if lengths else 0)]))


def _rows_of(data: Any, chunk_size: int, whole: bool) -> _Rows:
    arrow_table = loaded_class("pyarrow", "Table")
    if arrow_table is not None:
        pa = sys.modules["pyarrow"]
        if isinstance(data, arrow_table):
            return _from_arrow_table(pa, data, chunk_size, whole)
        if isinstance(data, pa.RecordBatch):
            return _from_arrow_table(pa, pa.Table.from_batches([data]), chunk_size, whole)
        if isinstance(data, pa.RecordBatchReader):
            return _from_batch_reader(pa, data, chunk_size)
    pandas_frame = loaded_class("pandas", "DataFrame")
    if pandas_frame is not None and isinstance(data, pandas_frame):
        pa = require("pyarrow", "arrow", "qarn.write() of a pandas DataFrame")
        return _from_pandas(pa, data, chunk_size, whole)
    polars_frame = loaded_class("polars", "DataFrame")
    if polars_frame is not None and isinstance(data, polars_frame):
        pa = require("pyarrow", "arrow", "qarn.write() of a polars DataFrame")
        check_polars_types(data.schema)
        return _from_arrow_table(pa, data.to_arrow(), chunk_size, whole)
    if isinstance(data, Mapping):
        return _from_numpy(data)
    raise TypeError(
        "data must be a pyarrow Table, RecordBatch or RecordBatchReader, a pandas or polars DataFrame, "
        f"or a mapping of names to numpy arrays, not {type(data).__name__}"
    )


def _encode(rows: _Rows, chunk_size: int, emit: Callable[[bytes], object], *, whole: bool) -> None:
    """The head with the first block, then the others as they come. With
    `whole`, the table end goes with the last block (there is always one
    block, if of no rows), so that a table given whole is one bytes object;
    else each block is written before the next is read."""
    first_row = 0
    block = next(rows.blocks)
    head = True
    while block is not None:
        following = next(rows.blocks, None) if whole else None
        columns, count = block
        end = whole and following is None
        emit(_native.write_table(rows.names, columns, count, chunk_size, first_row, head=head, end=end))
        head = False
        first_row += count
        block = following if whole else next(rows.blocks, None)
    if not whole:
        emit(TABLE_END)


def write(
    data: Any,
    target: str | os.PathLike[str] | BinaryIO | None = None,
    *,
    chunk_size: int = CHUNK_SIZE,
) -> bytes | None:
    """Writes a table as a QARN file: returns its bytes when `target` is
    None, else writes it to `target`, a path (under a temporary name,
    renamed once complete: a failure leaves no partial file) or a binary
    file object, and returns None.

    `data` is a pyarrow Table, RecordBatch or RecordBatchReader (read a
    batch at a time, never whole), a pandas DataFrame (its index is not
    written), a polars DataFrame, or a mapping of column names to numpy
    arrays. Rows go into table slices of `chunk_size` rows. Missing values
    (nulls, NaT, masked rows, None) are stored as the type's zero or the
    empty string and flagged invalid. A column of a type QARN cannot hold
    raises TypeError naming it; a value it cannot hold (an unsigned 64-bit
    integer above the largest long, a date outside the years 0001 to 9999,
    a timestamp in nanoseconds that is not whole microseconds) ValueError."""
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    if target is None:
        rows = _rows_of(data, chunk_size, whole=True)
        parts: list[bytes] = []
        _encode(rows, chunk_size, parts.append, whole=True)
        return parts[0] if len(parts) == 1 else b"".join(parts)
    if isinstance(target, (str, os.PathLike)):
        rows = _rows_of(data, chunk_size, whole=False)
        with atomic_file(target) as file:
            _encode(rows, chunk_size, file.write, whole=False)
        return None
    if hasattr(target, "write"):
        _encode(_rows_of(data, chunk_size, whole=False), chunk_size, target.write, whole=False)
        return None
    raise TypeError(f"target must be None, a path or a binary file object, not {type(target).__name__}")
