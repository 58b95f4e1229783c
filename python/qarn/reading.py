"""Reading QARN files: whole, one table slice at a time, or only checking them."""

from __future__ import annotations

import operator
from collections.abc import Iterator, Sequence
from typing import Any

from . import _native
from ._source import Source, open_source
from .table import Table

Columns = Sequence[int | str] | None


def _resolve(head: dict[str, Any], columns: Columns) -> list[int]:
    """File column indices for names or positions, in the order given."""
    names: list[str] = head["names"]
    if columns is None:
        return list(range(len(names)))
    if isinstance(columns, (str, int)):
        raise TypeError("columns must be a sequence of names or indices, not a single one")
    first_index = {}
    for index, name in enumerate(names):
        first_index.setdefault(name, index)
    resolved = []
    for key in columns:
        if isinstance(key, str):
            if key not in first_index:
                raise KeyError(f"no column named {key!r}")
            resolved.append(first_index[key])
            continue
        if isinstance(key, bool):
            raise TypeError("columns are named by str or int, not bool")
        try:
            position = operator.index(key)
        except TypeError:
            raise TypeError(f"columns are named by str or int, not {type(key).__name__}") from None
        if not -len(names) <= position < len(names):
            raise IndexError(f"column {position} out of range for {len(names)} columns")
        resolved.append(position % len(names))
    return resolved


def _flags(indices: list[int], count: int) -> bytes:
    flags = bytearray(count)
    for index in indices:
        flags[index] = 1
    return bytes(flags)


def read(source: Source, *, columns: Columns = None) -> Table:
    """Reads a whole QARN file. `columns` names the columns to decode (by
    name or index, in the order wanted); the values of the others are not
    decoded, only stepped over. Raises FormatError for a file that is not
    exactly a valid QARN file."""
    with open_source(source) as data:
        if columns is None:
            raw = _native.read(data)
            return Table(raw, list(range(len(raw["names"]))))
        head = _native.read_head(data)
        selected = _resolve(head, columns)
        raw = _native.read(data, _flags(selected, len(head["names"])))
        return Table(raw, selected)


def validate(source: Source) -> None:
    """Checks a whole file and returns None, or raises FormatError naming
    the first defect and where it lies."""
    with open_source(source) as data:
        _native.validate(data)


def iter_slices(source: Source, *, columns: Columns = None) -> Iterator[Table]:
    """One Table per table slice, in order, so that a file larger than
    memory is read a slice at a time. The file is checked as it is read: a
    defect raises FormatError when the slice that holds it is reached."""
    with open_source(source) as data:
        reader = _native.SliceReader(data)
        try:
            head = reader.head
            selected = _resolve(head, columns)
            flags = _flags(selected, len(head["names"]))
            while (raw := reader.next_slice(flags)) is not None:
                yield Table({**head, **raw}, selected)
        finally:
            del reader  # releases the mapped file before it is closed
