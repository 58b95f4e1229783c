"""Benchmark reading other dialects, single-byte encodings and gzip input.

    python bench/dialects.py --size 100MB --runs 3 [--datasets numeric,mixed]
                             [--engines qarn,pyarrow-1t,...] [--smoke]

Three tables, each measurement in a fresh interpreter (engines.py):

1. Dialects: every data set rewritten with `;` and with tab as the
   delimiter, and with `'` as the quote character. qarn on the comma
   original and on each variant; each single-threaded peer on the variant,
   every engine told the dialect.
2. Encodings: `strings` and `mixed` in Latin-1 and cp1252. The transcoding
   into UTF-8 alone, then the whole conversion told the encoding.
3. gzip: each data set as .csv.gz (level 6), read from its path.

The variants are made once and cached beside the data sets in bench/data/.
Results go to bench/results/dialects-*.json.
"""

from __future__ import annotations

import argparse
import datetime
import gzip
import importlib.util
import os
import re
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402
from run import add_common_arguments, machine_info, parse_common, run_child, write_report  # noqa: E402

# Bump when a variant's bytes change, so cached files are not reused.
VARIANT_VERSION = 1

# Name -> (delimiter, quote character).
DIALECTS = {
    "semicolon": (";", '"'),
    "tab": ("\t", '"'),
    "squote": (",", "'"),
}
CODECS = ("latin-1", "cp1252")
ENCODED_DATASETS = ("strings", "mixed")
GZIP_LEVEL = 6

# Engine name here -> engine in engines.py (and the module it needs).
ENGINES = {
    "qarn": ("qarn-1t", "qarn"),
    "pyarrow-1t": ("pyarrow-1t", "pyarrow"),
    "polars-1t": ("polars-1t", "polars"),
    "duckdb-1t": ("duckdb-1t", "duckdb"),
    "pandas": ("pandas", "pandas"),
}
PEERS = [e for e in ENGINES if e != "qarn"]
# Goals: a variant within 10% of the comma original, qarn twice as fast as
# every single-threaded peer, transcoding at 1000 MB/s or more.
GOAL_VARIANT = 0.90
GOAL_PEER = 2.0
GOAL_TRANSCODE_MB_S = 1000.0


# ---------------------------------------------------------------- variants

# A quoted field of the comma dialect: quotes around, quotes inside doubled.
_QUOTED = re.compile(rb'"([^"]*(?:""[^"]*)*)"')
# An unquoted field, or a delimiter, in the text between quoted fields.
_BARE = re.compile(rb"[^,\r\n]+|,")


def _bare_text(text: bytes, delim: bytes, quote: bytes) -> bytes:
    """Text between quoted fields in the new dialect: commas become the
    delimiter; a field that holds the delimiter or quote gets quoted."""
    if delim not in text and quote not in text:
        return text.replace(b",", delim)

    def one(m: re.Match) -> bytes:
        field = m.group()
        if field == b",":
            return delim
        if delim in field or quote in field:
            return quote + field.replace(quote, quote + quote) + quote
        return field

    return _BARE.sub(one, text)


def rewrite_dialect(data: bytes, delimiter: str, quotechar: str) -> bytes:
    """The comma-separated, double-quoted `data` in another dialect.

    Each field stays quoted or unquoted as it was, and line ends (between
    records and inside fields) are kept byte for byte, so that the variant
    differs from the original only in the dialect. Rewriting with csv.writer
    would quote minimally instead: `quoted` would lose every quote, and
    `quote-heavy` under `;` most of them, which would compare different
    work."""
    delim, quote = delimiter.encode(), quotechar.encode()
    parts: list[bytes] = []
    pos = 0
    for m in _QUOTED.finditer(data):
        between = data[pos:m.start()]
        if b'"' in between:
            raise ValueError(f"a quote inside an unquoted field near byte {pos}")
        parts.append(_bare_text(between, delim, quote))
        if quote == b'"':
            parts.append(m.group())
        else:
            value = m.group(1).replace(b'""', b'"')
            parts.append(quote + value.replace(quote, quote + quote) + quote)
        pos = m.end()
    parts.append(_bare_text(data[pos:], delim, quote))
    return b"".join(parts)


