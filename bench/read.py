"""Benchmark reading a table back into Arrow, pandas and polars: QARN against
Parquet, Arrow IPC and (for pandas) the CSV itself.

    python bench/read.py --size 100MB --runs 5 [--datasets numeric,strings]

For each data set of bench/datasets.py the CSV is converted to QARN, and the
table qarn reads from it is written as Parquet (pyarrow's default
compression) and as Arrow IPC, all held in memory. Each reader then runs in
a fresh interpreter on the same table (see read_engines.py); the table shows
the median time, the QARN file's MB/s and each reader's time over ours into
the same library: `qarn` (to_arrow) for Arrow readers, `qarn-pandas` for
pandas readers, `qarn-polars` for polars readers. A reader on one thread
("-1t") is compared with ours on one thread where that was run too.
"""

from __future__ import annotations

import argparse
import io
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402

ENGINES = ["qarn", "qarn-1t", "qarn-numpy", "parquet-pyarrow", "parquet-pyarrow-1t", "parquet-polars",
           "parquet-polars-1t", "ipc-pyarrow", "ipc-polars", "qarn-pandas", "csv-pandas", "parquet-pandas",
           "qarn-polars", "qarn-polars-1t"]
# The qarn reader each reader is compared with: the one into the same library,
# on one thread for a reader on one thread ("-1t") where it was run.
OURS = {"pandas": "qarn-pandas", "polars": "qarn-polars"}


def ours_for(engine: str, medians: dict[str, float]) -> float | None:
    library = next((lib for lib in OURS if lib in engine), None)
    ours = OURS.get(library, "qarn")
    if engine.endswith("-1t") and ours + "-1t" in medians:
        ours += "-1t"
    return medians.get(ours)


def prepare(name: str, size: int, seed: int) -> dict[str, Path]:
    """The data set's QARN, Parquet and IPC files, made once and cached."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    import _qarn
    import qarn

    csv_path = datasets.cached_path(name, size, seed)
    paths = {kind: csv_path.with_suffix(f".{kind}") for kind in ("qarn", "parquet", "arrow")}
    if all(p.exists() for p in paths.values()):
        return {**paths, "csv": csv_path}
    q = _qarn.csv_to_qarn(csv_path.read_bytes())
    paths["qarn"].write_bytes(q)
    table = qarn.read(q).to_arrow()
    sink = io.BytesIO()
    pq.write_table(table, sink)
    paths["parquet"].write_bytes(sink.getvalue())
    stream = pa.BufferOutputStream()
    with pa.ipc.new_file(stream, table.schema) as writer:
        writer.write_table(table)
    paths["arrow"].write_bytes(stream.getvalue().to_pybytes())
    return {**paths, "csv": csv_path}


def run_child(engine: str, paths: dict[str, Path], runs: int) -> dict:
    env = None
    if engine.endswith("-1t"):
        import os

        env = {**os.environ, "POLARS_MAX_THREADS": "1"}
    cmd = [sys.executable, str(HERE / "read_engines.py"), engine, json.dumps({k: str(v) for k, v in paths.items()}), str(runs)]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"engine": engine, "ok": False, "error": tail[:160]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="100MB")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--datasets", default=",".join(datasets.ALL))
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    size = datasets.parse_size(args.size)
    for name in args.datasets.split(","):
        paths = prepare(name, size, args.seed)
        sizes = {kind: path.stat().st_size for kind, path in paths.items()}
        results = [run_child(engine, paths, args.runs) for engine in args.engines.split(",")]
        medians = {r["engine"]: statistics.median(r["times_s"]) for r in results if r.get("ok")}
        print(f"\n== {name}: QARN {sizes['qarn'] / 1e6:.1f} MB, Parquet {sizes['parquet'] / 1e6:.1f} MB, "
              f"IPC {sizes['arrow'] / 1e6:.1f} MB ==")
        print(f"{'reader':<20} {'median ms':>10} {'QARN MB/s':>10} {'/ours':>7}")
        for r in results:
            if not r.get("ok"):
                print(f"{r['engine']:<20} FAILED: {r.get('error')}")
                continue
            median = medians[r["engine"]]
            ours = ours_for(r["engine"], medians)
            ratio = f"{median / ours:.2f}" if ours else "-"
            print(f"{r['engine']:<20} {median * 1e3:>10.1f} {sizes['qarn'] / 1e6 / median:>10.0f} {ratio:>7}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
