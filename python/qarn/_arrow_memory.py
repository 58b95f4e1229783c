"""Where decoded columns live: in Arrow's memory pool once pyarrow is
loaded. The columns then count in `pyarrow.total_allocated_bytes()` like any
Arrow reader's, and a table read after another reuses the pages the first
left to the pool, rather than faulting in fresh ones (for a large table, as
long again as decoding it)."""

from __future__ import annotations

import sys
from collections.abc import Callable

import numpy as np


def arrow_allocator() -> Callable[[int], object] | None:
    """pyarrow's allocation from its default pool, when pyarrow is already
    imported; None (malloc) otherwise, so that reading never imports it."""
    pa = sys.modules.get("pyarrow")
    allocate = getattr(pa, "allocate_buffer", None)
    return allocate if callable(allocate) else None


def owned_copy(values: np.ndarray) -> np.ndarray:
    """A writable copy of a one-dimensional array, in Arrow's pool when
    pyarrow is loaded."""
    allocate = arrow_allocator()
    if allocate is None:
        return values.copy()
    copy = np.frombuffer(allocate(values.nbytes), dtype=values.dtype, count=len(values))  # type: ignore[call-overload]
    np.copyto(copy, values)
    return copy
