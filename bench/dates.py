"""Benchmark dates and timestamps: against the peers, and against doubles.

    python bench/dates.py --size 100MB --runs 5 [--tables peers,columns]
                          [--engines qarn,pyarrow,polars,duckdb] [--smoke]

Two tables, each measurement in a fresh interpreter (this script, run as
`dates.py child ENGINE PATH RUNS`):

1. peers: the `mixed` data set (two timestamp columns spelt
   `2024-04-06 03:06:18`) into a typed table with its timestamps parsed as
   timestamps, on one thread and on two: qarn with and without
   `parse_dates`, pyarrow, polars (`try_parse_dates`) and DuckDB. Every
   engine's timestamp columns are checked: their type, and their instants
   against each other and against the text of sampled records read with
   `datetime`.
2. columns: generated files of one kind of column each (dates, timestamps
   in two spellings, two-decimal doubles), about the same size, converted
   by qarn on one thread: fields per second and MB/s of each against the
   doubles; with `core_bench` built, also its time per field of each column
   without Python.

Results go to bench/results/dates-*.json.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import hashlib
import importlib.util
import io
import json
import os
import random
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402
from run import child_result, machine_info, write_report  # noqa: E402

# Bump when a generator of the column files changes.
COLUMNS_VERSION = 1
COLUMN_COUNT = 8

# The timestamp columns of `mixed`.
MIXED_STAMPS = ("pickup_at", "dropoff_at")
SAMPLED_RECORDS = 200
# Null instants, the same for every engine, so that digests compare.
NULL_INSTANT = -(2**63)

# Engine -> (library, threads, qarn's parse_dates).
PEER_ENGINES = {
    "qarn-dates-1t": ("qarn", 1, True),
    "qarn-dates-2t": ("qarn", 2, True),
    "qarn-text-1t": ("qarn", 1, False),
    "qarn-text-2t": ("qarn", 2, False),
    "pyarrow-1t": ("pyarrow", 1, None),
    "pyarrow-2t": ("pyarrow", 2, None),
    "polars-1t": ("polars", 1, None),
    "polars-2t": ("polars", 2, None),
    "duckdb-1t": ("duckdb", 1, None),
    "duckdb-2t": ("duckdb", 2, None),
}
LIBRARIES = ("qarn", "pyarrow", "polars", "duckdb")
SMOKE_SIZE = "100KB"


# ---------------------------------------------------------------- column files

_FIRST_DAY = datetime.date(1990, 1, 1).toordinal()
_DAYS = [datetime.date.fromordinal(d).isoformat()
         for d in range(_FIRST_DAY, datetime.date(2031, 1, 1).toordinal())]
_TIMES = ["%02d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60) for s in range(86400)]


def _columns_batch(cell):
    def batch(rng: random.Random, start: int, n: int):
        header = [f"c{i}" for i in range(COLUMN_COUNT)]
        return header, [cell(rng, n) for _ in range(COLUMN_COUNT)], "\n"
    return batch


def _dates(rng, n):
    return rng.choices(_DAYS, k=n)                                  # 2024-03-01


def _stamps(rng, n):
    return [d + " " + t for d, t in zip(rng.choices(_DAYS, k=n),   # 2024-03-01 12:34:56
                                        rng.choices(_TIMES, k=n))]


def _stamps_us_z(rng, n):
    return ["%sT%s.%06dZ" % (d, t, rng.randrange(10**6))          # 2024-03-01T12:34:56.123456Z
            for d, t in zip(rng.choices(_DAYS, k=n), rng.choices(_TIMES, k=n))]


def _amounts(rng, n):
    rand = rng.random
    return ["%.2f" % (rand() * 10000) for _ in range(n)]          # 1234.56


# Kind -> (generator, Arrow type qarn must read the columns back as).
COLUMN_KINDS = {
    "double": (_columns_batch(_amounts), "double"),
    "date": (_columns_batch(_dates), "date32[day]"),
    "timestamp": (_columns_batch(_stamps), "timestamp[us]"),
    "timestamp-us-z": (_columns_batch(_stamps_us_z), "timestamp[us, tz=UTC]"),
}
REFERENCE_KIND = "double"


def column_file(kind: str, size: int, seed: int) -> Path:
    return datasets.cached_path(f"dates-{kind}-v{COLUMNS_VERSION}", size, seed,
                                COLUMN_KINDS[kind][0])


# ---------------------------------------------------------------- the child

def _instants(column) -> list[int]:
    """A timestamp (or date) column of Arrow as integers: microseconds (or
    days) since the epoch, nulls as NULL_INSTANT."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if pa.types.is_timestamp(column.type):
        column = column.cast(pa.timestamp("us", column.type.tz))
    elif pa.types.is_date32(column.type):
        column = column.cast(pa.int32())
    return pc.fill_null(column.cast(pa.int64()), NULL_INSTANT)


