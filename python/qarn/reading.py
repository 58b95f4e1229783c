"""Reading QARN files: whole, one table slice at a time, or only checking them."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

from . import _native
from ._arrow_memory import arrow_allocator
from ._columns import ColumnIndex, Columns
from ._optional import require
from ._other_names import reading_names
from ._polars import table_to_polars
from ._source import Source, open_for_pieces, open_source
from ._threads import checked_threads, usable_threads
from .table import Table

if TYPE_CHECKING:
    import polars

def _flags(indices: list[int], count: int) -> bytes:
    flags = bytearray(count)
    for index in indices:
        flags[index] = 1
    return bytes(flags)


@reading_names
def read(source: Source, *, columns: Columns = None, threads: int | None = None) -> Table:
    """Reads a whole QARN file. `columns` names the columns to decode (by
    name or index, in the order wanted); the values of the others are not
    decoded, only stepped over. The columns are decoded on up to `threads`
    threads (all CPUs by default), whole columns each; the table is the same
    on any number. Raises FormatError for a file that is not exactly a valid
    QARN file."""
    return _read_table(source, columns, threads, views=False)


@reading_names
def read_polars(source: Source, *, columns: Columns = None, threads: int | None = None) -> polars.DataFrame:
    """Reads a whole QARN file into a polars DataFrame: the frame
    `read(source, columns=columns, threads=threads).to_polars()` gives, in
    one pass over each string column rather than two, as its values are
    decoded straight into the views polars keeps strings in. Needs polars
    and pyarrow."""
    require("polars", "polars", "qarn.read_polars()")
    pa = require("pyarrow", "polars", "qarn.read_polars()")
    return table_to_polars(_read_table(source, columns, threads, views=hasattr(pa, "string_view")))


def _read_table(source: Source, columns: Columns, threads: int | None, *, views: bool) -> Table:
    threads = usable_threads(checked_threads(threads))
    with open_source(source) as data:
        if columns is None:
            raw = _native.read(data, None, arrow_allocator(), threads, views)
            return Table(raw, list(range(len(raw["names"]))), threads)
        head = _native.read_head(data)
        selected = ColumnIndex(head["names"]).positions(columns)
        raw = _native.read(data, _flags(selected, len(head["names"])), arrow_allocator(), threads, views)
        return Table(raw, selected, threads)


def column_names(source: Source) -> list[str]:
    """The names of a file's columns, from its metadata alone."""
    with open_source(source) as data:
        names: list[str] = _native.read_head(data)["names"]
    return names


def validate(source: Source) -> None:
    """Checks a whole file and returns None, or raises FormatError naming
    the first defect and where it lies."""
    with open_source(source) as data:
        _native.validate(data)


@reading_names
def iter_slices(source: Source, *, columns: Columns = None) -> Iterator[Table]:
    """One Table per table slice, in order, so that a file larger than
    memory is read a slice at a time. The file is checked as it is read: a
    defect raises FormatError when the slice that holds it is reached."""
    return slices(source, columns=columns)


def slices(source: Source, *, columns: Columns = None, first: int = 0, count: int | None = None) -> Iterator[Table]:
    """Tables of `count` slices (all) from slice `first` on; the values of
    the slices before it are stepped over, not decoded."""
    with open_for_pieces(source) as (data, mapped):
        reader = _native.SliceReader(data)

        def next_slice(flags: bytes) -> dict | None:
            if mapped is not None:
                mapped.check_whole()
            raw = reader.next_slice(flags)
            if mapped is not None:
                mapped.release_before(reader.position)
            return raw

        try:
            head = reader.head
            selected = ColumnIndex(head["names"]).positions(columns)
            flags = _flags(selected, len(head["names"]))
            skipped = bytes(len(head["names"]))
            for _ in range(first):
                if next_slice(skipped) is None:
                    return
            while (count is None or count > 0) and (raw := next_slice(flags)) is not None:
                count = None if count is None else count - 1
                yield Table({**head, **raw}, selected)
        finally:
            del reader  # releases the mapped file before it is closed
