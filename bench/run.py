"""Benchmark csv_to_qarn against the tools a Python user would otherwise pick.

    python bench/run.py --size 100MB --runs 5 [--datasets numeric,mixed]
                        [--engines qarn,pyarrow,...] [--smoke]

Each (data set, engine) pair runs in its own fresh interpreter (see
engines.py), so peak memory and warm-up are per engine. Prints one table per
data set and writes all results as JSON under bench/results/.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402

# Engine -> module it needs (None: stdlib only).
ENGINES = {
    "qarn": "_qarn",
    "qarn-2t": "qarn",
    "pyarrow-1t": "pyarrow",
    "pyarrow": "pyarrow",
    "polars-1t": "polars",
    "polars": "polars",
    "pandas": "pandas",
    "duckdb-1t": "duckdb",
    "duckdb": "duckdb",
    "python-csv": None,
}
NOTES = {
    "qarn-2t": "qarn.convert(threads=2)",
    "pandas": "no file written",
    "duckdb-1t": "reads /dev/shm copy; DuckDB table",
    "duckdb": "reads /dev/shm copy; DuckDB table",
}
SMOKE_SIZE = "100KB"


def installed(engine: str) -> bool:
    mod = ENGINES[engine]
    return mod is None or importlib.util.find_spec(mod) is not None


def child_env(engine: str) -> dict:
    env = dict(os.environ)
    env.pop("POLARS_MAX_THREADS", None)
    if engine == "polars-1t":
        env["POLARS_MAX_THREADS"] = "1"
    return env


def run_child(engine: str, path: Path, runs: int, timeout: float,
              options: dict | None = None) -> dict:
    cmd = [sys.executable, str(HERE / "engines.py"), engine, str(path), str(runs)]
    if options:
        cmd.append(json.dumps(options))
    return child_result(engine, cmd, child_env(engine), timeout)


def child_result(engine: str, cmd: list[str], env: dict, timeout: float) -> dict:
    """The JSON result a child process prints last, or why there is none."""
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"engine": engine, "ok": False, "error": f"timed out after {timeout:.0f} s"}
    lines = p.stdout.strip().splitlines()
    if p.returncode == 0 and lines:
        try:
            return json.loads(lines[-1])
        except json.JSONDecodeError:
            pass
    err = (p.stderr.strip().splitlines() or [f"exit code {p.returncode}"])[-1]
    return {"engine": engine, "ok": False,
            "error": f"crashed (exit {p.returncode}): {err[:160]}"}


def summarise(res: dict, meta: dict) -> None:
    """Add median, MB/s, memory deltas and a shape check to one result."""
    if res.get("ok"):
        med = statistics.median(res["times_s"])
        res["median_s"] = med
        res["mb_per_s"] = meta["bytes"] / 1e6 / med
        res["rss_increase_mb"] = res["peak_rss_mb"] - res["peak_rss_loaded_mb"]
        rows, cols = res.get("rows"), res.get("columns")
        if rows is not None and (rows, cols) != (meta["rows"], meta["columns"]):
            res["shape_mismatch"] = (f"got {rows}x{cols}, expected "
                                     f"{meta['rows']}x{meta['columns']}")


def print_table(name: str, meta: dict, results: list[dict], ref: str) -> None:
    ref_s = next((r["median_s"] for r in results
                  if r["engine"] == ref and r.get("ok")), None)
    print(f"\n== {name}: {meta['bytes'] / 1e6:.1f} MB, {meta['rows']} rows x "
          f"{meta['columns']} columns ==")
    head = ("engine", "median s", "MB/s", "peak RSS MB", "+RSS MB",
            f"/{ref}", "note")
    rows = []
    for r in results:
        if not r.get("ok"):
            why = "not installed" if r.get("missing") else \
                f"FAILED: {r.get('error', '?')}"
            rows.append((r["engine"], "-", "-", "-", "-", "-", why))
            continue
        note = "; ".join(filter(None, [NOTES.get(r["engine"]),
                                       r.get("shape_mismatch")]))
        ratio = f"{r['median_s'] / ref_s:.2f}" if ref_s else "-"
        rows.append((r["engine"], f"{r['median_s']:.3f}", f"{r['mb_per_s']:.1f}",
                     f"{r['peak_rss_mb']:.0f}", f"{r['rss_increase_mb']:.0f}",
                     ratio, note))
    widths = [max(len(str(x[i])) for x in [head, *rows]) for i in range(len(head))]
    for i, row in enumerate([head, *rows]):
        cells = [str(c).ljust(w) if j in (0, 6) else str(c).rjust(w)
                 for j, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))


def machine_info() -> dict:
    cpu = ""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"python": sys.version.split()[0], "platform": platform.platform(),
            "cpus": os.cpu_count(), "cpu_model": cpu}


def add_common_arguments(ap: argparse.ArgumentParser, engines, runs: int) -> None:
    """The arguments run.py and dialects.py share."""
    ap.add_argument("--size", default="100MB", help="CSV size per data set")
    ap.add_argument("--runs", type=int, default=runs, help="timed runs (median)")
    ap.add_argument("--datasets", default=",".join(datasets.GENERATORS),
                    help="the generated tables by default; also the real-file stand-ins of bench/README.md")
    ap.add_argument("--engines", default=",".join(engines))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=3600,
                    help="seconds allowed per engine and data set")
    ap.add_argument("--smoke", action="store_true",
                    help=f"{SMOKE_SIZE} inputs, 1 run, installed engines only")


def parse_common(ap: argparse.ArgumentParser, engines):
    """Parses and checks the arguments: (args, data sets, engines, size)."""
    args = ap.parse_args()
    if args.smoke:
        args.size, args.runs = SMOKE_SIZE, 1
    names = [n for n in args.datasets.split(",") if n]
    chosen = [e for e in args.engines.split(",") if e]
    for n in names:
        if n not in datasets.ALL:
            ap.error(f"unknown data set {n!r}")
    for e in chosen:
        if e not in engines:
            ap.error(f"unknown engine {e!r}; known: {', '.join(engines)}")
    if args.runs < 1:
        ap.error("--runs must be at least 1")
    return args, names, chosen, datasets.parse_size(args.size)


def write_report(report: dict, prefix: str, args) -> Path:
    out_dir = HERE / "results"
    out_dir.mkdir(exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = out_dir / f"{prefix}{'smoke' if args.smoke else args.size}-{stamp}.json"
    out.write_text(json.dumps(report, indent=1))
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_common_arguments(ap, ENGINES, runs=5)
    ap.add_argument("--ref", default="qarn", help="engine the ratios are to")
    args, names, engines, size = parse_common(ap, ENGINES)

    started = time.time()
    report = {"started": datetime.datetime.now(datetime.timezone.utc).isoformat(),
              "args": vars(args), "machine": machine_info(), "datasets": {}}
    failed = False
    for name in names:
        t = time.perf_counter()
        path = datasets.cached_path(name, size, args.seed)
        meta = datasets.load_meta(path)
        print(f"[{name}] data ready in {time.perf_counter() - t:.1f} s: {path.name}",
              file=sys.stderr)
        results = []
        for eng in engines:
            if not installed(eng):
                results.append({"engine": eng, "ok": False, "missing": True})
                continue
            t = time.perf_counter()
            res = run_child(eng, path, args.runs, args.timeout)
            summarise(res, meta)
            if eng in (args.ref, "python-csv") and not res.get("ok"):
                failed = True
            print(f"[{name}] {eng}: {time.perf_counter() - t:.1f} s"
                  f"{'' if res.get('ok') else ' FAILED: ' + res.get('error', '?')}",
                  file=sys.stderr)
            results.append(res)
        report["datasets"][name] = {"meta": meta, "results": results}
        print_table(name, meta, results, args.ref)
        sys.stdout.flush()
    report["elapsed_s"] = time.time() - started

    out = write_report(report, "", args)
    print(f"\nresults: {out} ({report['elapsed_s']:.0f} s)")
    # In a smoke run (CI) our own engine and the baseline must work; a peer
    # failing is reported but does not fail the run.
    return 1 if (args.smoke and failed) else 0


if __name__ == "__main__":
    sys.exit(main())
