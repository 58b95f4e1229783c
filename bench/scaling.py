"""How a conversion scales with threads, against what the machine can give.

    python bench/scaling.py --size 100MB --runs 5 [--datasets numeric,wide]
    python bench/scaling.py --core-bench build/bench/core_bench   # and the ordered fraction

For every data set of bench/datasets.py, in one run:
- `qarn.convert(data, threads=N)` for N = 1, 2, 4 and 8, from memory, output
  held in memory: in each of `--runs` rounds every thread count and the
  pair below run in turn, each in a fresh process that converts three
  times and keeps its best; the figures are medians over the rounds, so
  that a machine whose speed drifts slows every configuration alike;
- the machine's limit: two independent one-thread conversions of the same
  data side by side, in two processes started together; their combined
  throughput over that of one alone. Memory bandwidth and caches are shared,
  so this is what a second core can add to this conversion, whatever the
  program;
- with `--core-bench` (the core without Python, built with
  `-DQARN_BUILD_BENCH=ON`), the ordered fraction: the time the calling
  thread of a two-thread conversion spends on what only it can do, in input
  order, over the one-thread conversion's time; and what Amdahl's law makes
  of it for 16 and 64 cores.

Speed-ups are against our own one thread measured in the same run; the
share of the limit is the two-thread speed-up over the limit. Results go to
bench/results/scaling-*.json.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import datasets

HERE = Path(__file__).resolve().parent
THREADS = (1, 2, 4, 8)
# Idle BLAS threads of numpy spin; they would take the cores measured.
CHILD_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}

CHILD = """
import json, sys, time, qarn
path, threads, runs, wait = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "wait"
data = open(path, "rb").read()
qarn.convert(data, threads=threads)
if wait:
    print("ready", flush=True)
    sys.stdin.readline()
times = []
for _ in range(runs):
    start = time.perf_counter()
    qarn.convert(data, threads=threads)
    times.append(time.perf_counter() - start)
print(json.dumps(times), flush=True)
"""


def child(path: Path, threads: int, runs: int, wait: bool) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", CHILD, str(path), str(threads), str(runs),
                             "wait" if wait else "now"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, env=CHILD_ENV)


def times_of(process: subprocess.Popen) -> list[float]:
    out, _ = process.communicate()
    if process.returncode != 0:
        raise RuntimeError(f"a conversion failed (exit {process.returncode})")
    return json.loads(out.strip().splitlines()[-1])


def alone(path: Path, threads: int, runs: int) -> float:
    return min(times_of(child(path, threads, runs, wait=False)))


def side_by_side(path: Path, runs: int) -> float:
    """The median time of a one-thread conversion while another runs beside it."""
    pair = [child(path, 1, runs, wait=True) for _ in range(2)]
    for process in pair:
        assert process.stdout is not None and process.stdout.readline().strip() == "ready"
    for process in pair:
        assert process.stdin is not None
        process.stdin.write("go\n")
        process.stdin.flush()
    return statistics.median(t for process in pair for t in times_of(process))


def ordered_fraction(core_bench: str, path: Path, runs: int) -> float:
    """The ordered time of a two-thread conversion over a one-thread one,
    both timed by the core benchmark."""
    def run(threads: int) -> str:
        return subprocess.run([core_bench, str(path), str(runs), str(threads)], check=True,
                              capture_output=True, text=True).stdout
    one = float(re.search(r"([0-9.]+) ms", run(1)).group(1))
    ordered = float(re.search(r"ordered ([0-9.]+) ms", run(2)).group(1))
    return ordered / one


def amdahl(fraction: float, cores: int) -> float:
    return 1 / (fraction + (1 - fraction) / cores)


# Conversions per process, of which the best counts: the first after
# loading may find the machine busy with the load itself.
PER_PROCESS = 3


def measure(name: str, size: int, runs: int, core_bench: str | None) -> dict:
    path = datasets.cached_path(name, size)
    # Round by round, every thread count and the pair in turn, so that a
    # machine whose speed drifts over minutes slows them alike.
    rounds: dict[int, list[float]] = {threads: [] for threads in THREADS}
    pairs: list[float] = []
    for _ in range(runs):
        for threads in THREADS:
            rounds[threads].append(alone(path, threads, PER_PROCESS))
        pairs.append(side_by_side(path, PER_PROCESS))
    seconds = {threads: statistics.median(times) for threads, times in rounds.items()}
    pair = statistics.median(pairs)
    result = {"seconds": seconds, "side_by_side_seconds": pair, "limit": 2 * seconds[1] / pair,
              "bytes": path.stat().st_size}
    if core_bench:
        result["ordered_fraction"] = ordered_fraction(core_bench, path, runs)
    return result


def print_row(name: str, result: dict) -> None:
    seconds = result["seconds"]
    speedups = [seconds[1] / seconds[threads] for threads in THREADS[1:]]
    cells = [f"{result['bytes'] / seconds[1] / 1e6:,.0f} MB/s"] + [f"{s:.2f}x" for s in speedups]
    cells += [f"{result['limit']:.2f}x", f"{speedups[0] / result['limit']:.0%}"]
    if "ordered_fraction" in result:
        fraction = result["ordered_fraction"]
        cells += [f"{fraction:.1%}", f"{amdahl(fraction, 16):.1f}x", f"{amdahl(fraction, 64):.1f}x"]
    print(f"| {name} | " + " | ".join(cells) + " |", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="100MB")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--datasets", default=",".join(datasets.ALL))
    parser.add_argument("--core-bench", help="the core benchmark binary, for the ordered fraction")
    args = parser.parse_args()
    size = datasets.parse_size(args.size)
    header = ["data set", "1 thread", "2 threads", "4", "8", "limit (2 processes)", "2 threads / limit"]
    if args.core_bench:
        header += ["ordered fraction", "Amdahl 16 cores", "Amdahl 64 cores"]
    print("| " + " | ".join(header) + " |\n|" + " --- |" * len(header))
    report = {"args": vars(args), "load": os.getloadavg(), "datasets": {}}
    for name in args.datasets.split(","):
        report["datasets"][name] = measure(name, size, args.runs, args.core_bench)
        print_row(name, report["datasets"][name])
    out = HERE / "results" / f"scaling-{time.strftime('%Y%m%d-%H%M%S')}.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(report, indent=1))
    print(f"\nload average {os.getloadavg()[0]:.2f}; results in {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
