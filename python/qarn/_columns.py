"""Finding a table's columns by name or by position, with one set of
messages for `read(columns=...)`, `iter_slices`, `Table[key]` and the
command line."""

from __future__ import annotations

import operator
import re
from collections.abc import Sequence

from ._text import plural

Key = int | str
Columns = Sequence[Key] | None

# A KeyError names this many of the columns there are, and counts the rest.
NAMES_SHOWN = 20

_WHOLE_NUMBER = re.compile(r"-?[0-9]+")


class ColumnIndex:
    """The columns of one table by name (the first of a repeated name wins)
    and by position (negative ones from the end)."""

    def __init__(self, names: Sequence[str]) -> None:
        self._names = list(names)
        self._first: dict[str, int] = {}
        for position, name in enumerate(self._names):
            self._first.setdefault(name, position)

    def __contains__(self, name: object) -> bool:
        return name in self._first

    def position(self, key: Key) -> int:
        if isinstance(key, str):
            try:
                return self._first[key]
            except KeyError:
                raise KeyError(f"no column named {key!r}; {self._available()}") from None
        if isinstance(key, bool):  # an int to operator.index, never meant as a position
            raise _wrong_type(key)
        try:
            position = operator.index(key)
        except TypeError:
            raise _wrong_type(key) from None
        count = len(self._names)
        if not -count <= position < count:
            raise IndexError(f"column {position} out of range for {plural(count, 'column')}")
        return position % count

    def positions(self, columns: Columns) -> list[int]:
        """The positions of `columns` in the order given; None is all of them."""
        if columns is None:
            return list(range(len(self._names)))
        if isinstance(columns, (str, int)):
            raise TypeError("columns must be a sequence of names or positions, not a single one")
        return [self.position(key) for key in columns]

    def _available(self) -> str:
        if not self._names:
            return "there are no columns"
        shown = ", ".join(repr(name) for name in self._names[:NAMES_SHOWN])
        rest = len(self._names) - NAMES_SHOWN
        return f"the columns are {shown}" + (f" and {rest:,} more" if rest > 0 else "")


def _wrong_type(key: object) -> TypeError:
    return TypeError(f"a column is chosen by name (str) or position (int), not {type(key).__name__}")


def keys_from_text(fields: Sequence[str], names: Sequence[str]) -> list[Key]:
    """Column keys from fields a person typed: a field that is exactly a
    column's name is that column; otherwise a whole number is a position
    (negative from the end), and anything else a name."""
    known = set(names)
    return [int(field) if field not in known and _WHOLE_NUMBER.fullmatch(field) else field for field in fields]
