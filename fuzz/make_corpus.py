"""Rebuilds fuzz/corpus/ from the inputs the Python tests convert.

Runs the test suite with csv_to_qarn wrapped so that every CSV input (up to
4 KiB) is recorded, prefixed with the four bytes the fuzz target reads as
chunk_size and sample_rows, then the comma dialect and a header row. Usage: python fuzz/make_corpus.py

The committed corpus is that set reduced to the inputs that add coverage:
    build/fuzz/conversion_fuzzer -merge=1 NEW_DIR fuzz/corpus
"""

import hashlib
import os
import shutil
import sys

import pytest

import _qarn

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
MAX_INPUT = 4096


class Recorder:
    def __init__(self):
        self.inputs = {}

    def pytest_configure(self, config):
        original = _qarn.csv_to_qarn

        def recording(csv_bytes, chunk_size=10000, sample_rows=1000):
            if isinstance(csv_bytes, bytes) and len(csv_bytes) <= MAX_INPUT:
                try:
                    selectors = bytes([(int(chunk_size) - 1) % 16, int(sample_rows) % 16, 0, 0])
                except (TypeError, ValueError, OverflowError):
                    selectors = b"\x00\x00"
                entry = selectors + bytes(csv_bytes)
                self.inputs[hashlib.sha1(entry).hexdigest()] = entry
            return original(csv_bytes, chunk_size, sample_rows)

        _qarn.csv_to_qarn = recording


def main() -> None:
    recorder = Recorder()
    tests = os.path.join(HERE, "..", "tests")
    pytest.main(["-q", "-p", "no:cacheprovider", tests, "-k", "not doubles_agree"], plugins=[recorder])
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    for name, entry in sorted(recorder.inputs.items()):
        with open(os.path.join(CORPUS, name), "wb") as f:
            f.write(entry)
    print(f"{len(recorder.inputs)} inputs in {CORPUS}", file=sys.stderr)


if __name__ == "__main__":
    main()
