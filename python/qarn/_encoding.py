"""CSV text in any encoding as the UTF-8 the converter reads.

UTF-8 passes untouched (the reader skips a byte order mark itself). A
single-byte encoding that keeps ASCII as it is (latin-1, cp1252, koi8-r,
...) is transcoded natively, without the interpreter lock, from a table
built once from Python's codec; any other (UTF-16, UTF-32, the multi-byte
Asian encodings, EBCDIC) is decoded and encoded again by Python.

A byte that cannot be decoded is a CsvError that tells where it is as the
converter tells it of invalid UTF-8: the valid text before it, with an
invalid byte in its place, is converted again with the same options, and
the record's position mapped back onto the input."""

from __future__ import annotations

import codecs
import functools
import sys
from collections.abc import Buffer, Callable

from . import _native
from ._csv_error import CsvError
from .dialect import check_encoding

UTF8 = ("utf-8", "utf-8-sig")

# A byte no UTF-8 text holds: the converter stops on it.
_INVALID = b"\xff"

# Converts UTF-8 text with the caller's options; gives the CSV error's
# message, or None when the text converts.
Probe = Callable[[bytes], str | None]


def is_utf8(encoding: str) -> bool:
    return check_encoding(encoding).name in UTF8


def to_utf8(data: Buffer, encoding: str, probe: Probe) -> tuple[Buffer, int]:
    """The data as UTF-8, and how many bytes were dropped from its front
    (which positions in the converter's messages leave out); CsvError at
    the first byte the encoding does not define."""
    name = check_encoding(encoding).name
    if name in UTF8:
        # The reader skips one byte order mark; "utf-8-sig" has one of its
        # own before the text, which may start with another (a copy, but of
        # a rare input).
        marks = len(codecs.BOM_UTF8)
        if name == "utf-8-sig" and bytes(memoryview(data)[: 2 * marks]) == 2 * codecs.BOM_UTF8:
            return bytes(memoryview(data)[marks:]), marks
        return data, 0
    table = _transcoding_table(name)
    if table is not None:
        result = _native.transcode(data, table)
        if not isinstance(result, int):
            return result, 0
        # Copies, so that no view of a mapped input outlives the error.
        with memoryview(data) as view, view[:result] as head:
            prefix = bytes(_native.transcode(head, table))  # type: ignore[arg-type]
            bad = bytes(view[result : result + 1])
        raise _decode_error(probe, prefix, result, bad, encoding, len)
    try:
        text = codecs.decode(data, name)
    except UnicodeDecodeError as error:
        prefix_text = _decoded_prefix(data, error.start, name)
        raise _decode_error(probe, prefix_text.encode("utf-8", "surrogatepass"), error.start,
                            bytes(error.object[error.start : error.end]), encoding,
                            _input_length(data, name), error.reason) from None
    try:
        return text.encode("utf-8"), 0
    except UnicodeEncodeError as error:  # a lone surrogate, as UTF-7 may decode
        prefix_text = text[: error.start]
        input_length = _input_length(data, name)
        raise _decode_error(probe, prefix_text.encode("utf-8"), input_length(prefix_text), b"", encoding,
                            input_length, "a lone surrogate") from None


def _decoded_prefix(data: Buffer, end: int, name: str) -> str:
    head = memoryview(data)[:end]
    try:
        return codecs.decode(head, name)
    except UnicodeDecodeError:  # pragma: no cover - a decoder that fails earlier on less input
        return codecs.decode(head, name, "replace")


def _input_length(data: Buffer, name: str) -> Callable[[str], int]:
    """How many bytes of the input a decoded prefix came from: its length
    encoded again, less the byte order mark the encoder writes, plus the one
    the input had."""
    written_mark = len("".encode(name))
    read_mark = 0
    if written_mark:
        try:
            read_mark = written_mark if codecs.decode(memoryview(data)[:written_mark], name) == "" else 0
        except UnicodeDecodeError:
            read_mark = 0
    return lambda text: len(text.encode(name, "replace")) - written_mark + read_mark


def _decode_error(probe: Probe, prefix: bytes, offset: int, bad: bytes, encoding: str,
                  input_length: Callable[[str], int], reason: str | None = None) -> CsvError:
    """The error for the undecodable bytes `bad` at `offset` in the input,
    after the text `prefix` (UTF-8); `reason` is the codec's, if it says
    more than that the byte is undefined."""
    if bad:
        spelled = " ".join(f"0x{b:02x}" for b in bad)
        what = f"cannot decode byte{'s' if len(bad) > 1 else ''} {spelled} at byte {offset} with {encoding!r}"
    else:
        what = f"cannot decode the character at byte {offset} with {encoding!r}"
    if reason:
        what += f": {reason}"
    message = probe(prefix + _INVALID)
    if message is not None:
        found = CsvError(message)
        if found.record is not None and found.byte is not None:
            start = input_length(prefix[: found.byte].decode("utf-8", "replace"))
            stage = message[: message.index("CSV parse error: record ")]
            return CsvError(f"{stage}CSV parse error: record {found.record} (line {found.line}, "
                            f"field: {found.field}, byte: {start}): {what}")
    # A line the reader skips: one of the skip_rows lines, or a comment. The
    # stage is that of the record that would follow.
    following = probe(prefix + b"\n" + _INVALID)
    stage = "CSV header error: " if following is None or CsvError(following).stage == "header" else "CSV parse error: "
    line = prefix.count(b"\n") + 1
    return CsvError(f"{stage}CSV parse error: line {line} (byte: {offset}): {what}, in a line that is skipped")


@functools.lru_cache(maxsize=32)
def _transcoding_table(name: str) -> bytes | None:
    """For an ASCII-compatible single-byte codec, 256 entries of 4 bytes: the
    length of the byte's character in UTF-8 (0: the codec defines none),
    then that UTF-8; None for any other codec."""
    chars = _single_byte_characters(name)
    if chars is None:
        return None
    table = bytearray(4 * 256)
    for byte, char in enumerate(chars):
        if char is None:
            continue
        utf8 = char.encode("utf-8", "surrogatepass")
        if len(utf8) > 3:
            return None
        table[4 * byte] = len(utf8)
        table[4 * byte + 1 : 4 * byte + 1 + len(utf8)] = utf8
    return bytes(table)


def _single_byte_characters(name: str) -> list[str | None] | None:
    """Each byte's character (None: undefined) when every character of the
    codec is one byte and the bytes below 0x80 are ASCII; else None. A
    multi-byte codec also decodes some bytes alone, so what tells is the
    256-character table of a charmap codec, checked against the codec."""
    if name == "iso8859-1":
        return [chr(byte) for byte in range(256)]
    if name == "ascii":
        return [chr(byte) if byte < 0x80 else None for byte in range(256)]
    module = sys.modules.get(getattr(codecs.lookup(name).decode, "__module__", None) or "")
    decoding = getattr(module, "decoding_table", None)
    if not isinstance(decoding, str) or len(decoding) != 256:
        return None
    chars = [None if char == "\ufffe" else char for char in decoding]
    if any(chars[byte] != chr(byte) for byte in range(0x80)):
        return None  # EBCDIC and the like
    defined = bytes(byte for byte in range(256) if chars[byte] is not None)
    try:
        if codecs.decode(defined, name) != "".join(char for char in chars if char is not None):
            return None
    except UnicodeDecodeError:
        return None
    return chars
