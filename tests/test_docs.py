"""The byte-by-byte example in docs/format.md is the converter's output."""

import re
from pathlib import Path

import _qarn

FORMAT = Path(__file__).resolve().parent.parent / "docs" / "format.md"


def test_the_dissected_example_is_what_the_converter_writes():
    text = FORMAT.read_text()
    example = text[text.index("## The smallest example") :]
    written = bytearray()
    for offset, cells in re.findall(r"^\| ([0-9A-F]{4}) \| (.+?) \|", example, re.MULTILINE):
        assert int(offset, 16) == len(written), offset
        for token in re.findall(r"`([^`]+)`", cells):
            pairs = token.split()
            is_hex = all(re.fullmatch(r"[0-9A-F]{2}", pair) for pair in pairs)
            written += bytes.fromhex(token) if is_hex else token.encode()
    assert bytes(written) == _qarn.csv_to_qarn(b"a,b\nx,1\ny,2\n")
    assert len(written) == 143
