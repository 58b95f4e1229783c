"""Guessing a CSV file's dialect from a sample: its encoding, how its
records are written, where its table lies and which markers of missing
values it uses, as a `qarn.Dialect` to read it with."""

from __future__ import annotations

import io
import os
from collections.abc import Buffer
from dataclasses import dataclass
from typing import Any, BinaryIO

from . import _native
from ._compression import compression_of, decompressed_start
from ._sniff_encoding import decode_sample, guess_encoding, without_mark
from ._source import Source, open_source
from ._streaming import Prefixed
from .dialect import Dialect

SAMPLE_BYTES = 1 << 20
_TAIL_BYTES = 1 << 14  # the end of a long input, where footnotes would be
# The dialect and the table are found in the sample's start (the native
# sniffer, qarn._native.sniff_text); notes at the end, from the end of the
# input.
_TABLE_BYTES = 1 << 18


@dataclass(frozen=True)
class Sniffed:
    """What `sniff_details` found: the dialect, how many columns its table
    has, how sure the guess is, from 0 (a guess among equals) to 1, and the
    marks its numbers are written with, as `qarn.convert` takes them:
    `decimal` "," and `thousands` "." or None where a column holds numbers
    with a decimal comma (such as "1.234,5") and none has a decimal point;
    else `thousands` "," where a column holds amounts grouped by it (such
    as "1,234.5"), and `thousands_columns` the positions of those columns,
    the only ones it applies to (None: every column)."""

    dialect: Dialect
    columns: int
    confidence: float
    decimal: str = "."
    thousands: str | None = None
    thousands_columns: tuple[int, ...] | None = None


def sniff(source: Source, *, sample_bytes: int = SAMPLE_BYTES) -> Dialect:
    """The dialect of a CSV source (bytes-like, a path or a binary file
    object), guessed from its first `sample_bytes` bytes and, for a longer
    input, its last 16 KiB: the encoding, the delimiter, the quote and
    escape characters, whether quotes may hold line ends, the lines before
    the table (`skip_rows`) and after it (`skip_footer`), comment lines,
    whether the first row is a header, and the markers of missing values
    (`null_values`). Compressed input is decompressed first. A file object
    is read from where it stands and put back there when it can seek.

    The result is a plain `qarn.Dialect`: print it, change it, pass it to
    `qarn.convert`. `sniff_details` also tells how sure the guess is."""
    return sniff_details(source, sample_bytes=sample_bytes).dialect


def sniff_details(source: Source, *, sample_bytes: int = SAMPLE_BYTES) -> Sniffed:
    """`sniff`, with the number of columns and the confidence."""
    if not isinstance(sample_bytes, int) or isinstance(sample_bytes, bool):
        raise TypeError(f"sample_bytes must be an int, not {type(sample_bytes).__name__}")
    if sample_bytes < 1:
        raise ValueError(f"sample_bytes must be at least 1, not {sample_bytes}")
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            compression = compression_of(file.read(8), source)
            if compression is not None:
                file.seek(0)
                return _sniff_start(decompressed_start(file, compression, sample_bytes + 1), sample_bytes)
    elif hasattr(source, "read") and not isinstance(source, Buffer):
        return _sniff_file_object(source, sample_bytes)  # type: ignore[arg-type]
    with open_source(source) as data:
        with memoryview(data) as view, view[:8] as magic:
            compression = compression_of(bytes(magic))
        if compression is not None:
            return _sniff_start(decompressed_start(io.BytesIO(data), compression, sample_bytes + 1), sample_bytes)
        return sniff_buffer(data, sample_bytes)