def _write_once(path: Path, make) -> Path:
    if not path.exists():
        tmp = path.with_name(path.name + f".tmp{os.getpid()}")
        tmp.write_bytes(make())
        tmp.replace(path)
    return path


def _variant_path(source: Path, tag: str, suffix: str = ".csv") -> Path:
    return source.with_name(f"{source.stem}-{tag}-r{VARIANT_VERSION}{suffix}")


def dialect_path(source: Path, dialect: str) -> Path:
    delimiter, quotechar = DIALECTS[dialect]
    return _write_once(_variant_path(source, dialect), lambda: rewrite_dialect(
        source.read_bytes(), delimiter, quotechar))


def encoded_path(source: Path, codec: str) -> Path:
    """The text in a single-byte codec; characters it lacks become '?'."""
    return _write_once(_variant_path(source, codec), lambda: source.read_bytes()
                       .decode("utf-8").encode(codec, errors="replace"))


def gzip_path(source: Path) -> Path:
    return _write_once(source.with_name(source.name + ".gz"), lambda: gzip.compress(
        source.read_bytes(), compresslevel=GZIP_LEVEL, mtime=0))


# ---------------------------------------------------------------- measuring

class Runner:
    def __init__(self, args, engines: list[str]):
        self.args, self.engines = args, engines
        self.peers = [e for e in PEERS if e in engines]
        self.results: list[dict] = []
        self.failed = False

    def measure(self, engine: str, path: Path, opts: dict, mb: float,
                meta: dict, **labels) -> dict:
        """One measurement; `mb` is the MB the MB/s figure is of."""
        child, module = ENGINES.get(engine, (engine, "qarn"))
        res = {"engine": engine, **labels, "path": path.name, "options": opts}
        if importlib.util.find_spec(module) is None:
            res.update(ok=False, missing=True)
        else:
            t = time.perf_counter()
            res.update(run_child(child, path, self.args.runs, self.args.timeout,
                                 opts))
            res["engine"] = engine
            if res.get("ok"):
                res["median_s"] = statistics.median(res["times_s"])
                res["mb_per_s"] = mb / res["median_s"]
                rows, cols = res.get("rows"), res.get("columns")
                if meta and rows is not None and \
                        (rows, cols) != (meta["rows"], meta["columns"]):
                    res["shape_mismatch"] = (f"got {rows}x{cols}, expected "
                                             f"{meta['rows']}x{meta['columns']}")
            elif engine == "qarn" and not res.get("unsupported"):
                self.failed = True
            what = " ".join(str(v) for v in labels.values())
            print(f"[{what}] {engine}: {time.perf_counter() - t:.1f} s "
                  f"{status(res)}", file=sys.stderr)
        self.results.append(res)
        return res


def status(res: dict) -> str:
    if res.get("ok"):
        return f"{res['mb_per_s']:.1f} MB/s" + \
            (f" ({res['shape_mismatch']})" if res.get("shape_mismatch") else "")
    if res.get("missing"):
        return "not installed"
    if res.get("unsupported"):
        return f"n/a: {res['unsupported']}"
    return f"FAILED: {res.get('error', '?')}"


def _cell(res: dict | None, text) -> str:
    """A figure, or why there is none."""
    if res is None:
        return "-"
    if not res.get("ok"):
        if res.get("missing"):
            return "not installed"
        if res.get("unsupported"):
            return "n/a"
        return "FAILED"
    return text(res) + ("?" if res.get("shape_mismatch") or res.get("types_differ") else "")


def _ratio(num: dict | None, den: dict | None, goal: float | None) -> str:
    """num's time over den's time (den is the faster one if above 1); num's
    MB/s in parentheses if den has no time."""
    if not (num and num.get("ok")):
        return _cell(num, str)
    if not (den and den.get("ok")):
        return f"({num['mb_per_s']:.1f} MB/s)"
    r = num["median_s"] / den["median_s"]
    return f"{r:.2f}" + (" !" if goal is not None and round(r, 2) < goal else "")


