"""Guessing a CSV file's dialect from a sample: its encoding, how its
records are written, where its table lies and which markers of missing
values it uses, as a `qarn.Dialect` to read it with."""

from __future__ import annotations

import io
import os
from collections.abc import Buffer
from dataclasses import dataclass

from . import _native
from ._compression import decompressed, suffix_compression
from ._lines import lines_before
from ._sniff_dialect import Candidate, guess_dialect
from ._sniff_encoding import decode_sample, guess_encoding, without_mark
from ._sniff_table import COMMENT, Table, comment_lines, find_table, trailing_notes
from ._source import Source, open_source
from .dialect import Dialect

SAMPLE_BYTES = 1 << 20
_TAIL_BYTES = 1 << 14  # the end of a long input, where footnotes would be
# The dialect and the table are found among the records of the sample's
# start; notes at the end, from the end of the input.
_TABLE_BYTES = 1 << 18
_TABLE_RECORDS = 250
_TABLE_FIELDS = 20000  # at least 50 records


@dataclass(frozen=True)
class Sniffed:
    """What `sniff_details` found: the dialect, how many columns its table
    has, and how sure the guess is, from 0 (a guess among equals) to 1."""

    dialect: Dialect
    columns: int
    confidence: float


def sniff(source: Source, *, sample_bytes: int = SAMPLE_BYTES) -> Dialect:
    """The dialect of a CSV source (bytes-like, a path or a binary file
    object), guessed from its first `sample_bytes` bytes and, for a longer
    input, its last 64 KiB: the encoding, the delimiter, the quote and
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
    if hasattr(source, "read") and not isinstance(source, Buffer):
        return _sniff_file_object(source, sample_bytes)  # type: ignore[arg-type]
    with open_source(source) as data:
        compression = suffix_compression(source) if isinstance(source, (str, os.PathLike)) else None
        data = decompressed(data, compression or "infer")
        return sniff_buffer(data, sample_bytes)


def _sniff_file_object(file: io.RawIOBase | io.BufferedIOBase, sample_bytes: int) -> Sniffed:
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object must be opened in binary mode, not text mode")
    start = file.tell() if file.seekable() else None
    head = file.read(sample_bytes) or b""
    if start is not None:
        file.seek(start)
    return sniff_buffer(decompressed(head, "infer"), sample_bytes)


def sniff_buffer(data: Buffer, sample_bytes: int = SAMPLE_BYTES) -> Sniffed:
    """The dialect of CSV bytes held in memory, from their first
    `sample_bytes` and last 64 KiB."""
    with memoryview(data) as view:
        size = len(view)
        head = bytes(view[:sample_bytes])
        tail = bytes(view[max(0, size - _TAIL_BYTES) :]) if size > _TABLE_BYTES else b""
    encoding, encoding_sure = guess_encoding(head, tail if size > sample_bytes else b"")
    text = decode_sample(head[:_TABLE_BYTES], encoding).encode("utf-8", "surrogatepass")
    if not text.strip():
        return Sniffed(Dialect(encoding=_plain(encoding)), 1, 0.0)
    guess = guess_dialect(text)
    candidate = guess.candidate
    limit = max(50, min(_TABLE_RECORDS, _TABLE_FIELDS // guess.widest))
    records = _native.records(text, limit, fields=True, **candidate.options())
    comment = None
    if comment_lines(records):
        comment = COMMENT
        records = _native.records(text, limit, fields=True, comment=comment, **candidate.options())
    table = find_table(records, text)
    skip_rows = lines_before(text, records[table.first][0]) if records else 0
    if not tail and len(records) < limit:
        footer = _lines_from(text, records[table.end][0]) if table.end < len(records) else 0
    else:
        footer = _tail_footer_lines(_tail_text(tail or text[-_TAIL_BYTES:], without_mark(encoding, head) if tail else "utf-8"),
                                    candidate, comment, table)
    dialect = Dialect(
        delimiter=candidate.delimiter,
        quotechar=candidate.quotechar,
        escapechar=candidate.escapechar,
        newlines_in_values=candidate.newlines_in_values,
        encoding=_plain(encoding),
        header=table.header,
        skip_rows=skip_rows,
        skip_footer=footer,
        comment=comment,
        null_values=table.null_values,
    )
    confidence = encoding_sure * (0.5 + 0.5 * guess.margin) * table.consistency
    if not table.header_certain:
        confidence *= 0.8
    if table.columns == 1:
        confidence *= 0.7
    return Sniffed(dialect, table.columns, round(confidence, 2))


def _plain(encoding: str) -> str:
    """The encoding by the name users know it by."""
    return {"utf-8-sig": "utf-8-sig", "latin-1": "latin-1"}.get(encoding, encoding)


def _lines_from(text: bytes, start: int) -> int:
    """How many lines the text holds from `start` on."""
    return _line_count(text) - lines_before(text, start)


def _line_count(text: bytes) -> int:
    return lines_before(text, len(text)) + (0 if not text or text.endswith((b"\n", b"\r")) else 1)


def _tail_text(tail: bytes, encoding: str) -> bytes:
    """The whole lines of the input's last bytes, as UTF-8."""
    text = decode_sample(tail[_alignment(encoding, len(tail)) :], encoding).encode("utf-8", "surrogatepass")
    first_end = min((i for i in (text.find(b"\n"), text.find(b"\r")) if i >= 0), default=-1)
    return text[first_end + 1 :] if first_end >= 0 else b""


def _alignment(encoding: str, size: int) -> int:
    """Bytes to drop from the front of an input's last `size` bytes so that
    they start on a character of a fixed-width encoding."""
    width = 4 if encoding.startswith("utf-32") else 2 if encoding.startswith("utf-16") else 1
    return size % width


def _tail_footer_lines(text: bytes, candidate: Candidate, comment: str | None, table: Table) -> int:
    if not text:
        return 0
    records = _native.records(text, 1 << 30, fields=True, comment=comment, **candidate.options())
    start = trailing_notes(records, text, table)
    return 0 if start is None else _lines_from(text, start)


