"""What the first bytes of an input tell about a file that is not CSV text
as it was asked to be read: a compressed, binary or UTF-16 file. The file
conversion of the command line refuses what would convert into nonsense and
adds a hint to a failure, so that a person learns which option to give."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ._compression import MAGIC_NUMBERS, compression_of

HEAD_BYTES = 4096  # as much of an input as the guesses look at

_QARN_START = b"N|\x01\x01\x00"  # a file header section
_BYTE_ORDER_MARKS = (
    (b"\x00\x00\xfe\xff", "utf-32"),
    (b"\xff\xfe\x00\x00", "utf-32"),
    (b"\xfe\xff", "utf-16"),
    (b"\xff\xfe", "utf-16"),
)
_OTHER_FORMATS = ((b"PAR1", "a Parquet file"), (b"%PDF", "a PDF document"), (b"\xd0\xcf\x11\xe0", "an old Excel or Word file"))


def head_of(source: str) -> bytes:
    with open(source, "rb") as file:
        return file.read(HEAD_BYTES)


def _utf16_without_mark(head: bytes) -> str | None:
    """"utf-16-le" or "utf-16-be" when most characters have a NUL byte on
    the same side, as ASCII text in UTF-16 has."""
    pairs = len(head) // 2
    if pairs < 4 or b"\x00" not in head:
        return None
    even_nuls = head[0 : 2 * pairs : 2].count(0)
    odd_nuls = head[1 : 2 * pairs : 2].count(0)
    if odd_nuls >= 0.8 * pairs and even_nuls == 0:
        return "utf-16-le"
    if even_nuls >= 0.8 * pairs and odd_nuls == 0:
        return "utf-16-be"
    return None


def line_ends_as_bytes(options: dict[str, Any]) -> bool:
    """Whether the input's encoding writes CR and LF as those bytes, so that
    its text (decompressed) holds its line ends where the converter counts
    them."""
    try:
        return "\r\n".encode(options.get("encoding", "utf-8")) == b"\r\n"
    except LookupError:
        return False


def input_compression(path: str, head: bytes, options: dict[str, Any]) -> str | None:
    """The compression a file is converted with: the one asked for, else
    the one its name or magic number says."""
    compression = options.get("compression", "infer")
    return compression_of(head, path) if compression == "infer" else compression


def record_start(read_at: Callable[[int], bytes], byte: int, line: int) -> tuple[int, int]:
    """The line and byte where a record really begins that the converter
    places at `byte` on line `line`: its reading begins at the end of the
    record before, so at the LF of a CR LF line end, and before blank lines.
    `read_at(offset)` gives some of the input's bytes from there."""
    ahead = read_at(byte)
    skipped = len(ahead) - len(ahead.lstrip(b"\r\n"))
    return line + ahead[:skipped].count(b"\n"), byte + skipped


def refusal(head: bytes, options: dict[str, Any]) -> str | None:
    """Why an input that would convert must not: it is a QARN file, or
    UTF-16 text read as UTF-8 (it would become text full of NULs)."""
    if head.startswith(_QARN_START):
        return "looks like a QARN file already, not CSV (qarn inspect shows what it holds)"
    guessed = options.get("dialect") == "auto"  # the guess finds UTF-16 by itself
    if "encoding" not in options and not guessed and not head.startswith(tuple(mark for mark, _ in _BYTE_ORDER_MARKS)):
        encoding = _utf16_without_mark(head)
        if encoding is not None:
            return f"looks like UTF-16 text without a byte-order mark: use --encoding {encoding}"
    return None


def hint(head: bytes, options: dict[str, Any]) -> str:
    """What to try when the input could not be read as it was asked to be."""
    if "compression" in options and options["compression"] is None:  # --compression none
        for magic, kind in MAGIC_NUMBERS.items():
            if head.startswith(magic):
                return f"the file starts with the {kind} magic bytes: use --compression {kind}"
    for mark, encoding in _BYTE_ORDER_MARKS:
        if head.startswith(mark) and not str(options.get("encoding", "")).startswith(encoding):
            return f"the file starts with a {encoding.upper()} byte-order mark: use --encoding {encoding}"
    for magic, what in _OTHER_FORMATS:
        if head.startswith(magic):
            return f"looks like {what}, not CSV"
    if "encoding" not in options:
        return "if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"
    return ""


# Separators a one-column table's name may show were meant to split it.
_OTHER_DELIMITERS = {";": "semicolon", "\t": "tab", "|": "pipe"}


def delimiter_hint(names: list[str], options: dict[str, Any]) -> str:
    """After a conversion into one column whose name holds another likely
    separator, and no delimiter was given: the option to try."""
    if len(names) != 1 or "delimiter" in options:
        return ""
    for character, word in _OTHER_DELIMITERS.items():
        if character in names[0]:
            return f"the header is one column holding {word}s: try --delimiter {word}"
    return ""