def print_table(title: str, head: list[str], rows: list[list[str]]) -> None:
    print(f"\n### {title}\n")
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join(" --- " if i < 2 else " ---: " for i in range(len(head))) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def notes_for(results: list[dict]) -> list[str]:
    """One line for each engine that could not be timed, and each shape
    mismatch."""
    seen, out = set(), []
    for r in results:
        if r.get("unsupported"):
            key = (r["engine"], r["unsupported"])
            line = f"{r['engine']}: n/a, {r['unsupported']}"
        elif not r.get("ok") and not r.get("missing"):
            key = (r["engine"], r.get("error"))
            line = f"{r['engine']} on {r['path']}: FAILED, {r.get('error', '?')}"
        elif r.get("shape_mismatch") or r.get("types_differ"):
            key = (r["engine"], r["path"])
            line = f"{r['engine']} on {r['path']}: " + "; ".join(
                filter(None, [r.get("shape_mismatch"), r.get("types_differ")]))
        else:
            continue
        if key not in seen:
            seen.add(key)
            out.append(line)
    return out


def mb_s(res: dict) -> str:
    return f"{res['mb_per_s']:.1f}"


# ---------------------------------------------------------------- tables

def dialect_table(run: Runner, names: list[str], size: int, seed: int) -> None:
    rows = []
    start = len(run.results)
    for name in names:
        source = datasets.cached_path(name, size, seed)
        meta = datasets.load_meta(source)
        comma = None
        if "qarn" in run.engines:
            comma = run.measure("qarn", source, {"delimiter": ",", "quotechar": '"'},
                                meta["bytes"] / 1e6, meta, table="dialect",
                                dataset=name, dialect="comma")
        for dialect, (delimiter, quotechar) in DIALECTS.items():
            t = time.perf_counter()
            path = dialect_path(source, dialect)
            print(f"[{name} {dialect}] data ready in {time.perf_counter() - t:.1f} s",
                  file=sys.stderr)
            mb = path.stat().st_size / 1e6
            opts = {"delimiter": delimiter, "quotechar": quotechar}
            got = {e: run.measure(e, path, opts, mb, meta, table="dialect",
                                  dataset=name, dialect=dialect)
                   for e in run.engines}
            q = got.get("qarn")
            if q and comma and q.get("ok") and comma.get("ok") and \
                    q.get("column_types") != comma.get("column_types"):
                q["types_differ"] = (f"column types {q.get('column_types')}, on the "
                                     f"comma original {comma.get('column_types')}")
            rows.append([name, dialect, _cell(comma, mb_s), _cell(q, mb_s),
                         _variant_ratio(q, comma),
                         *(_ratio(got[p], q, GOAL_PEER) for p in run.peers)])
    head = ["data set", "dialect", "qarn comma MB/s", "qarn variant MB/s",
            "variant/comma", *(f"{p} / qarn" for p in run.peers)]
    print_table("Dialects: qarn on each variant, and each peer's time over qarn's "
                "on the same variant", head, rows)
    for line in notes_for(run.results[start:]):
        print(f"- {line}")


def _variant_ratio(q: dict | None, comma: dict | None) -> str:
    """MB/s of the variant over MB/s of the comma original."""
    if not (q and comma and q.get("ok") and comma.get("ok")):
        return "-"
    r = q["mb_per_s"] / comma["mb_per_s"]
    return f"{r:.2f}" + (" !" if round(r, 2) < GOAL_VARIANT else "")


