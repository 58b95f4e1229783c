"""Convert CSV held in memory into a QARN file, also in memory."""

from typing import SupportsIndex

__all__ = ["csv_to_qarn"]

def csv_to_qarn(
    csv_bytes: bytes,
    chunk_size: SupportsIndex = 10000,
    sample_rows: SupportsIndex = 1000,
) -> bytes:
    """Convert CSV bytes to QARN bytes.

    Args:
        csv_bytes: Raw UTF-8 encoded CSV data (with header row).
        chunk_size: Number of rows per QARN table slice (default 10 000).
        sample_rows: Number of rows to sample for column type inference (default 1 000).

    Returns:
        QARN file contents as bytes.

    Raises:
        ValueError: If the CSV cannot be parsed or the QARN cannot be written.
    """
