"""Guessing the text encoding of a sample of bytes: a byte order mark, the
NUL bytes of UTF-16 and UTF-32 text without one, valid UTF-8, and else a
single-byte Windows or Latin-1 encoding."""

from __future__ import annotations

import codecs

# Longest first: the UTF-32 LE mark starts with the UTF-16 LE one.
_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32"),
    (codecs.BOM_UTF32_BE, "utf-32"),
    (codecs.BOM_UTF8, "utf-8-sig"),
    (codecs.BOM_UTF16_LE, "utf-16"),
    (codecs.BOM_UTF16_BE, "utf-16"),
)

# The bytes 0x80-0x9F that cp1252 leaves undefined; any other there is a
# letter or a sign (€, curly quotes, dashes, Š, œ, ...).
_CP1252_UNDEFINED = frozenset(b"\x81\x8d\x8f\x90\x9d")

_NOT_C1 = bytes(range(0x80)) + bytes(range(0xA0, 0x100))

_NUL_LOOK = 4096  # bytes looked at for the NULs of UTF-16 and UTF-32 text


def guess_encoding(head: bytes, tail: bytes = b"") -> tuple[str, float]:
    """The encoding of text that starts with `head` (and, for a long file,
    ends with `tail`), and how sure the guess is, from 0 to 1."""
    for mark, name in _MARKS:
        if head.startswith(mark):
            return name, 1.0
    wide = _wide_encoding(head[:_NUL_LOOK])
    if wide is not None:
        return wide, 0.95
    if _utf8(head) and _utf8(tail, tail_cut=True):
        return "utf-8", 1.0 if not tail or not head.isascii() else 0.9
    high = frozenset(head.translate(None, _NOT_C1)) | frozenset(tail.translate(None, _NOT_C1))
    if high and not high & _CP1252_UNDEFINED:
        return "cp1252", 0.8
    if high:
        return "latin-1", 0.6
    return "cp1252", 0.7


def _wide_encoding(head: bytes) -> str | None:
    """UTF-16 or UTF-32 without a mark, from where the NUL bytes of ASCII
    characters fall; None when the text has no such pattern."""
    pairs = len(head) // 2
    if pairs < 2 or head.count(0) < pairs // 2:
        return None
    quads = len(head) // 4
    if quads >= 2:
        for name, zero_lanes in (("utf-32-le", (1, 2, 3)), ("utf-32-be", (0, 1, 2))):
            if all(head[lane : 4 * quads : 4].count(0) >= 0.9 * quads for lane in zero_lanes):
                return name
    even_zeros = head[0 : 2 * pairs : 2].count(0)
    odd_zeros = head[1 : 2 * pairs : 2].count(0)
    if odd_zeros >= 0.6 * pairs and even_zeros <= 0.1 * pairs:
        return "utf-16-le"
    if even_zeros >= 0.6 * pairs and odd_zeros <= 0.1 * pairs:
        return "utf-16-be"
    return None


def _utf8(data: bytes, tail_cut: bool = False) -> bool:
    """Whether the data is UTF-8, but for a character cut at its end (the
    sample's end) or, with `tail_cut`, at its start."""
    if not data or data.isascii():
        return True
    if tail_cut:
        skip = 0
        while skip < min(3, len(data)) and 0x80 <= data[skip] < 0xC0:
            skip += 1
        data = data[skip:]
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        decoder.decode(data, final=False)
    except UnicodeDecodeError:
        return False
    return True


def decode_sample(data: bytes, encoding: str) -> str:
    """A sample's text: a character cut at its end is dropped, and bytes the
    encoding does not define become U+FFFD."""
    decoder = codecs.getincrementaldecoder(encoding)(errors="replace")
    return decoder.decode(data, final=False)


def without_mark(encoding: str, head: bytes) -> str:
    """The encoding of text after the byte order mark that `head` starts
    with: the same, but of a fixed byte order."""
    if encoding in ("utf-16", "utf-32"):
        little = head.startswith(codecs.BOM_UTF16_LE)
        return f"{encoding}-{'le' if little else 'be'}"
    return "utf-8" if encoding == "utf-8-sig" else encoding
