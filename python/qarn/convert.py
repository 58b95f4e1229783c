"""Converting CSV to QARN from Python: the same bytes as `_qarn.csv_to_qarn`."""

from __future__ import annotations

import os
from collections.abc import Buffer

import _qarn

from ._atomic import Target, write_target

CsvSource = Buffer | str | os.PathLike[str]


def _csv_bytes(source: CsvSource) -> bytes:
    if isinstance(source, bytes):
        return source
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            return file.read()
    if isinstance(source, Buffer):
        return bytes(source)
    raise TypeError(f"csv_source must be bytes-like or a path, not {type(source).__name__}")


def convert(
    csv_source: CsvSource,
    target: Target | None = None,
    *,
    chunk_size: int = 10000,
    sample_rows: int = 1000,
) -> bytes | None:
    """Converts CSV (bytes or a path) to QARN: returns the bytes, or writes
    them to `target` (a path, written under a temporary name and renamed, so
    that a failed conversion leaves nothing behind) and returns None."""
    result = _qarn.csv_to_qarn(_csv_bytes(csv_source), chunk_size, sample_rows)
    if target is None:
        return result
    write_target(target, result)
    return None
