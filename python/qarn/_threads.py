"""How many threads a conversion or a read runs on."""

from __future__ import annotations

import os


def default_threads() -> int:
    """The CPUs this process may run on."""
    return os.process_cpu_count() or 1


def checked_threads(threads: int | None) -> int:
    """`threads` as given (all CPUs for None), checked."""
    if threads is None:
        return default_threads()
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError("threads must be at least 1")
    return threads


def usable_threads(threads: int) -> int:
    """No more threads than CPUs: the rest would only take turns with them."""
    return max(1, min(threads, default_threads()))
