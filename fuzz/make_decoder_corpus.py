"""Rebuilds fuzz/corpus-decoder/ for the reader's fuzz target: the QARN files
the converter makes from the conversion corpus, and hand-built files that
hold what the converter never writes (every type, run-length and bit
arrays, defaults, extra and further properties).

Usage: python fuzz/make_decoder_corpus.py

The committed corpus is that set merged with what fuzzing found, reduced to
the inputs that add coverage:
    build/fuzz/decoder_fuzzer -merge=1 NEW_DIR fuzz/corpus-decoder build/fuzz/corpus-decoder_fuzzer
"""

import hashlib
import os
import shutil
import sys

import _qarn

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import qarn_builder as b  # noqa: E402

CORPUS = os.path.join(HERE, "corpus-decoder")
MAX_FILE = 8192


def converted() -> list[bytes]:
    files = []
    source = os.path.join(HERE, "corpus")
    for name in sorted(os.listdir(source)):
        entry = open(os.path.join(source, name), "rb").read()
        if len(entry) < 2:
            continue
        try:
            files.append(_qarn.csv_to_qarn(entry[2:], entry[0] % 16 + 1, entry[1] % 16))
        except ValueError:
            pass
    return files


def built() -> list[bytes]:
    all_types = [(b.BOOL, [True, False]), (b.INT, [-1, 5]), (b.LONG, [2**40, 0]), (b.FLOAT, [1.5, -0.0]),
                 (b.DOUBLE, [0.1, float("nan")]), (0x06, [1, 2]), (0x09, [3, 4]), (b.STRING, ["", "é"]),
                 (b.BYTES, [b"\x00", b""]), (b.OPAQUE16, [bytes(16), b"\x01" * 16])]
    files = []
    for type_id, values in all_types:
        column = [b.ColumnDef("c", type_id, [b.Property("Unit", b.STRING, "u")])]
        files.append(b.build(column, [[b.column_slice(b.plain(type_id, values))]]))
        files.append(b.build(column, [[b.column_slice(b.run_length(type_id, [(values[0], 3), (values[1], 1)]),
                                                      [("IsInvalid", b.bit_array([0, 1, 0, 0])),
                                                       ("ErrorCode", b.plain(b.INT, [0, 1, 0, 0]))])]]))
    files.append(b.build([b.ColumnDef("f", b.BOOL)], [[b.column_slice(b.bit_array([1, 0, 1]),
                                                                       [("HasReplacedValue", b.bit_array([0, 0, 1]))])]],
                         [b.Property("TableColumns", b.INT, 1), b.Property("T", b.STRING, "x", default="y")],
                         {"Unit": "m"}))
    return files


def main() -> None:
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    kept = {hashlib.sha1(f).hexdigest(): f for f in converted() + built() if len(f) <= MAX_FILE}
    for name, data in kept.items():
        with open(os.path.join(CORPUS, name), "wb") as out:
            out.write(data)
    print(f"{len(kept)} files in {CORPUS}", file=sys.stderr)


if __name__ == "__main__":
    main()
