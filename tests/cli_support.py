"""Running the installed `qarn` command as a user would, and the CSV files
the command-line tests feed it."""

import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import qarn

QARN = str(Path(sys.executable).with_name("qarn"))

# In the sanitizer run the command's own process loads the plain build (the
# sanitized one is on a relative PYTHONPATH), so running it again there
# checks nothing more and costs minutes.
not_when_sanitized = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="the command runs the plain build in its own process"
)


def run_qarn(*args, cwd, input=None, check_status=None, **options) -> subprocess.CompletedProcess:
    """`qarn ARGS` in `cwd`; stdout as bytes, stderr as text."""
    result = subprocess.run(
        [QARN, *map(str, args)], cwd=cwd, input=input, capture_output=True, timeout=120, **options
    )
    result.stderr = result.stderr.decode()
    if check_status is not None:
        assert result.returncode == check_status, result.stderr
    return result


def make_csv(rows: int, seed: int = 0) -> bytes:
    """Ints, doubles, bools, text with quotes and line breaks, and a few
    cells that do not fit their column's type (invalid cells)."""
    rng = random.Random(seed)
    lines = ["id,amount,flag,label,note"]
    for i in range(rows):
        amount = f"{rng.uniform(-1e4, 1e4):.3f}" if rng.random() > 0.02 else ""
        note = rng.choice(["", "plain", '"say ""hi"""', '"two\nlines"', "é ü 中"])
        lines.append(f"{i},{amount},{rng.choice(['true', 'false'])},w{rng.randrange(500)},{note}")
    return ("\n".join(lines) + "\n").encode()


def write_csv(folder: Path, name: str, rows: int, seed: int = 0) -> Path:
    path = folder / name
    path.write_bytes(make_csv(rows, seed))
    return path


def expected_qarn(path: Path, **options) -> bytes:
    return qarn.convert(path.read_bytes(), **options)


def leftovers(folder: Path) -> list[str]:
    """Temporary files left in the folder."""
    return sorted(name for name in os.listdir(folder) if name.endswith(".part"))