def _setup(engine: str):
    """(convert(data), to_arrow(result), info, prepare(data) or None) for
    one engine; only convert is timed."""
    library, threads, parse_dates = PEER_ENGINES.get(engine, (None, None, None))
    if engine.startswith("columns-"):  # qarn on a column file
        library, threads, parse_dates = "qarn", 1, engine == "columns-dates"
    if library == "qarn":
        import qarn

        def convert(data):
            return qarn.convert(data, threads=threads, parse_dates=parse_dates)

        return convert, lambda out: qarn.read(out).to_arrow(), {
            "api": f"qarn.convert(data, threads={threads}, parse_dates={parse_dates})",
            "output": "QARN file (bytes)"}, None
    if library == "pyarrow":
        import pyarrow as pa
        import pyarrow.csv as pacsv

        pa.set_cpu_count(threads)
        if threads == 1:
            pa.set_io_thread_count(1)
        read_opts = pacsv.ReadOptions(use_threads=threads > 1)
        # As in run.py: quoted fields may hold line breaks (qarn's default too).
        parse_opts = pacsv.ParseOptions(newlines_in_values=True)

        def convert(data):
            return pacsv.read_csv(pa.BufferReader(data), read_options=read_opts,
                                  parse_options=parse_opts)

        return convert, lambda out: out, {
            "version": pa.__version__, "threads": pa.cpu_count(),
            "api": f"pyarrow.csv.read_csv(use_threads={threads > 1}, "
                   "newlines_in_values=True)", "output": "pyarrow.Table"}, None
    if library == "polars":
        import polars as pl

        def convert(data):
            return pl.read_csv(io.BytesIO(data), try_parse_dates=True)

        return convert, lambda out: out.to_arrow(), {
            "version": pl.__version__, "threads": pl.thread_pool_size(),
            "api": "polars.read_csv(try_parse_dates=True)", "output": "DataFrame"}, None
    if library == "duckdb":
        import duckdb

        con = duckdb.connect(":memory:")
        con.execute(f"SET threads={threads}")
        # DuckDB reads Python file objects only through fsspec: it reads a
        # copy of the bytes in /dev/shm (RAM-backed, written untimed).
        src = f"/dev/shm/qarn-dates-bench-{os.getpid()}.csv"

        def prepare(data):
            with open(src, "wb") as f:
                f.write(data)

        def convert(data):
            con.execute("DROP TABLE IF EXISTS t")
            con.execute(f"CREATE TABLE t AS SELECT * FROM read_csv('{src}')")
            return con

        def to_arrow(con):
            os.unlink(src)
            result = con.execute("SELECT * FROM t")
            fetch = getattr(result, "to_arrow_table", None) or result.fetch_arrow_table
            return fetch()

        return convert, to_arrow, {
            "version": duckdb.__version__,
            "threads": con.execute("SELECT current_setting('threads')").fetchone()[0],
            "api": "CREATE TABLE t AS SELECT * FROM read_csv(path)",
            "output": "table in an in-memory database, read from /dev/shm"}, prepare
    raise SystemExit(f"unknown engine {engine!r}")


