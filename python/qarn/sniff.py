"""Guessing a CSV file's dialect from a sample: its encoding, how its
records are written, where its table lies and which markers of missing
values it uses, as a `qarn.Dialect` to read it with."""

from __future__ import annotations

import io
import itertools
import os
from collections.abc import Buffer
from dataclasses import dataclass
from typing import BinaryIO

from . import _native
from ._compression import compression_of, decompressed_start
from ._lines import lines_before
from ._sniff_dialect import Candidate, guess_dialect
from ._sniff_encoding import decode_sample, guess_encoding, without_mark
from ._sniff_cells import NULL_MARKERS
from ._sniff_table import COMMENT, Record, Table, comment_lines, find_table, markers_in, trailing_notes
from ._source import Source, open_source
from .dialect import DEFAULT_NULL_VALUES, Dialect

SAMPLE_BYTES = 1 << 20
_TAIL_BYTES = 1 << 14  # the end of a long input, where footnotes would be
# The dialect and the table are found among the records of the sample's
# start; notes at the end, from the end of the input.
_TABLE_BYTES = 1 << 18
_TABLE_RECORDS = 250
_TABLE_FIELDS = 20000  # at least 50 records
_MARKERS_AFTER = 1 << 14  # text after those where markers of missing values are looked for


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
            if start is None:
                raise ValueError("a compressed file object must be seekable to be sniffed")
            file.seek(start)
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
        head = bytes(view[:sample_bytes])
        tail = bytes(view[max(looked_at, size - _TAIL_BYTES) :]) if complete and not whole else b""
    if encoding is None:
        encoding, encoding_sure = guess_encoding(head, tail if size > sample_bytes else b"")
    else:
        encoding_sure = 1.0
    text = head[:looked_at]
    if not (encoding == "utf-8" and text.isascii()):  # ASCII is its own UTF-8
        text = decode_sample(text, encoding).encode("utf-8", "surrogatepass")
    if not whole:
        text = _whole_lines(text)  # the last one may be cut short
    if not text.strip():
        return Sniffed(Dialect(encoding=encoding), 1, 0.0)
    guess = guess_dialect(text)
    candidate = guess.candidate
    limit = max(50, min(_TABLE_RECORDS, _TABLE_FIELDS // guess.widest))
    records = _native.records(text, limit, fields=True, **candidate.options())
    comment = None
    if (COMMENT not in (candidate.delimiter, candidate.quotechar) and COMMENT.encode() in text
            and comment_lines(records)):
        comment = COMMENT
        records = _native.records(text, limit, fields=True, comment=comment, **candidate.options())
    table = find_table(records, text)
    skip_rows = lines_before(text, records[table.first][0]) if records else 0
    if whole and len(records) < limit:
        footer = _lines_from(text, records[table.end][0]) if table.end < len(records) else 0
    elif whole:  # more records than were looked at: the end of the text, past the table's start
        table_start = records[table.first][0]
        end = text[table_start:] if len(text) - table_start <= _TAIL_BYTES else _after_first_line(
            text[-_TAIL_BYTES:])
        footer = _notes_at_end(end, candidate, comment, table)
    elif tail:
        tail_text = decode_sample(tail[_alignment(encoding, len(tail)) :], without_mark(encoding, head))
        footer = _notes_at_end(_after_first_line(tail_text.encode("utf-8", "surrogatepass")), candidate, comment,
                               table)
    else:
        footer = 0  # the end is not known
    dialect = Dialect(
        delimiter=candidate.delimiter,
        quotechar=candidate.quotechar,
        escapechar=candidate.escapechar,
        newlines_in_values=candidate.newlines_in_values,
        encoding=encoding,
        header=table.header,
        skip_rows=skip_rows,
        skip_footer=footer,
        comment=comment,
        null_values=_null_values(text, records, len(records) < limit, candidate.delimiter, table),
    )
    return Sniffed(dialect, table.columns, _confidence(encoding_sure, guess.margin, table))


def _confidence(encoding_sure: float, margin: float, table: Table) -> float:
    """From 1, less for each doubt: the encoding, a close second dialect,
    rows of other lengths, a header by default, a single column."""
    confidence = encoding_sure * (0.5 + 0.5 * margin) * table.consistency
    if not table.header_certain:
        confidence *= 0.8
    if table.columns == 1:
        confidence *= 0.7
    return round(confidence, 2)


def _null_values(text: bytes, records: list[Record], all_read: bool, delimiter: str,
                 table: Table) -> tuple[str, ...]:
    """The markers found in the table's columns, and those found anywhere
    else in the sample (as whole fields of the records read, or in the text
    after them) that no column holds as text."""
    anywhere = set(itertools.chain.from_iterable(fields for _, fields in records)) & NULL_MARKERS
    if not all_read and records:
        anywhere |= markers_in(text[records[-1][0] : records[-1][0] + _MARKERS_AFTER], delimiter)
    found = set(table.null_values) | (anywhere - table.text_values)
    return tuple(marker for marker in dict.fromkeys((*DEFAULT_NULL_VALUES, *table.null_values)) if marker in found)


def _lines_from(text: bytes, start: int) -> int:
    """How many lines the text holds from `start` on."""
    return _line_count(text) - lines_before(text, start)


def _line_count(text: bytes) -> int:
    return lines_before(text, len(text)) + (0 if not text or text.endswith((b"\n", b"\r")) else 1)


def _after_first_line(text: bytes) -> bytes:
    """The text after its first line end: the lines of a part of an input
    that begins inside a line."""
    ends = [i for i in (text.find(b"\n"), text.find(b"\r")) if i >= 0]
    return text[min(ends) + 1 :] if ends else b""


def _whole_lines(text: bytes) -> bytes:
    """The text up to its last line end: without a line cut short."""
    return text[: max(text.rfind(b"\n"), text.rfind(b"\r")) + 1]


def _alignment(encoding: str, size: int) -> int:
    """Bytes to drop from the front of an input's last `size` bytes so that
    they start on a character of a fixed-width encoding."""
    width = 4 if encoding.startswith("utf-32") else 2 if encoding.startswith("utf-16") else 1
    return size % width


def _notes_at_end(text: bytes, candidate: Candidate, comment: str | None, table: Table) -> int:
    """How many lines at the end of `text`, the end of an input, are notes
    after the table."""
    if not text:
        return 0
    records = _native.records(text, 1 << 30, fields=True, comment=comment, **candidate.options())
    start = trailing_notes(records, text, table)
    return 0 if start is None else _lines_from(text, start)


