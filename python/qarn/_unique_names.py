"""Column names made unique for the libraries that need them so: a file
keeps its header's names as they are, duplicates and empty ones included."""

from __future__ import annotations

from collections.abc import Sequence


def unique_names(names: Sequence[str], reserved: Sequence[str] = ()) -> list[str]:
    """The first use of a name keeps it; a later use gets `_2`, `_3`, ...
    after it, skipping any name the table has (and any `reserved`). An
    empty name stands for `column_N`, N its position from 1, made unique
    the same way."""
    originals = set(names) | set(reserved)
    used: set[str] = set()
    result = []
    for position, name in enumerate(names, start=1):
        base = name or f"column_{position}"
        candidate, suffix = base, 1
        while candidate in used or (candidate != name and candidate in originals):
            suffix += 1
            candidate = f"{base}_{suffix}"
        used.add(candidate)
        result.append(candidate)
    return result
