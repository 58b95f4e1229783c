"""Reading into polars, every reader interleaved with the others in one
process so that a busy machine slows them alike.

    POLARS_MAX_THREADS=1 python bench/into_polars.py --threads 1 [--datasets cities,wide]
    python bench/into_polars.py --threads 2

For each data set of bench/datasets.py, the median ms of
`qarn.read_polars(q, threads=T)`; of `qarn.read(q, threads=T).to_polars()`;
of `pl.from_arrow(...to_arrow())`, which has polars lay out the strings; of
`to_arrow()` alone; and of polars' `read_parquet` of the same table (at
POLARS_MAX_THREADS).
"""

from __future__ import annotations

import argparse
import gc
import io
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402


def readers(qarn_bytes: bytes, parquet: bytes, threads: int) -> dict:
    import polars as pl

    import qarn

    return {
        "read_polars": lambda: qarn.read_polars(qarn_bytes, threads=threads),
        "to_polars": lambda: qarn.read(qarn_bytes, threads=threads).to_polars(),
        "from_arrow": lambda: pl.from_arrow(qarn.read(qarn_bytes, threads=threads).to_arrow(), rechunk=False),
        "to_arrow": lambda: qarn.read(qarn_bytes, threads=threads).to_arrow(),
        "parquet-polars": lambda: pl.read_parquet(io.BytesIO(parquet)),
    }


def measure(name: str, size: int, threads: int, rounds: int) -> dict[str, float]:
    import pyarrow.parquet as pq

    import _qarn
    import qarn

    qarn_bytes = _qarn.csv_to_qarn(datasets.cached_path(name, size).read_bytes())
    sink = io.BytesIO()
    pq.write_table(qarn.read(qarn_bytes).to_arrow(), sink)
    runs = readers(qarn_bytes, sink.getvalue(), threads)
    times: dict[str, list[float]] = {reader: [] for reader in runs}
    for read in runs.values():
        read()  # warm-up
    for _ in range(rounds):
        for reader, read in runs.items():
            gc.collect()
            start = time.perf_counter()
            result = read()
            times[reader].append(time.perf_counter() - start)
            del result
    return {reader: statistics.median(t) * 1000 for reader, t in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="100MB")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--datasets", default=",".join(datasets.ALL))
    args = parser.parse_args()
    size = datasets.parse_size(args.size)
    print(f"threads={args.threads}; median ms; parquet-polars over read_polars, then over to_polars")
    print(f"{'data set':18} {'read_polars':>11} {'to_polars':>10} {'from_arrow':>11} {'to_arrow':>9} "
          f"{'parquet':>8} {'ratio':>6} {'ratio':>6}")
    for name in args.datasets.split(","):
        ms = measure(name, size, args.threads, args.rounds)
        parquet = ms["parquet-polars"]
        print(f"{name:18} {ms['read_polars']:11.1f} {ms['to_polars']:10.1f} {ms['from_arrow']:11.1f} "
              f"{ms['to_arrow']:9.1f} {parquet:8.1f} {parquet / ms['read_polars']:6.2f} "
              f"{parquet / ms['to_polars']:6.2f}")


if __name__ == "__main__":
    main()
