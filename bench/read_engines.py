"""One reader timed in a fresh interpreter, for bench/read.py.

    python bench/read_engines.py ENGINE PATHS_JSON RUNS

Loads the file it reads into memory (not timed), reads it RUNS times after
one warm-up, and prints a JSON object on the last line of stdout.
"""

from __future__ import annotations

import gc
import io
import json
import sys
import time


def setup(engine: str):
    if engine.startswith("qarn") and engine != "qarn-numpy":
        import qarn

        # "-1t": decoding on one thread, and polars' own conversion too
        # (bench/read.py sets POLARS_MAX_THREADS for such engines).
        threads = 1 if engine.endswith("-1t") else None
        into = engine.removesuffix("-1t").removeprefix("qarn").removeprefix("-") or "arrow"
        return "qarn", lambda data: getattr(qarn.read(data, threads=threads), f"to_{into}")()
    if engine == "csv-pandas":
        import pandas as pd

        return "csv", lambda data: pd.read_csv(io.BytesIO(data))
    if engine == "parquet-pandas":
        import pandas as pd

        return "parquet", lambda data: pd.read_parquet(io.BytesIO(data))
    if engine == "qarn-numpy":
        import qarn

        def to_numpy(data):
            table = qarn.read(data)
            return [(c.values, c.invalid) for c in table if c.type != "string"]

        return "qarn", to_numpy
    if engine == "parquet-pyarrow-1t":
        import pyarrow as pa
        import pyarrow.parquet as pq

        pa.set_cpu_count(1)
        return "parquet", lambda data: pq.read_table(pa.BufferReader(data), use_threads=False)
    if engine == "parquet-pyarrow":
        import pyarrow.parquet as pq

        return "parquet", lambda data: pq.read_table(pa_reader(data))
    if engine in ("parquet-polars", "parquet-polars-1t"):
        import polars as pl

        return "parquet", lambda data: pl.read_parquet(io.BytesIO(data))
    if engine == "ipc-pyarrow":
        import pyarrow as pa

        return "arrow", lambda data: pa.ipc.open_file(pa.BufferReader(data)).read_all()
    if engine == "ipc-polars":
        import polars as pl

        return "arrow", lambda data: pl.read_ipc(io.BytesIO(data))
    raise SystemExit(f"unknown engine {engine!r}")


def pa_reader(data: bytes):
    import pyarrow as pa

    return pa.BufferReader(data)


def main() -> None:
    engine, paths, runs = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3])
    kind, read = setup(engine)
    with open(paths[kind], "rb") as file:
        data = file.read()
    read(data)  # warm-up
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = read(data)
        times.append(time.perf_counter() - start)
        del result
    print(json.dumps({"engine": engine, "ok": True, "times_s": times}))


if __name__ == "__main__":
    main()
