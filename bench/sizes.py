"""Our own throughput at several input sizes, in one process.

    python bench/sizes.py [--sizes 10MB,100MB,1GiB] [--datasets numeric,mixed]

For each data set and size, converts the same bytes again and again with
`_qarn.csv_to_qarn` and prints MB/s of the best and the median run, and of
the median user CPU time: the wall time of a large conversion includes the
kernel handing over fresh output pages, the user time does not. Data sets
are generated (or reused) as `bench/run.py` does.
"""

from __future__ import annotations

import argparse
import resource
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402

import _qarn  # noqa: E402


def user_seconds() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def measure(data: bytes, runs: int) -> str:
    walls, users = [], []
    for _ in range(runs):
        user_start, start = user_seconds(), time.perf_counter()
        out = _qarn.csv_to_qarn(data)
        walls.append(time.perf_counter() - start)
        users.append(user_seconds() - user_start)
        del out
    mb = len(data) / 1e6
    user = statistics.median(users)  # 0 for inputs below the clock's resolution
    user_text = f"{mb / user:.0f}" if user > 0 else "-"
    return (f"best {mb / min(walls):.0f}, median {mb / statistics.median(walls):.0f}, "
            f"user {user_text} MB/s")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="10MB,100MB,1GiB")
    ap.add_argument("--datasets", default=",".join(datasets.GENERATORS))
    ap.add_argument("--runs", type=int, default=7, help="runs per size (3 from 1 GB up)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    for name in args.datasets.split(","):
        for size_text in args.sizes.split(","):
            size = datasets.parse_size(size_text)
            data = datasets.cached_path(name, size, args.seed).read_bytes()
            runs = min(args.runs, 3) if size >= 10**9 else args.runs
            print(f"{name} {size_text}: {measure(data, runs)}", flush=True)
            del data
    return 0


if __name__ == "__main__":
    sys.exit(main())