def encoding_table(run: Runner, names: list[str], size: int, seed: int) -> None:
    rows_t, rows_c = [], []
    start = len(run.results)
    for name in names:
        source = datasets.cached_path(name, size, seed)
        meta = datasets.load_meta(source)
        for codec in CODECS:
            path = encoded_path(source, codec)
            mb = path.stat().st_size / 1e6
            opts = {"encoding": codec}
            if "qarn" in run.engines:
                t = run.measure("qarn-transcode", path, opts, mb, None,
                                table="transcode", dataset=name, encoding=codec)
                non_ascii = len(path.read_bytes().translate(None, bytes(range(128))))
                rows_t.append([name, codec, f"{mb:.3g}",
                               f"{100 * non_ascii / max(1, mb * 1e6):.2f}",
                               _cell(t, lambda r: mb_s(r) + (
                                   " !" if r["mb_per_s"] < GOAL_TRANSCODE_MB_S else ""))])
            got = {e: run.measure(e, path, opts, mb, meta, table="encoding",
                                  dataset=name, encoding=codec)
                   for e in run.engines}
            q = got.get("qarn")
            rows_c.append([name, codec, _cell(q, mb_s),
                           *(_ratio(got[p], q, GOAL_PEER) for p in run.peers)])
    if rows_t:
        print_table("Transcoding into UTF-8 alone (_native.transcode)",
                    ["data set", "encoding", "MB", "% bytes >= 0x80", "MB/s"], rows_t)
    print_table("Encodings: the whole conversion told the encoding; each peer's "
                "time over qarn's",
                ["data set", "encoding", "qarn MB/s", *(f"{p} / qarn" for p in run.peers)],
                rows_c)
    for line in notes_for(run.results[start:]):
        print(f"- {line}")


def gzip_table(run: Runner, names: list[str], size: int, seed: int) -> None:
    rows = []
    start = len(run.results)
    for name in names:
        source = datasets.cached_path(name, size, seed)
        meta = datasets.load_meta(source)
        t = time.perf_counter()
        path = gzip_path(source)
        print(f"[{name} gzip] data ready in {time.perf_counter() - t:.1f} s",
              file=sys.stderr)
        mb = meta["bytes"] / 1e6  # MB/s of the CSV, not of the .gz file
        got = {e: run.measure(e, path, {"compression": "gzip"}, mb, meta,
                              table="gzip", dataset=name)
               for e in run.engines}
        q = got.get("qarn")
        rows.append([name, f"{mb:.3g}", f"{path.stat().st_size / 1e6:.3g}",
                     _cell(q, mb_s), (q or {}).get("api", "-"),
                     *(_ratio(got[p], q, GOAL_PEER) for p in run.peers)])
    print_table("gzip: .csv.gz read from its path, MB/s of CSV; each peer's "
                "time over qarn's",
                ["data set", "CSV MB", "gz MB", "qarn MB/s", "qarn timed",
                 *(f"{p} / qarn" for p in run.peers)], rows)
    for line in notes_for(run.results[start:]):
        print(f"- {line}")


TABLES = {"dialects": dialect_table, "encodings": encoding_table, "gzip": gzip_table}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_common_arguments(ap, ENGINES, runs=3)
    ap.add_argument("--tables", default=",".join(TABLES))
    args, names, engines, size = parse_common(ap, ENGINES)
    tables = [t for t in args.tables.split(",") if t]
    for t in tables:
        if t not in TABLES:
            ap.error(f"unknown table {t!r}; known: {', '.join(TABLES)}")

    started = time.time()
    run = Runner(args, engines)
    print(f"# qarn: dialects, encodings and gzip ({args.size} per data set, "
          f"median of {args.runs})")
    print("\nRatios: `variant/comma` is qarn's MB/s on the variant over its MB/s on the "
          f"comma original (goal >= {GOAL_VARIANT:.2f}); `PEER / qarn` is the peer's "
          f"time over qarn's on the same input (goal >= {GOAL_PEER:.0f}). ` !` marks a "
          "missed goal, `?` a row or column count that differs from the data set's "
          "(or qarn's column types on a variant that differ from the comma original's).")
    for t in tables:
        chosen = [n for n in names if t != "encodings" or n in ENCODED_DATASETS]
        if chosen:
            TABLES[t](run, chosen, size, args.seed)
            sys.stdout.flush()

    report = {"started": datetime.datetime.now(datetime.timezone.utc).isoformat(),
              "args": vars(args), "machine": machine_info(),
              "elapsed_s": time.time() - started, "results": run.results}
    out = write_report(report, "dialects-", args)
    print(f"\nresults: {out} ({report['elapsed_s']:.0f} s)")
    # In a smoke run qarn must work; a peer failing is reported only.
    return 1 if (args.smoke and run.failed) else 0


if __name__ == "__main__":
    sys.exit(main())
