"""A bug met while working on one file (a broken invariant in the native
code, or any exception nobody expected) is that file's failure, one line
without a traceback, in the command's own process, in its worker processes
and on Dask workers."""

import os
import pickle
import subprocess
import sys

import pytest

import qarn
from cli_support import expected_qarn, not_when_sanitized, run_qarn, write_csv

pytestmark = not_when_sanitized

# Imported by every Python process that the command starts (the workers of
# its pool too): the native functions named in QARN_TEST_FAULTS fail for an
# input that holds the word "panic" - with a PanicException, or with the
# exception named after a colon.
SITECUSTOMIZE = """
import builtins
import io
import os
import qarn
from qarn import _native

def _failing(name, original, exception):
    def call(source, *args, **options):
        if callable(source):  # a stream's readinto: read whole here, and again from a copy
            text, block = bytearray(), bytearray(1 << 16)
            while count := source(memoryview(block)):
                text += block[:count]
            source = io.BytesIO(bytes(text)).readinto
        else:
            text = bytes(memoryview(source))
        if b"panic" in text:
            raise exception(f"broken invariant in {name}")
        return original(source, *args, **options)
    return call

for entry in filter(None, os.environ.get("QARN_TEST_FAULTS", "").split(",")):
    name, _, kind = entry.partition(":")
    exception = getattr(builtins, kind) if kind else qarn.PanicException
    setattr(_native, name, _failing(name, getattr(_native, name), exception))
"""

BUG = "(a bug in qarn; please report it)"


@pytest.fixture
def faults(tmp_path):
    """run_qarn with the native functions given failing for inputs that say "panic"."""
    folder = tmp_path / "site"
    folder.mkdir()
    (folder / "sitecustomize.py").write_text(SITECUSTOMIZE)

    def run(*args, failing: str, **options):
        env = {**os.environ, "PYTHONPATH": str(folder), "QARN_TEST_FAULTS": failing}
        return run_qarn(*args, cwd=tmp_path, env=env, **options)

    return run


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_panic_fails_its_file_and_the_others_are_converted(tmp_path, faults, jobs):
    good = [write_csv(tmp_path, name, 30, seed=i) for i, name in enumerate(["a.csv", "c.csv"])]
    (tmp_path / "b.csv").write_bytes(b"word\npanic\n")
    result = faults("convert", "a.csv", "b.csv", "c.csv", "--jobs", jobs, failing="convert", check_status=1)
    lines = result.stderr.splitlines()
    assert f"qarn: b.csv: internal error: broken invariant in convert {BUG}" in lines
    assert lines[-1].startswith("2 files converted, 1 failed: ") and len(lines) == 4
    assert "Traceback" not in result.stderr
    for path in good:
        assert path.with_suffix(".qarn").read_bytes() == expected_qarn(path)
    assert sorted(os.listdir(tmp_path)) == ["a.csv", "a.qarn", "b.csv", "c.csv", "c.qarn", "site"]


def test_a_single_file_and_any_unexpected_exception(tmp_path, faults):
    (tmp_path / "b.csv").write_bytes(b"panic\n")
    result = faults("convert", "b.csv", failing="convert:RuntimeError", check_status=1)
    assert result.stderr == f"qarn: b.csv: internal error: RuntimeError: broken invariant in convert {BUG}\n"
    assert result.stdout == b"" and not (tmp_path / "b.qarn").exists()


@pytest.mark.parametrize(
    "command, failing",
    [
        (["inspect"], "summarize"),
        (["head"], "SliceReader"),
        (["head", "--columns", "panic"], "read_head"),
        (["to-csv", "-o", "out.csv"], "SliceReader"),
        (["validate", "fine.qarn"], "validate"),
    ],
)
def test_the_reading_commands_report_a_panic_as_one_line(tmp_path, faults, command, failing):
    (tmp_path / "p.qarn").write_bytes(qarn.convert(b"panic\n1\n"))
    (tmp_path / "fine.qarn").write_bytes(qarn.convert(b"x\n1\n"))
    result = faults(command[0], "p.qarn", *command[1:], failing=failing, check_status=1)
    assert result.stderr == f"qarn: p.qarn: internal error: broken invariant in {failing} {BUG}\n"
    assert not (tmp_path / "out.csv").exists()


def test_a_panic_survives_pickling_into_another_process():
    script = "import pickle, sys; sys.stdout.buffer.write(pickle.dumps(__import__('qarn').PanicException('lost', 7)))"
    pickled = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True).stdout
    error = pickle.loads(pickled)
    assert type(error) is qarn.PanicException and error.args == ("lost", 7)
    assert not isinstance(error, Exception)
