"""Converts a CSV file to QARN and reads it back with the qarn package.

Usage: python examples/convert.py [path/to/file.csv]
"""

import os
import sys
import time

import qarn


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "trips.csv")
    size = os.path.getsize(path)

    start = time.perf_counter()
    out = qarn.convert(path)
    elapsed = time.perf_counter() - start

    table = qarn.read(out)
    print(f"{path}: {table.num_rows} rows, {len(table)} columns, {table.num_slices} table slices")
    for column in table:
        print(f"  {column.name:<16} {column.type:<8} {column.invalid_count:>6} invalid")
    print(f"input  {size:>10,} bytes of CSV")
    print(f"output {len(out):>10,} bytes of QARN")
    print(f"took   {elapsed * 1000:>10.3f} ms")
    print("first rows (None where a cell is invalid):")
    columns = [[None if bad else value for value, bad in zip(c.values[:3].tolist(), c.invalid[:3])] for c in table]
    for row in zip(*columns):
        print("  ", row)


if __name__ == "__main__":
    main()
