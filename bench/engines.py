"""One benchmark measurement, run in a fresh interpreter by bench/run.py.

    python bench/engines.py ENGINE CSV_PATH RUNS [OPTIONS_JSON]

Imports the engine, reads the CSV file into memory as bytes (not timed), then
times the conversion RUNS times and prints one JSON object on the last line of
stdout. Every engine turns the in-memory CSV bytes into typed columnar data.

OPTIONS_JSON (used by dialects.py) describes the input, for every engine in
its own terms: {"delimiter": ";", "quotechar": "'"} for another dialect,
{"encoding": "cp1252"} for single-byte text, {"compression": "gzip"} for a
gzip file, which engines then read from its path (decompressing is timed).
An engine that has no such option reports "unsupported" and is not timed.
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
# Setup functions get the engine name, the input path and the options.


class Unsupported(Exception):
    """The engine has no way to read the input as the options describe."""


def _dialect(opts: dict) -> tuple[str, str]:
    return opts.get("delimiter", ","), opts.get("quotechar", '"')


def _gzip(opts: dict) -> bool:
    comp = opts.get("compression")
    if comp not in (None, "gzip"):
        raise Unsupported(f"compression {comp!r}")
    return comp == "gzip"


def _qarn_shape(out):
    from qarn import _native

    s = _native.summarize(out)
    return sum(s["slice_rows"]), len(s["names"]), len(out), s["types"]

class Engine:
    def __init__(self, convert, shape=lambda out: None, info=None,
                 prepare=None, cleanup=None):
        self.convert, self.shape, self.info = convert, shape, info or {}
        self.prepare, self.cleanup = prepare, cleanup


def _ipc_size(buf) -> int:
    return len(buf.getbuffer()) if isinstance(buf, io.BytesIO) else buf.size


def setup_qarn(name, path, opts):
    import _qarn

    if opts:
        raise Unsupported("csv_to_qarn takes no options; use qarn-1t")
    return Engine(_qarn.csv_to_qarn, info={"output": "QARN file (bytes)"})


def setup_qarn_threads(name, path, opts):
    """qarn.convert(data, threads=N, **options); while the public function
    does not take the options yet, _native.convert with the same defaults
    (and for gzip, gzip.decompress before it, timed)."""
    import inspect

    import qarn
    from qarn import _native
    from qarn.convert import CHUNK_SIZE, SAMPLE_ROWS

    threads = int(name.rsplit("-", 1)[1].rstrip("t"))
    info = {"output": f"QARN file (bytes), {threads} threads", "threads": threads}
    params = inspect.signature(qarn.convert).parameters
    if _gzip(opts):
        info["options"] = "compression inferred from the .gz suffix"
        if "compression" in params:
            info["api"] = "qarn.convert(path)"
            return Engine(lambda data: qarn.convert(path, threads=threads),
                          _qarn_shape, info)
        import gzip

        info["api"] = "gzip.decompress + _native.convert"
        return Engine(lambda data: _native.convert(gzip.decompress(data), CHUNK_SIZE,
                                                   SAMPLE_ROWS, threads),
                      _qarn_shape, info)
    info["options"] = ", ".join(f"{k}={v!r}" for k, v in opts.items())
    try:
        qarn.convert(b"a\n1\n", threads=threads, **opts)
        info["api"] = "qarn.convert"
        return Engine(lambda data: qarn.convert(data, threads=threads, **opts),
                      _qarn_shape, info)
    except TypeError:
        pass
    if "encoding" in opts:
        raise Unsupported("qarn.convert takes no encoding= yet")
    info["api"] = "_native.convert"
    return Engine(lambda data: _native.convert(data, CHUNK_SIZE, SAMPLE_ROWS, threads, **opts),
                  _qarn_shape, info)


def transcode_table(codec: str) -> bytes:
    """4 bytes for each input byte: the size of its UTF-8 (0: undefined in
    the codec), then up to 3 bytes of it."""
    table = bytearray()
    for b in range(256):
        try:
            utf8 = bytes([b]).decode(codec).encode("utf-8")
        except UnicodeDecodeError:
            utf8 = b""
        table += bytes([len(utf8)]) + utf8.ljust(3, b"\0")
    return bytes(table)


def setup_qarn_transcode(name, path, opts):
    """Only the transcoding of single-byte text into UTF-8."""
    from qarn import _native

    codec = opts.get("encoding")
    if not codec or set(opts) != {"encoding"}:
        raise Unsupported("needs exactly the encoding option")
    table = transcode_table(codec)

    def convert(data):
        out = _native.transcode(data, table)
        if isinstance(out, int):
            raise ValueError(f"byte {data[out]:#04x} at {out} is undefined in {codec}")
        return out

    return Engine(convert, info={"output": "UTF-8 text (bytes)", "options": f"encoding={codec!r}"})


def setup_pyarrow(name, path, opts):
    import pyarrow as pa
    import pyarrow.csv as pacsv
    import pyarrow.ipc as ipc

    one = name.endswith("-1t")
    if one:
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
    delimiter, quotechar = _dialect(opts)
    gz = _gzip(opts)
    read_opts = pacsv.ReadOptions(use_threads=not one,
                                  encoding=opts.get("encoding", "utf8"))
    # Quoted fields may hold line breaks; pyarrow must be told so, or it may
    # cut a block in the middle of a field and fail.
    parse_opts = pacsv.ParseOptions(delimiter=delimiter, quote_char=quotechar,
                                    newlines_in_values=True)

    def convert(data):
        # A path ending in .gz is decompressed as it is read.
        source = path if gz else pa.BufferReader(data)
        table = pacsv.read_csv(source, read_options=read_opts,
                               parse_options=parse_opts)
        sink = pa.BufferOutputStream()
        with ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        return table, sink.getvalue()

    options = ["newlines_in_values=True"]
    options += [f"{k}={v!r}" for k, v in opts.items()]
    return Engine(convert, lambda out: (out[0].num_rows, out[0].num_columns,
                                        _ipc_size(out[1]), out[0].schema.types),
                  {"version": pa.__version__, "threads": pa.cpu_count(),
                   "output": "Arrow IPC file in memory",
                   "options": ", ".join(options)})


def setup_polars(name, path, opts):
    import polars as pl

    if opts.get("encoding"):
        # Its only other encoding, utf8-lossy, replaces what is not UTF-8
        # instead of decoding it.
        raise Unsupported("polars reads UTF-8 only")
    delimiter, quotechar = _dialect(opts)
    gz = _gzip(opts)

    def convert(data):
        # Polars decompresses a gzip file itself.
        df = pl.read_csv(path if gz else io.BytesIO(data), separator=delimiter,
                         quote_char=quotechar)
        sink = io.BytesIO()
        df.write_ipc(sink)
        return df, sink

    return Engine(convert, lambda out: (*out[0].shape, _ipc_size(out[1]),
                                        out[0].dtypes),
                  {"version": pl.__version__, "threads": pl.thread_pool_size(),
                   "output": "Arrow IPC file in memory",
                   "options": ", ".join(f"{k}={v!r}" for k, v in opts.items())})


def setup_pandas(name, path, opts):
    import pandas as pd

    delimiter, quotechar = _dialect(opts)
    gz = _gzip(opts)
    encoding = opts.get("encoding", "utf-8")

    def convert(data):
        # A path ending in .gz is decompressed (compression="infer").
        return pd.read_csv(path if gz else io.BytesIO(data), engine="c",
                           sep=delimiter, quotechar=quotechar, encoding=encoding)

    return Engine(convert, lambda df: (*df.shape, None, df.dtypes),
                  {"version": pd.__version__,
                   "output": "DataFrame only (no file written)",
                   "options": ", ".join(f"{k}={v!r}" for k, v in opts.items())})


def _sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def setup_duckdb(name, path, opts):
    import duckdb

    delimiter, quotechar = _dialect(opts)
    gz = _gzip(opts)
    encoding = opts.get("encoding")
    args = [f"delim={_sql_text(delimiter)}", f"quote={_sql_text(quotechar)}"]
    if encoding:
        # DuckDB decodes UTF-8, UTF-16 and Latin-1 itself; others need an
        # extension downloaded at run time.
        norm = encoding.lower().replace("_", "-")
        if norm not in ("latin-1", "latin1", "iso-8859-1", "iso8859-1"):
            raise Unsupported(f"DuckDB has no {encoding} without its encodings extension")
        args.append("encoding='latin-1'")
    con = duckdb.connect(":memory:")
    if name.endswith("-1t"):
        con.execute("SET threads=1")
    # DuckDB reads Python file objects only through fsspec, so it reads a
    # copy of the same bytes placed in /dev/shm (RAM-backed, written untimed).
    # A gzip file is read from its path (a .gz suffix is decompressed).
    src = path if gz else f"/dev/shm/qarn-bench-{os.getpid()}.csv"

    def prepare(data):
        if not gz:
            with open(src, "wb") as f:
                f.write(data)

    def convert(data):
        con.execute("DROP TABLE IF EXISTS t")
        con.execute(f"CREATE TABLE t AS SELECT * FROM read_csv({_sql_text(src)}"
                    f"{''.join(', ' + a for a in args) if opts else ''})")
        return con

    def shape(con):
        rows = con.execute("SELECT count(*) FROM t").fetchone()[0]
        types = con.execute("SELECT * FROM t LIMIT 0").description
        return rows, len(types), None, [t[1] for t in types]

    def cleanup():
        if not gz and os.path.exists(src):
            os.unlink(src)

    threads = con.execute("SELECT current_setting('threads')").fetchone()[0]
    return Engine(convert, shape,
                  {"version": duckdb.__version__, "threads": threads,
                   "output": "table in an in-memory database, read from "
                             + ("the .gz file" if gz else "/dev/shm"),
                   "options": ", ".join(args) if opts else ""},
                  prepare, cleanup)


def setup_python_csv(name, path, opts):
    import pycsv_baseline

    if opts:
        raise Unsupported("the baseline reads the comma dialect only")
    return Engine(pycsv_baseline.convert,
                  lambda out: (out[0], out[1], len(out[2]), out[3]),
                  {"output": "column buffers packed with array (bytes)"})


SETUP = {
    "qarn": setup_qarn,
    "qarn-1t": setup_qarn_threads,
    "qarn-2t": setup_qarn_threads,
    "qarn-transcode": setup_qarn_transcode,
    "pyarrow-1t": setup_pyarrow,
    "pyarrow": setup_pyarrow,
    "polars-1t": setup_polars,
    "polars": setup_polars,
    "pandas": setup_pandas,
    "duckdb-1t": setup_duckdb,
    "duckdb": setup_duckdb,
    "python-csv": setup_python_csv,
}


def measure(name: str, path: str, runs: int, opts: dict | None = None) -> dict:
    res: dict = {"engine": name, "ok": False}
    try:
        eng = SETUP[name](name, path, opts or {})
    except ImportError as e:
        return {**res, "missing": True, "error": f"not installed: {e}"}
    except Unsupported as e:
        return {**res, "unsupported": str(e)}
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
    opts = json.loads(sys.argv[4]) if len(sys.argv) > 4 else {}
    if name not in SETUP:
        sys.exit(f"unknown engine {name!r}; known: {', '.join(SETUP)}")
    if name == "polars-1t":  # must be set before polars is imported
        os.environ["POLARS_MAX_THREADS"] = "1"
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    print(json.dumps(measure(name, path, runs, opts)))


if __name__ == "__main__":
    main()