def child(engine: str, path: str, runs: int, check: list[str]) -> dict:
    """Times `runs` conversions (one warm-up first, dropped), then describes
    the last result: every column's Arrow type, and for the columns in
    `check` their null count, a digest of their instants and the instants
    of the sampled records."""
    import gc

    import pyarrow as pa

    import engines

    convert, to_arrow, info, prepare = _setup(engine)
    res = {"engine": engine, **info}
    data = Path(path).read_bytes()
    res["input_bytes"] = len(data)
    if prepare:
        prepare(data)
    times: list[float] = []
    out = None
    while len(times) < runs:
        out = None
        gc.collect()
        start = time.perf_counter()
        out = convert(data)
        took = time.perf_counter() - start
        if "warmup_s" not in res and took < engines.WARMUP_LIMIT_S:
            res["warmup_s"] = took
            continue
        res.setdefault("warmup_s", None)
        times.append(took)
    res["times_s"] = times
    table = to_arrow(out)
    res.update(rows=table.num_rows, columns=table.num_columns,
               types={name: str(t) for name, t in zip(table.column_names, table.schema.types)})
    picked = sampled_rows(table.num_rows)
    checked = {}
    for name in check:
        column = table.column(name)
        entry = {"type": str(column.type), "nulls": column.null_count}
        if pa.types.is_timestamp(column.type) or pa.types.is_date(column.type):
            values = _instants(column)
            entry["digest"] = hashlib.blake2b(values.to_numpy().tobytes(), digest_size=12).hexdigest()
            entry["sample"] = values.take(picked).to_pylist()
        checked[name] = entry
    res["checked"] = checked
    res["ok"] = True
    return res


def interleaved(path: str, runs: int) -> dict:
    """qarn with and without parse_dates, on one thread and on two, taking
    turns in one process: what parsing the dates costs, with the machine's
    drifts shared by both sides."""
    import qarn

    data = Path(path).read_bytes()
    ways = [(threads, dates) for threads in (1, 2) for dates in (True, False)]
    for threads, dates in ways:  # warm-up
        qarn.convert(data, threads=threads, parse_dates=dates)
    times: dict[str, list[float]] = {f"{t}t-{'dates' if d else 'text'}": [] for t, d in ways}
    for _ in range(runs):
        for threads, dates in ways:
            start = time.perf_counter()
            qarn.convert(data, threads=threads, parse_dates=dates)
            times[f"{threads}t-{'dates' if dates else 'text'}"].append(time.perf_counter() - start)
    return {"ok": True, "times_s": times}


