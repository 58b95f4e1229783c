"""A QARN file's rows one table slice at a time, and as CSV: the same text
as `read(source).to_csv()`, without holding more than one slice in memory,
and able to stop after the first rows."""

from __future__ import annotations

import contextlib
from collections.abc import Buffer, Generator, Iterator
from typing import cast

from . import _native
from ._source import Source
from .reading import Columns, iter_slices, read
from .table import Table


def leading_slices(source: Source, *, columns: Columns = None, rows: int | None = None) -> Iterator[tuple[Table, int]]:
    """Each table slice with the number of its rows wanted, until `rows`
    rows (all of them for None). A file without rows yields one empty
    table, so that its columns are known. The file is checked as it is
    read: a defect raises FormatError when its slice is reached."""
    remaining = rows
    seen = False
    slices = cast(Generator[Table, None, None], iter_slices(source, columns=columns))
    with contextlib.closing(slices):
        for table in slices:
            seen = True
            take = table.num_rows if remaining is None else min(remaining, table.num_rows)
            yield table, take
            if remaining is not None:
                remaining -= take
                if remaining == 0:
                    return
    if not seen:
        yield read(source, columns=columns), 0


def table_csv(table: Table, rows: int, *, header: bool = True) -> Buffer:
    """The CSV of the table's first `rows` rows, with or without the header row."""
    names, parts = table.column_names, table._csv_columns()
    text = _native.to_csv(names, parts, rows)
    if header:
        return text
    return memoryview(text)[len(_native.to_csv(names, parts, 0)) :]


def csv_pieces(source: Source, *, columns: Columns = None, rows: int | None = None) -> Iterator[Buffer]:
    """The CSV text in pieces: the header row with the first slice's rows,
    then each further slice's rows."""
    first = True
    for table, take in leading_slices(source, columns=columns, rows=rows):
        yield table_csv(table, take, header=first)
        first = False
