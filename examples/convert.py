"""Converts a CSV file with _qarn and prints what came out.

Usage: python examples/convert.py [path/to/file.csv]
"""

import os
import sys
import time

import _qarn

# The test suite's small QARN reader, to show the column types and row count.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from qarn_decoder import decode  # noqa: E402


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "trips.csv")
    with open(path, "rb") as f:
        data = f.read()

    start = time.perf_counter()
    out = _qarn.csv_to_qarn(data)
    elapsed = time.perf_counter() - start

    table = decode(out)
    print(f"{path}: {len(table.rows())} rows, {len(table.column_names)} columns")
    for name, type_name in zip(table.column_names, table.column_types):
        print(f"  {name:<16} {type_name}")
    print(f"input  {len(data):>10,} bytes of CSV")
    print(f"output {len(out):>10,} bytes of QARN")
    print(f"took   {elapsed * 1000:>10.3f} ms")


if __name__ == "__main__":
    main()
