"""What a conversion could not keep: fields that do not fit their column's
type, and records with fields beyond the last column. Empty fields and null
markers are missing values, not losses."""

from __future__ import annotations

import contextlib
import csv
import io
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import BinaryIO

from ._atomic import Target, atomic_file
from ._text import plural

EXTRA_FIELDS = "(extra fields)"  # the column name rejects give extra fields
REJECTS_HEADER = ("record", "line", "byte", "column", "text")

# (record, line, byte, column name, text): the record counts from 1 after
# the header row; line and byte say where the record begins in the input.
Reject = tuple[int, int, int, str, str]


class LostCellsWarning(UserWarning):
    """Cells a conversion could not keep, when nothing was asked to keep them."""


@dataclass(frozen=True)
class LostCells:
    misfits_by_column: list[int] = field(default_factory=list)
    records_with_extra_fields: int = 0
    rejects: list[Reject] = field(default_factory=list)

    @property
    def misfits(self) -> int:
        return sum(self.misfits_by_column)

    def __bool__(self) -> bool:
        return self.misfits + self.records_with_extra_fields > 0

    def counts(self) -> str:
        """"2 misfits, 1 record with extra fields", leaving out zeros."""
        parts = []
        if self.misfits:
            parts.append(plural(self.misfits, "misfit"))
        if self.records_with_extra_fields:
            parts.append(plural(self.records_with_extra_fields, "record") + " with extra fields")
        return ", ".join(parts)


def how_to_keep(lost: LostCells) -> str:
    """What keeps the cells that were lost, in the words of the Python API."""
    ways = ["rejects= to list them"]
    if lost.misfits:
        ways.append("column_types= or sample_rows=None to keep them")
    return "pass " + ", or ".join(ways)


def _csv_rows(rows: list[Reject] | list[tuple[str, ...]]) -> bytes:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue().encode("utf-8")


@contextlib.contextmanager
def rejects_writer(target: Target) -> Iterator[Callable[[list[Reject]], None]]:
    """A function that appends rejects to `target` as CSV rows after a
    header: a path (complete once the block ends, absent if it fails) or a
    binary file object."""

    def writer(file: BinaryIO) -> Callable[[list[Reject]], None]:
        file.write(_csv_rows([REJECTS_HEADER]))
        return lambda rejects: file.write(_csv_rows(rejects))  # type: ignore[func-returns-value]

    if isinstance(target, (str, os.PathLike)):
        with atomic_file(target) as file:
            yield writer(file)
    elif hasattr(target, "write"):
        yield writer(target)
    else:
        raise TypeError(f"rejects must be a path or a binary file object, not {type(target).__name__}")


def strict_error(reject: Reject, types: dict[str, str]) -> ValueError:
    """The first loss as the error strict conversion raises; `types` gives
    the columns' types by name."""
    record, line, byte, column, text = reject
    where = f"record {record} (line {line}, byte {byte})"
    if column == EXTRA_FIELDS:
        return ValueError(f"{where}: fields beyond the last column: {text!r}")
    return ValueError(f"{where}: {text!r} does not fit column {column!r} of type {types.get(column, '?')}")
