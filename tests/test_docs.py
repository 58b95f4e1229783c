"""The byte-by-byte example in docs/format.md is the converter's output."""

import re
import subprocess
from pathlib import Path, PurePosixPath

import pytest

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


def test_the_layout_table_covers_the_tracked_folders():
    root = FORMAT.parent.parent
    readme = root / "README.md"
    if not (root / ".git").exists() or not readme.exists():
        pytest.skip("not in a git checkout")
    tracked = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True, check=True).stdout.split()
    folders = {str(PurePosixPath(path).parent) + "/" for path in tracked if "/" in path}
    layout = readme.read_text().split("## Layout", 1)[1].split("\n## ", 1)[0]
    named = re.findall(r"^\| `([^`]+/)`", layout, re.MULTILINE)
    assert len(named) == len(set(named))
    assert all(entry in folders or any(f.startswith(entry) for f in folders) for entry in named), named
    # Each source subsystem has a row of its own; every other folder lies in one that has.
    assert {f"src/{p.name}/" for p in (root / "src").iterdir() if p.is_dir()} <= set(named)
    uncovered = sorted(f for f in folders if not any(f.startswith(entry) for entry in named))
    assert uncovered == []
