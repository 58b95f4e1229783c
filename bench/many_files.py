"""Many files on one machine: `qarn convert --jobs 2` against `--jobs 1`
and against the same conversions in a plain Python loop.

    python bench/many_files.py                       # 200 files of 5 MB, 3 runs each
    python bench/many_files.py --files 40 --runs 1   # quicker
    python bench/many_files.py --out /dev/shm/qarn   # outputs in memory: no disk in the way
    python bench/many_files.py --size 20KB --auto    # what guessing each file's dialect costs, --jobs 1 and 2

The inputs are `mixed` data sets (bench/datasets.py) of the given size,
eight distinct ones copied round-robin into bench/data/many-*/; every run
writes all outputs into a fresh folder on the same disk. Each way is timed
from the start of its process to its end (interpreter start-up included),
the median of the runs is printed with MB/s of CSV and the speed-up over
the loop, and every figure goes to bench/results/many_files-*.json with the
load average. Every output is flushed to disk before it is renamed, so on a
slow disk the figures are the disk's; `--out` on a memory file system shows
the CPUs'. On a machine that other work shares, compare ways within a run.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import datasets

HERE = Path(__file__).resolve().parent
LOOP = """
import sys, qarn
out = sys.argv[1]
for path in sys.argv[2:]:
    qarn.convert(path, f"{out}/{path.rsplit('/', 1)[-1][:-4]}.qarn")
"""


def inputs(files: int, size: int) -> list[Path]:
    folder = datasets.DATA_DIR / f"many-{files}x{size}B"
    paths = [folder / f"f{i:04d}.csv" for i in range(files)]
    if all(path.exists() for path in paths):
        return paths
    folder.mkdir(parents=True, exist_ok=True)
    sources = [datasets.cached_path("mixed", size, seed) for seed in range(1, 9)]
    for i, path in enumerate(paths):
        shutil.copyfile(sources[i % len(sources)], path)
    return paths


def commands(paths: list[Path], out: Path, auto: bool) -> dict[str, list[str]]:
    qarn_command = [str(Path(sys.executable).with_name("qarn")), "convert", "--out-dir", str(out)]
    names = [str(path) for path in paths]
    ways = {
        "python loop": [sys.executable, "-c", LOOP, str(out), *names],
        "qarn --jobs 1": [*qarn_command, "--jobs", "1", *names],
        "qarn --jobs 2": [*qarn_command, "--jobs", "2", *names],
    }
    if auto:
        ways["qarn --jobs 1 --auto"] = [*qarn_command, "--jobs", "1", "--auto", *names]
        ways["qarn --jobs 2 --auto"] = [*qarn_command, "--jobs", "2", "--auto", *names]
    return ways


def timed(command: list[str], out: Path) -> float:
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    start = time.perf_counter()
    subprocess.run(command, check=True, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if len(os.listdir(out)) == 0:
        raise SystemExit(f"{command[0]} wrote nothing")
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--size", default="5MB", help="of each file (default 5MB)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", type=Path, help="folder for the outputs (default: beside the inputs)")
    parser.add_argument("--auto", action="store_true", help="also with --auto: each file's dialect guessed")
    args = parser.parse_args()
    paths = inputs(args.files, datasets.parse_size(args.size))
    total = sum(path.stat().st_size for path in paths)
    out = args.out or paths[0].parent.with_name(paths[0].parent.name + "-out")
    ways = commands(paths, out, args.auto)
    times: dict[str, list[float]] = {name: [] for name in ways}
    for _ in range(args.runs):  # interleaved, so that a busy moment hurts every way alike
        for name, command in ways.items():
            times[name].append(timed(command, out))
    shutil.rmtree(out, ignore_errors=True)
    loop = statistics.median(times["python loop"])
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg())
    print(f"{len(paths)} files, {total / 1e6:.0f} MB of CSV into {out}, {os.cpu_count()} CPUs, load {load}")
    print(f"median of {args.runs} runs:")
    for name, runs in times.items():
        median = statistics.median(runs)
        print(f"  {name:<20} {median:7.2f} s  {total / median / 1e6:6.0f} MB/s  x{loop / median:.2f} of the loop")
    if args.auto:
        for jobs in ("1", "2"):
            plain, guessed = (statistics.median(times[f"qarn --jobs {jobs}{flag}"]) for flag in ("", " --auto"))
            print(f"  --auto takes {guessed / plain - 1:+.0%} more time with --jobs {jobs}")
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    record = {
        "files": len(paths),
        "bytes": total,
        "out": str(out),
        "cpus": os.cpu_count(),
        "load": os.getloadavg(),
        "python": platform.python_version(),
        "times": times,
    }
    (results / f"many_files-{time.strftime('%Y%m%d-%H%M%S')}.json").write_text(json.dumps(record, indent=2))


if __name__ == "__main__":
    main()
