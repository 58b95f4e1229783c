"""One benchmark measurement, run in a fresh interpreter by bench/run.py.

    python bench/engines.py ENGINE CSV_PATH RUNS

Imports the engine, reads the CSV file into memory as bytes (not timed), then
times the conversion RUNS times and prints one JSON object on the last line of
stdout. Every engine turns the in-memory CSV bytes into typed columnar data.
"""

from __future__ import annotations

import gc
import io
import json
import os
import resource
import sys
import time
import traceback
from collections import Counter

# The first run is a warm-up and is dropped, unless it took longer than this:
# then the process is warm enough and the run counts as a timed one.
WARMUP_LIMIT_S = 2.0


def _status_mb(field: str) -> float | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def _peak_rss_mb() -> float:
    # VmHWM is this process's own high-water mark. ru_maxrss is only a
    # fallback: after fork+exec it also counts the parent's RSS at fork time.
    hwm = _status_mb("VmHWM")
    return hwm if hwm is not None else \
        resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# Each setup function imports its library and returns an Engine. Only
# convert() is timed; prepare() runs once before it, cleanup() at the end.

class Engine:
    def __init__(self, convert, shape=lambda out: None, info=None,
                 prepare=None, cleanup=None):
        self.convert, self.shape, self.info = convert, shape, info or {}
        self.prepare, self.cleanup = prepare, cleanup


def _ipc_size(buf) -> int:
    return len(buf.getbuffer()) if isinstance(buf, io.BytesIO) else buf.size


def setup_qarn(name):
    import _qarn

    return Engine(_qarn.csv_to_qarn, info={"output": "QARN file (bytes)"})


def setup_qarn_threads(name):
    import qarn

    threads = int(name.rsplit("-", 1)[1].rstrip("t"))
    return Engine(lambda data: qarn.convert(data, threads=threads),
                  info={"output": f"QARN file (bytes), {threads} threads", "threads": threads})


def setup_pyarrow(name):
    import pyarrow as pa
    import pyarrow.csv as pacsv
    import pyarrow.ipc as ipc

    one = name.endswith("-1t")
    if one:
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
    read_opts = pacsv.ReadOptions(use_threads=not one)
    # Quoted fields may hold line breaks; pyarrow must be told so, or it may
    # cut a block in the middle of a field and fail.
    parse_opts = pacsv.ParseOptions(newlines_in_values=True)

    def convert(data):
        table = pacsv.read_csv(pa.BufferReader(data), read_options=read_opts,
                               parse_options=parse_opts)
        sink = pa.BufferOutputStream()
        with ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        return table, sink.getvalue()

    return Engine(convert, lambda out: (out[0].num_rows, out[0].num_columns,
                                        _ipc_size(out[1]), out[0].schema.types),
                  {"version": pa.__version__, "threads": pa.cpu_count(),
                   "output": "Arrow IPC file in memory",
                   "options": "newlines_in_values=True"})


def setup_polars(name):
    import polars as pl

    def convert(data):
        df = pl.read_csv(io.BytesIO(data))
        sink = io.BytesIO()
        df.write_ipc(sink)
        return df, sink

    return Engine(convert, lambda out: (*out[0].shape, _ipc_size(out[1]),
                                        out[0].dtypes),
                  {"version": pl.__version__, "threads": pl.thread_pool_size(),
                   "output": "Arrow IPC file in memory"})


def setup_pandas(name):
    import pandas as pd

    def convert(data):
        return pd.read_csv(io.BytesIO(data), engine="c")

    return Engine(convert, lambda df: (*df.shape, None, df.dtypes),
                  {"version": pd.__version__,
                   "output": "DataFrame only (no file written)"})


def setup_duckdb(name):
    import duckdb

    con = duckdb.connect(":memory:")
    if name.endswith("-1t"):
        con.execute("SET threads=1")
    # DuckDB reads Python file objects only through fsspec, so it reads a
    # copy of the same bytes placed in /dev/shm (RAM-backed, written untimed).
    path = f"/dev/shm/qarn-bench-{os.getpid()}.csv"

    def prepare(data):
        with open(path, "wb") as f:
            f.write(data)

    def convert(data):
        con.execute("DROP TABLE IF EXISTS t")
        con.execute(f"CREATE TABLE t AS SELECT * FROM read_csv('{path}')")
        return con

    def shape(con):
        rows = con.execute("SELECT count(*) FROM t").fetchone()[0]
        types = con.execute("SELECT * FROM t LIMIT 0").description
        return rows, len(types), None, [t[1] for t in types]

    def cleanup():
        if os.path.exists(path):
            os.unlink(path)

    threads = con.execute("SELECT current_setting('threads')").fetchone()[0]
    return Engine(convert, shape,
                  {"version": duckdb.__version__, "threads": threads,
                   "output": "table in an in-memory database, read from /dev/shm"},
                  prepare, cleanup)


def setup_python_csv(name):
    import pycsv_baseline

    return Engine(pycsv_baseline.convert,
                  lambda out: (out[0], out[1], len(out[2]), out[3]),
                  {"output": "column buffers packed with array (bytes)"})


SETUP = {
    "qarn": setup_qarn,
    "qarn-2t": setup_qarn_threads,
    "pyarrow-1t": setup_pyarrow,
    "pyarrow": setup_pyarrow,
    "polars-1t": setup_polars,
    "polars": setup_polars,
    "pandas": setup_pandas,
    "duckdb-1t": setup_duckdb,
    "duckdb": setup_duckdb,
    "python-csv": setup_python_csv,
}


def measure(name: str, path: str, runs: int) -> dict:
    res: dict = {"engine": name, "ok": False}
    try:
        eng = SETUP[name](name)
    except ImportError as e:
        return {**res, "missing": True, "error": f"not installed: {e}"}
    res.update(eng.info)
    with open(path, "rb") as f:
        data = f.read()
    res["input_bytes"] = len(data)
    times: list[float] = []
    try:
        if eng.prepare:
            eng.prepare(data)
        gc.collect()
        res["rss_loaded_mb"] = _status_mb("VmRSS")
        res["peak_rss_loaded_mb"] = _peak_rss_mb()
        out = None
        while len(times) < runs:
            out = None  # never hold two results at once
            gc.collect()
            t0 = time.perf_counter()
            out = eng.convert(data)
            dt = time.perf_counter() - t0
            if "warmup_s" not in res and dt < WARMUP_LIMIT_S:
                res["warmup_s"] = dt
                continue
            res.setdefault("warmup_s", None)
            times.append(dt)
        rows, cols, out_bytes, types = eng.shape(out) or (None,) * 4
        if out_bytes is None and isinstance(out, (bytes, bytearray)):
            out_bytes = len(out)
        res.update(rows=rows, columns=cols, output_bytes=out_bytes,
                   column_types=None if types is None
                   else dict(Counter(map(str, types))))
    except Exception as e:
        lines = f"{type(e).__name__}: {e}".strip().splitlines()
        res["error"] = lines[0][:200]
        res["traceback"] = traceback.format_exc(limit=4)
    finally:
        if eng.cleanup:
            eng.cleanup()
    res["times_s"] = times
    res["ok"] = bool(times) and "error" not in res
    res["peak_rss_mb"] = _peak_rss_mb()
    return res


def main() -> None:
    name, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if name not in SETUP:
        sys.exit(f"unknown engine {name!r}; known: {', '.join(SETUP)}")
    if name == "polars-1t":  # must be set before polars is imported
        os.environ["POLARS_MAX_THREADS"] = "1"
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    print(json.dumps(measure(name, path, runs)))


if __name__ == "__main__":
    main()