def sampled_rows(rows: int) -> list[int]:
    """The records whose values are compared: evenly spread, first and last."""
    if rows == 0:
        return []
    step = max(1, rows // SAMPLED_RECORDS)
    return sorted(set(range(0, rows, step)) | {rows - 1})


# ---------------------------------------------------------------- the parent

def run_child(engine: str, path: Path, runs: int, timeout: float, check) -> dict:
    library, threads, _ = PEER_ENGINES.get(engine, ("qarn", 1, None))
    env = dict(os.environ)
    env.pop("POLARS_MAX_THREADS", None)
    if library == "polars":  # fixed when polars is imported
        env["POLARS_MAX_THREADS"] = str(threads)
    cmd = [sys.executable, str(Path(__file__).resolve()), "child", engine, str(path),
           str(runs), ",".join(check)]
    return child_result(engine, cmd, env, timeout)


def summarise(res: dict, mb: float, fields: int | None = None) -> dict:
    if res.get("ok"):
        t = res["times_s"]
        res["best_s"], res["median_s"] = min(t), statistics.median(t)
        res["mb_per_s"] = mb / res["best_s"]
        res["spread"] = (max(t) - min(t)) / min(t)  # of the timed runs, over the best
        if fields is not None:
            res["fields_per_s"] = fields / res["best_s"]
    return res


def reference_instants(path: Path, rows: int, columns: tuple[str, ...]) -> dict[str, list[int]]:
    """The sampled records' timestamps read from the CSV text by the
    standard library: microseconds since the epoch, as wall time."""
    wanted = set(sampled_rows(rows))
    epoch = datetime.datetime(1970, 1, 1)
    out: dict[str, list[int]] = {c: [] for c in columns}
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        header = next(reader)
        at = [header.index(c) for c in columns]
        for i, record in enumerate(reader):
            if i in wanted:
                for c, j in zip(columns, at):
                    text = record[j]
                    out[c].append(NULL_INSTANT if not text else
                                  (datetime.datetime.fromisoformat(text) - epoch)
                                  // datetime.timedelta(microseconds=1))
    return out


def _fmt_mb(res: dict) -> str:
    return f"{res['mb_per_s']:.0f}" if res["mb_per_s"] >= 100 else f"{res['mb_per_s']:.1f}"


def _spread(res: dict) -> str:
    return f"{100 * res['spread']:.0f}%"


def print_table(title: str, head: list[str], rows: list[list[str]]) -> None:
    print(f"\n### {title}\n")
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join(" --- " if i == 0 else " ---: " for i in range(len(head))) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def installed(library: str) -> bool:
    return importlib.util.find_spec(library) is not None


def peers_table(args, libraries: list[str], size: int) -> tuple[list[dict], bool]:
    path = datasets.cached_path("mixed", size, args.seed)
    meta = datasets.load_meta(path)
    mb = meta["bytes"] / 1e6
    print(f"[peers] reading the sampled records of {path.name}", file=sys.stderr)
    reference = reference_instants(path, meta["rows"], MIXED_STAMPS)
    results, failed = [], False
    for engine, (library, threads, _) in PEER_ENGINES.items():
        if library not in libraries:
            continue
        if not installed(library):
            results.append({"engine": engine, "ok": False, "missing": True})
            continue
        t = time.perf_counter()
        res = summarise(run_child(engine, path, args.runs, args.timeout, MIXED_STAMPS), mb)
        problems = []
        if res.get("ok"):
            if (res["rows"], res["columns"]) != (meta["rows"], meta["columns"]):
                problems.append(f"shape {res['rows']}x{res['columns']}, expected "
                                f"{meta['rows']}x{meta['columns']}")
            for name in MIXED_STAMPS:
                got = res["checked"][name]
                if engine.startswith("qarn-text"):
                    continue  # kept as text
                if "sample" not in got:
                    problems.append(f"{name} is {got['type']}, not a timestamp")
                elif got["sample"] != reference[name]:
                    bad = sum(a != b for a, b in zip(got["sample"], reference[name]))
                    problems.append(f"{name}: {bad} of {len(got['sample'])} sampled "
                                    "instants differ from the text's")
        res["problems"] = problems
        if library == "qarn" and (not res.get("ok") or problems):
            failed = True
        print(f"[peers] {engine}: {time.perf_counter() - t:.1f} s"
              f"{'' if res.get('ok') else ' FAILED: ' + res.get('error', '?')}"
              f"{''.join('; ' + p for p in problems)}", file=sys.stderr)
        results.append(res)

    # Whole columns: every engine's instants against qarn's.
    ref = next((r for r in results if r["engine"] == "qarn-dates-1t" and r.get("ok")), None)
    for r in results:
        if ref and r.get("ok") and r is not ref and not r["engine"].startswith("qarn-text"):
            for name in MIXED_STAMPS:
                d = r["checked"][name].get("digest")
                if d and d != ref["checked"][name]["digest"]:
                    r["problems"].append(f"{name}: the whole column's instants differ from qarn's")
                    failed |= r["engine"].startswith("qarn")

    by_name = {r["engine"]: r for r in results}
    rows = []
    for r in results:
        e = r["engine"]
        if not r.get("ok"):
            rows.append([e, *["-"] * 6, "not installed" if r.get("missing")
                         else f"FAILED: {r.get('error', '?')}"])
            continue
        threads = PEER_ENGINES[e][1]
        q = by_name.get(f"qarn-dates-{threads}t")
        ratio = f"{r['best_s'] / q['best_s']:.2f}" if q and q.get("ok") else "-"
        types = {r["checked"][n]["type"] for n in MIXED_STAMPS}
        note = "; ".join(r["problems"]) or (
            "as text" if e.startswith("qarn-text") else "instants agree")
        rows.append([e, str(threads), f"{r['best_s']:.3f}", _fmt_mb(r),
                     f"{mb / r['median_s']:.0f}", _spread(r), ratio,
                     f"{'/'.join(sorted(types))}; {note}"])
    print_table(f"mixed ({mb:.0f} MB, {meta['rows']} rows): CSV into a typed table with "
                f"{' and '.join(MIXED_STAMPS)} as timestamps; best of {args.runs}",
                ["engine", "threads", "best s", "MB/s best", "MB/s median", "spread",
                 "time / qarn-dates same threads", "timestamp columns; check"], rows)
    if "qarn" in libraries:
        # Separate processes run minutes apart on a busy machine; taking
        # turns in one process gives the cost of parse_dates more surely.
        cmd = [sys.executable, str(Path(__file__).resolve()), "interleaved", str(path),
               str(max(args.runs, 3))]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout)
        try:
            turns = json.loads(p.stdout.strip().splitlines()[-1])
        except (IndexError, json.JSONDecodeError):
            turns = {"ok": False, "error": (p.stderr.strip().splitlines() or ["?"])[-1]}
            failed = True
        results.append({"engine": "qarn-interleaved", **turns})
        for threads in (1, 2):
            if not turns.get("ok"):
                break
            d, t = (turns["times_s"][f"{threads}t-{k}"] for k in ("dates", "text"))
            print(f"- qarn, {threads} thread{'s' * (threads > 1)}, with and without parse_dates "
                  f"taking turns in one process ({len(d)} each): best {mb / min(d):.0f} against "
                  f"{mb / min(t):.0f} MB/s, parsing the timestamps costs "
                  f"{100 * (min(d) / min(t) - 1):+.0f}% (best), "
                  f"{100 * (statistics.median(d) / statistics.median(t) - 1):+.0f}% (median)")
    return results, failed


def core_stages(binary: Path, path: Path, runs: int) -> dict | None:
    """core_bench --stages: reading, and each column's ns per field."""
    p = subprocess.run([str(binary), "--stages", str(path), str(runs)],
                       capture_output=True, text=True)
    if p.returncode != 0:
        return {"error": p.stderr.strip()[-200:]}
    reading = re.search(r"reading: ([0-9.]+) ms", p.stdout)
    per_field = [float(m) for m in re.findall(r"column \d+ \(type \d+\): [0-9.]+ ms +([0-9.]+) ns/field",
                                              p.stdout)]
    return {"reading_ms": float(reading.group(1)) if reading else None,
            "ns_per_field": per_field, "output": p.stdout}


def columns_table(args, size: int, core_bench: Path | None) -> tuple[list[dict], bool]:
    results, failed = [], False
    for kind, (_, expected) in COLUMN_KINDS.items():
        t = time.perf_counter()
        path = column_file(kind, size, args.seed)
        meta = datasets.load_meta(path)
        print(f"[columns] {kind}: data ready in {time.perf_counter() - t:.1f} s: {path.name}",
              file=sys.stderr)
        fields = meta["rows"] * meta["columns"]
        header = [f"c{i}" for i in range(COLUMN_COUNT)]
        for engine in ("columns-dates", "columns-text"):
            if engine == "columns-text" and kind != REFERENCE_KIND and args.smoke:
                continue
            res = summarise(run_child(engine, path, args.runs, args.timeout, header),
                            meta["bytes"] / 1e6, fields)
            res.update(kind=kind, path=path.name, fields=fields,
                       field_bytes=meta["bytes"] / fields, problems=[])
            if res.get("ok") and engine == "columns-dates":
                for name in header:
                    got = res["checked"][name]
                    if got["type"] != expected or got["nulls"]:
                        res["problems"].append(f"{name}: {got['type']} with {got['nulls']} "
                                               f"invalid, expected {expected} and none")
                if res["rows"] != meta["rows"]:
                    res["problems"].append(f"{res['rows']} rows, expected {meta['rows']}")
            if not res.get("ok") or res["problems"]:
                failed = True
            if core_bench and engine == "columns-dates":
                res["core_bench"] = core_stages(core_bench, path, args.runs)
            print(f"[columns] {kind} {engine}: "
                  f"{res['mb_per_s']:.0f} MB/s" if res.get("ok") else
                  f"[columns] {kind} {engine}: FAILED {res.get('error')}", file=sys.stderr)
            results.append(res)

    ref = next((r for r in results if r.get("ok") and r["kind"] == REFERENCE_KIND
                and r["engine"] == "columns-dates"), None)
    ref_core = _core_ns(ref)
    rows = []
    for r in results:
        label = f"{r['kind']}{' (parse_dates=False)' if r['engine'] == 'columns-text' else ''}"
        if not r.get("ok"):
            rows.append([label, *["-"] * 8, f"FAILED: {r.get('error', '?')}"])
            continue
        core = _core_ns(r)
        rows.append([
            label, f"{r['field_bytes']:.1f}", f"{r['fields_per_s'] / 1e6:.1f}",
            f"{r['fields_per_s'] / ref['fields_per_s']:.2f}" if ref else "-",
            _fmt_mb(r), f"{r['mb_per_s'] / ref['mb_per_s']:.2f}" if ref else "-",
            _spread(r),
            f"{core:.1f}" if core is not None else "-",
            f"{ref_core / core:.2f}" if core and ref_core else "-",
            "; ".join(r["problems"]) or ", ".join(sorted(set(r["checked"][c]["type"]
                                                           for c in r["checked"])))])
    print_table(f"qarn on one thread, {COLUMN_COUNT} columns of one kind, about "
                f"{size / 1e6:.3g} MB each; best of {args.runs}; ratios to `{REFERENCE_KIND}`",
                ["columns", "bytes/field", "M fields/s", "fields/s ratio", "MB/s",
                 "MB/s ratio", "spread", "core ns/field", "core ratio", "types"], rows)
    print("- `core ns/field`: core_bench --stages, each column's conversion of fields "
          "already read (mean over the columns, best of the runs); `core ratio` is the "
          f"`{REFERENCE_KIND}` columns' time per field over this kind's (above 1: faster).")
    return results, failed


def _core_ns(res: dict | None) -> float | None:
    core = (res or {}).get("core_bench") or {}
    per = core.get("ns_per_field")
    return statistics.mean(per) if per else None


def find_core_bench(choice: str) -> Path | None:
    if choice == "none":
        return None
    if choice != "auto":
        return Path(choice)
    root = HERE.parent / "build"
    found = sorted(root.glob("*/core_bench"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


TABLES = ("peers", "columns")


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "interleaved":
        print(json.dumps(interleaved(sys.argv[2], int(sys.argv[3]))))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "child":
        engine, path, runs, check = sys.argv[2:6]
        print(json.dumps(child(engine, path, int(runs), [c for c in check.split(",") if c])))
        return 0
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="100MB", help="size of the mixed data set")
    ap.add_argument("--column-size", default="50MB", help="size of each column file")
    ap.add_argument("--runs", type=int, default=5, help="timed runs (best and median)")
    ap.add_argument("--tables", default=",".join(TABLES))
    ap.add_argument("--engines", default=",".join(LIBRARIES),
                    help="libraries in the peers table")
    ap.add_argument("--core-bench", default="auto",
                    help="core_bench binary for per-column times: a path, 'auto' "
                         "(the newest build/*/core_bench) or 'none'")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=1800)
    ap.add_argument("--smoke", action="store_true",
                    help=f"{SMOKE_SIZE} inputs, 1 run, no core_bench")
    args = ap.parse_args()
    if args.smoke:
        args.size = args.column_size = SMOKE_SIZE
        args.runs, args.core_bench = 1, "none"
    tables = [t for t in args.tables.split(",") if t]
    libraries = [e for e in args.engines.split(",") if e]
    for t in tables:
        if t not in TABLES:
            ap.error(f"unknown table {t!r}; known: {', '.join(TABLES)}")
    for e in libraries:
        if e not in LIBRARIES:
            ap.error(f"unknown engine {e!r}; known: {', '.join(LIBRARIES)}")
    if args.runs < 1:
        ap.error("--runs must be at least 1")
    core_bench = find_core_bench(args.core_bench)

    started = time.time()
    report = {"started": datetime.datetime.now(datetime.timezone.utc).isoformat(),
              "args": vars(args), "machine": machine_info(),
              "core_bench": str(core_bench) if core_bench else None}
    failed = False
    print(f"# qarn: dates and timestamps (best of {args.runs} timed runs after a "
          "warm-up; spread = (slowest - best) / best)")
    if "peers" in tables:
        report["peers"], bad = peers_table(args, libraries, datasets.parse_size(args.size))
        failed |= bad
        sys.stdout.flush()
    if "columns" in tables:
        report["columns"], bad = columns_table(args, datasets.parse_size(args.column_size),
                                               core_bench)
        failed |= bad
    report["elapsed_s"] = time.time() - started
    # Named by the tables' sizes: dates-SIZE-..., dates-columns-SIZE-...
    label = "smoke" if args.smoke else "-".join(
        ([args.size] if "peers" in tables else []) +
        ([f"columns-{args.column_size}"] if "columns" in tables else []))
    out = write_report(report, "dates-", argparse.Namespace(smoke=False, size=label))
    print(f"\nresults: {out} ({report['elapsed_s']:.0f} s)")
    # qarn failing, or its values wrong, fails a smoke run; a peer's are reported.
    return 1 if (args.smoke and failed) else 0


if __name__ == "__main__":
    sys.exit(main())
