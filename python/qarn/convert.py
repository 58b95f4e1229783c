"""Converting CSV to QARN from Python: exactly the bytes of
`_qarn.csv_to_qarn`, on several threads and without the interpreter lock."""

from __future__ import annotations

import os

from . import _native
from ._atomic import Target, write_target
from ._source import Source, open_source


# The conversion's defaults, for every way in (the function, the command,
# the conversion jobs of the pool and of Dask).
CHUNK_SIZE = 10000  # rows per table slice
SAMPLE_ROWS = 1000  # rows read to choose the column types

# Inputs smaller than this convert on the calling thread alone: starting
# threads would cost more than they save. The result is the same either way.
SMALLEST_PARALLEL_INPUT = 1 << 20


def default_threads() -> int:
    """The CPUs this process may run on."""
    return os.process_cpu_count() or 1


def convert(
    csv_source: Source,
    target: Target | None = None,
    *,
    chunk_size: int = CHUNK_SIZE,
    sample_rows: int = SAMPLE_ROWS,
    threads: int | None = None,
) -> bytes | None:
    """Converts CSV to QARN: the same bytes as
    `_qarn.csv_to_qarn(data, chunk_size, sample_rows)`, and the same
    ValueError when the CSV cannot be converted.

    `csv_source` is bytes-like (held, not copied, for the call), a path
    (mapped into memory, not read into a copy) or a binary file object.
    The result is returned, or written to `target` (a path: under a
    temporary name in the same folder, renamed once complete, so that a
    failed conversion leaves nothing behind; or a binary file object) and
    None is returned. `threads` defaults to the CPUs this process may use;
    1 converts on the calling thread. The interpreter lock is released for
    the whole conversion, so other Python threads run meanwhile."""
    if threads is None:
        threads = default_threads()
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError("threads must be at least 1")
    with open_source(csv_source) as data:
        if memoryview(data).nbytes < SMALLEST_PARALLEL_INPUT:
            threads = 1
        result = _native.convert(data, chunk_size, sample_rows, min(threads, 1024))
    if target is None:
        return result
    write_target(target, result)
    return None
