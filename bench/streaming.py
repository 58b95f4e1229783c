"""Converting a CSV file larger than one would like to hold: peak memory and
speed of the streamed `qarn.convert(path, target)` against the conversion
held in memory and the streaming writers of the peers.

    python bench/streaming.py [--size 4GB] [--dataset mixed] [--threads 2] [--engines ...]
                              [--out-dir DIR] [--keep]

The file is made once in bench/data/ (a few tens of MB of the data set,
written again and again up to --size) and removed at the end unless --keep.
Every engine converts it from disk to disk (or into --out-dir, such as
/dev/shm, to leave the disk's write speed out) in a process of its own, one
after the other, each output removed before the next; the parent reads
each child's peak RSS from wait4(). The figures: the conversion's wall time
(from within the child, import excluded) as MB/s of CSV, and the peak RSS.

Engines:
  qarn            qarn.convert(path, target): the input read a window at a
                  time, each table slice written as it is made
  qarn-in-memory  the input mapped and the output built in memory, then
                  written (and flushed to disk, as the streamed one is):
                  what qarn.convert(path, target) did before
  polars          pl.scan_csv(path).sink_parquet(target)
  pyarrow         pyarrow.csv.open_csv(path) batches into a ParquetWriter
  duckdb          COPY (SELECT * FROM read_csv(path)) TO target (FORMAT parquet)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402

MIB = 1 << 20
BASE_BYTES = 64 * 10**6  # of the data set, generated once and repeated

ENGINES = {
    "qarn": """
import qarn
def run(source, target, threads):
    qarn.convert(source, target, threads=threads)
""",
    "qarn-in-memory": """
import qarn
from qarn._atomic import publish
def run(source, target, threads):
    publish(qarn.convert(source, threads=threads), target)
""",
    "polars": """
import os
def run(source, target, threads):
    import polars as pl
    pl.scan_csv(source).sink_parquet(target)
""",
    "pyarrow": """
import pyarrow as pa, pyarrow.csv as pacsv, pyarrow.parquet as pq
def run(source, target, threads):
    pa.set_cpu_count(threads)
    pa.set_io_thread_count(threads)
    reader = pacsv.open_csv(source)
    with pq.ParquetWriter(target, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
""",
    "duckdb": """
import duckdb
def run(source, target, threads):
    con = duckdb.connect()
    con.execute(f"SET threads = {threads}")
    con.execute(f"COPY (SELECT * FROM read_csv('{source}')) TO '{target}' (FORMAT parquet)")
""",
}

CHILD = """
import json, sys, time
{engine}
source, target, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
start = time.perf_counter()
run(source, target, threads)
print(json.dumps({{"seconds": time.perf_counter() - start}}))
"""


def big_file(dataset: str, size: int) -> Path:
    """The data set repeated up to `size` bytes (whole records), made once."""
    path = datasets.DATA_DIR / f"streaming-{dataset}-{size}B.csv"
    if path.exists():
        return path
    base = datasets.cached_path(dataset, min(size, BASE_BYTES)).read_bytes()
    header_end = base.index(b"\n") + 1
    body = base[header_end:]
    temporary = path.with_name(path.name + f".tmp{os.getpid()}")
    with open(temporary, "wb") as file:
        file.write(base[:header_end])
        written = header_end
        while written < size:
            piece = body[: size - written] if size - written < len(body) else body
            if len(piece) < len(body):
                piece = piece[: piece.rfind(b"\n") + 1] or body[: body.index(b"\n") + 1]
            file.write(piece)
            written += len(piece)
    temporary.replace(path)
    return path


# Runs the command and prints its peak RSS (the kernel's, from wait4) as
# the last line of its standard error: one process per engine, measured alone.
WRAPPER = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:])
_, status, usage = os.wait4(child.pid, 0)
print(usage.ru_maxrss * 1024, file=sys.stderr)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def measure_with_peak(engine: str, source: Path, threads: int, out_dir: Path) -> dict:
    target = out_dir / f"streaming-out-{engine}.tmp"
    env = {**os.environ, "POLARS_MAX_THREADS": str(threads), "OMP_NUM_THREADS": str(threads)}
    command = [sys.executable, "-c", WRAPPER, sys.executable, "-c", CHILD.format(engine=ENGINES[engine]),
               str(source), str(target), str(threads)]
    try:
        result = subprocess.run(command, capture_output=True, text=True, env=env)
    finally:
        output_bytes = target.stat().st_size if target.exists() else 0
        target.unlink(missing_ok=True)
    lines = result.stderr.strip().splitlines()
    if result.returncode != 0:
        return {"engine": engine, "error": lines[-2] if len(lines) > 1 else "failed"}
    report = json.loads(result.stdout.strip().splitlines()[-1])
    report.update(engine=engine, output_bytes=output_bytes, peak_rss=int(lines[-1]))
    return report


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="4GB", help="of the CSV file (default 4GB)")
    ap.add_argument("--dataset", default="mixed", choices=sorted(datasets.GENERATORS))
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--engines", default=",".join(ENGINES))
    ap.add_argument("--out-dir", type=Path, default=datasets.DATA_DIR, help="where the outputs go")
    ap.add_argument("--keep", action="store_true", help="keep the CSV file for another run")
    args = ap.parse_args()
    size = datasets.parse_size(args.size)
    source = big_file(args.dataset, size)
    input_bytes = source.stat().st_size
    with open(source, "rb") as file:  # into the page cache, so that no engine pays for the first read
        while file.read(64 * MIB):
            pass
    print(f"{source.name}: {input_bytes / 1e6:.0f} MB of {args.dataset} CSV, {args.threads} threads, "
          f"outputs in {args.out_dir}")
    print(f"{'engine':<16} {'MB/s':>8} {'seconds':>8} {'peak RSS':>12} {'output':>10}")
    results = []
    try:
        for engine in args.engines.split(","):
            if engine not in ENGINES:
                raise SystemExit(f"unknown engine {engine!r}; the engines are {', '.join(ENGINES)}")
            report = measure_with_peak(engine, source, args.threads, args.out_dir)
            results.append(report)
            if "error" in report:
                print(f"{engine:<16} FAILED: {report['error']}")
                continue
            print(f"{engine:<16} {input_bytes / report['seconds'] / 1e6:8.0f} {report['seconds']:8.2f} "
                  f"{report['peak_rss'] / MIB:8.0f} MiB {report['output_bytes'] / 1e6:7.0f} MB", flush=True)
    finally:
        if not args.keep:
            source.unlink(missing_ok=True)
    results_dir = HERE / "results"
    results_dir.mkdir(exist_ok=True)
    name = f"streaming-{args.dataset}-{args.size}-{args.threads}t.json"
    (results_dir / name).write_text(json.dumps({"input_bytes": input_bytes, "threads": args.threads,
                                                "results": results}, indent=1))


if __name__ == "__main__":
    main()