def _sniff_file_object(file: BinaryIO, sample_bytes: int) -> Sniffed:
    """From where the file stands, which it is put back to if it can be."""
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object must be opened in binary mode, not text mode")
    start = file.tell() if file.seekable() else None
    try:
        head = file.read(sample_bytes + 1) or b""
        compression = compression_of(head[:8])
        if compression is not None:
            if start is not None:
                file.seek(start)
            elif compression == "zip":  # its directory is at its end
                raise ValueError("a zip archive must be seekable to be sniffed")
            else:
                file = Prefixed(head, file)  # type: ignore[assignment]
            head = decompressed_start(file, compression, sample_bytes + 1)
    finally:
        if start is not None:
            file.seek(start)
    return _sniff_start(head, sample_bytes)


def _sniff_start(head: bytes, sample_bytes: int) -> Sniffed:
    """From the first `sample_bytes` bytes of an input and one more, if it
    has more: the input itself when it has no more."""
    if len(head) <= sample_bytes:
        return sniff_buffer(head, sample_bytes)
    return sniff_buffer(head[:sample_bytes], sample_bytes, complete=False)


def sniff_buffer(data: Buffer, sample_bytes: int = SAMPLE_BYTES, encoding: str | None = None,
                 complete: bool = True) -> Sniffed:
    """The dialect of CSV bytes held in memory, from their first
    `sample_bytes` and last 16 KiB; in `encoding`, when it is known. With
    `complete=False` the bytes are only the input's start."""
    looked_at = min(sample_bytes, _TABLE_BYTES)
    with memoryview(data) as view:
        size = len(view)
        whole = complete and size <= looked_at  # whether the text looked at is the whole input
        # Bytes are used as they are: a copy of a large input costs more than the guess.
        head = data if type(data) is bytes and size <= sample_bytes else bytes(view[:sample_bytes])
        tail = bytes(view[max(looked_at, size - _TAIL_BYTES) :]) if complete and not whole else b""
    if encoding is None:
        encoding, encoding_sure = guess_encoding(head, tail if size > sample_bytes else b"")
    else:
        encoding_sure = 1.0
    text = head[:looked_at]
    if not (encoding == "utf-8" and text.isascii()):  # ASCII is its own UTF-8
        text = decode_sample(text, encoding).encode("utf-8", "surrogatepass")
    if not whole:
        text = text[: max(text.rfind(b"\n"), text.rfind(b"\r")) + 1]  # the last line may be cut short
    if not text or text.isspace():  # nothing but white space (without the copy strip() makes)
        return Sniffed(Dialect(encoding=encoding), 1, 0.0)
    end = None
    if tail:
        end = decode_sample(tail[_alignment(encoding, len(tail)) :], without_mark(encoding, head)).encode(
            "utf-8", "surrogatepass")
    found = _native.sniff_text(text, whole=whole, tail=end)
    dialect = Dialect(
        delimiter=found["delimiter"],
        quotechar=found["quotechar"],
        escapechar=found["escapechar"],
        newlines_in_values=found["newlines_in_values"],
        skipinitialspace=found["skipinitialspace"],
        encoding=encoding,
        header=found["header"],
        skip_rows=found["skip_rows"],
        skip_footer=found["skip_footer"],
        comment=found["comment"],
        null_values=found["null_values"],
    )
    return Sniffed(dialect, found["columns"], _confidence(encoding_sure, found), found["decimal"],
                   found["thousands"], _positions(found["thousands_columns"]))


def _positions(positions: list[int] | None) -> tuple[int, ...] | None:
    return None if positions is None else tuple(positions)


def _confidence(encoding_sure: float, found: dict[str, Any]) -> float:
    """From 1, less for each doubt: the encoding, a close second dialect,
    rows of other lengths, a header by default, a single column."""
    confidence = encoding_sure * (0.5 + 0.5 * found["margin"]) * found["consistency"]
    if not found["header_certain"]:
        confidence *= 0.8
    if found["columns"] == 1:
        confidence *= 0.7
    return round(confidence, 2)


def _alignment(encoding: str, size: int) -> int:
    """Bytes to drop from the front of an input's last `size` bytes so that
    they start on a character of a fixed-width encoding."""
    width = 4 if encoding.startswith("utf-32") else 2 if encoding.startswith("utf-16") else 1
    return size % width
