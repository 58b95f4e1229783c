"""Benchmark writing a table held in memory: qarn.write against pyarrow's
Parquet writer (default compression, and none) and Arrow IPC.

    python bench/write.py --size 20MB --runs 3 [--datasets numeric,strings]

For each data set of bench/datasets.py the CSV is converted to QARN and read
into a pyarrow Table; each writer then writes that table into memory, in
this process, `--runs` times. The table shows the median seconds, the MB/s
of the QARN file written, each writer's output size and its time over
qarn.write's (above 1: qarn.write is faster). qarn.write from pandas and
polars DataFrames of the same table is timed too (their conversion to
Arrow included).
"""

from __future__ import annotations

import argparse
import io
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402


def writers(table: object) -> dict[str, Callable[[], int]]:
    import pyarrow as pa
    import pyarrow.parquet as pq

    import qarn

    frame = qarn.read(qarn.write(table)).to_pandas()
    polars_frame = qarn.read(qarn.write(table)).to_polars()

    def parquet(compression: str | None) -> int:
        sink = io.BytesIO()
        pq.write_table(table, sink, compression=compression)
        return sink.tell()

    def ipc() -> int:
        stream = pa.BufferOutputStream()
        with pa.ipc.new_file(stream, table.schema) as writer:
            writer.write_table(table)
        return stream.tell()

    return {
        "qarn.write": lambda: len(qarn.write(table)),
        "qarn.write-pandas": lambda: len(qarn.write(frame)),
        "qarn.write-polars": lambda: len(qarn.write(polars_frame)),
        "parquet-snappy": lambda: parquet("snappy"),
        "parquet-none": lambda: parquet("none"),
        "arrow-ipc": ipc,
    }


def median_seconds(write: Callable[[], int], runs: int) -> tuple[float, int]:
    times, size = [], 0
    for _ in range(runs):
        start = time.perf_counter()
        size = write()
        times.append(time.perf_counter() - start)
    return statistics.median(times), size


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="20MB", help="CSV size of each data set (default 20MB)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--datasets", default="numeric,strings,mixed,wide")
    args = parser.parse_args()

    import _qarn
    import qarn

    size = datasets.parse_size(args.size)
    print(f"{'data set':<10} {'writer':<18} {'seconds':>8} {'MB/s':>7} {'output MB':>10} {'ratio':>6}")
    for name in args.datasets.split(","):
        table = qarn.read(_qarn.csv_to_qarn(datasets.cached_path(name, size, args.seed).read_bytes())).to_arrow()
        results = {engine: median_seconds(write, args.runs) for engine, write in writers(table).items()}
        reference, qarn_bytes = results["qarn.write"]
        for engine, (seconds, output) in results.items():
            print(f"{name:<10} {engine:<18} {seconds:8.3f} {qarn_bytes / seconds / 1e6:7.0f} "
                  f"{output / 1e6:10.1f} {seconds / reference:6.2f}")  # fmt: skip


if __name__ == "__main__":
    main()
