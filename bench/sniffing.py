"""How well CSV loaders guess a file's dialect: scores on the messy corpus.

    python bench/sniff_corpus.py                 # once: bench/data/sniff/
    python bench/sniffing.py [--kinds preamble,encoding] [--loaders qarn,pandas]
                             [--limit N] [--show-failures N] [--timeout S]

Every file of the corpus (sniff_corpus.py) is loaded by each loader with no
hint about its dialect, and what came back is compared with the file's
clean table. Loaders:

    qarn         qarn.convert(path, dialect="auto"), read back with
                 qarn.read(...).to_pandas(); qarn.sniff(path) is called
                 apart, timed, and tells whether the first record was taken
                 as the header. While the installed qarn has neither, the
                 default dialect is used and the output says so.
    pandas       pandas.read_csv(path, sep=None, engine="python")
    duckdb       duckdb.read_csv(path), every row fetched
    clevercsv    its encoding and dialect detection over the whole file
                 (its default), clevercsv.read_table with that dialect, and
                 its has_header() for the first row (where has_header()
                 raises, as it does on CR line ends, no header)
    qarn-default (only when named in --loaders) qarn.convert(path) with the
                 default dialect: what the sniffing adds
    csv-sniffer  the standard library: text decoded as UTF-8 (else
                 Latin-1), csv.Sniffer().sniff() and has_header() on the
                 first 64 KiB, then csv.reader over the whole text (where
                 has_header() raises, as on CR line ends, no header)

Score of one file, at most 10: precision, recall and F1 of the header, of
the records and of the cells, plus 1 for loading without an exception. A
load that raises, or runs past --timeout (the loader's process is then
killed and a new one started for the next file), scores 0 throughout.

- Cells are normalised before any comparison: surrounding whitespace is
  stripped, line breaks inside a cell become LF, and a number (`1.50`,
  `-3`, `1.5e0`) becomes the repr of its float value, so that `1.50`,
  `1.5` and a float 1.5 are equal. A missing value a loader produced (None,
  NaN, pandas' NA and NaT) is the empty cell. Text a loader kept as text,
  such as `NA`, stays that text.
- Header: the multiset of the header's cells. A loader that names the
  columns itself (`column0`, `column_1`, `Unnamed: 0`, `0`, ...: every
  name one of those prefixes and a number, the numbers counting up by one
  from 0 or 1) reports no header, as does one that says so. No header where
  the clean table has none scores 1 on all three; a header where there is
  none, or none where there is one, scores 0.
- Records: the multiset of records, each a tuple of its normalised cells
  as loaded (no padding or cutting). Records of no field at all (blank
  lines as the standard library returns them) are dropped.
- Cells: the multiset of the records' non-empty normalised cells,
  whatever their column: the partial credit for a table whose values came
  through though its rows did not (a record split in two, a column too
  many). Empty cells are left out, as they say nothing on their own and
  would reward padding.

For a multiset E (clean) and L (loaded) with T items in common:
precision T/|L|, recall T/|E|, F1 their harmonic mean; both empty scores 1,
one of them empty 0.

Prints mean scores by kind and loader, mean load time per file, and the
mean, median and 99th percentile of `qarn.sniff` per file. Full results go
to bench/results/sniffing-DATE.json.
"""

from __future__ import annotations

import argparse
import collections
import csv
import datetime
import io
import json
import math
import multiprocessing
import re
import statistics
import sys
import time
import warnings
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import sniff_corpus  # noqa: E402
from run import machine_info  # noqa: E402

LOADERS = ("qarn", "pandas", "duckdb", "clevercsv", "csv-sniffer")
# Not run unless asked for: what qarn makes of the corpus without sniffing.
OTHER_LOADERS = ("qarn-default",)
DISTRIBUTIONS = {"qarn": "qarn", "qarn-default": "qarn", "pandas": "pandas", "duckdb": "duckdb",
                 "clevercsv": "clevercsv", "csv-sniffer": None}
CSV_SNIFFER_SAMPLE = 1 << 16
DEFAULT_TIMEOUT = 10.0


# ---------------------------------------------------------------- loaders
# Each runs in a process of its own (see Worker) and returns the header
# (None: no header) and the records, cells as text.

def cell_text(v) -> str:
    if v is None:
        return ""
    if isinstance(v, str):
        return v
    if type(v).__name__ in ("NAType", "NaTType"):
        return ""
    if isinstance(v, float):
        return "" if v != v else repr(float(v))     # numpy's repr names its type
    try:
        if v != v:                       # numpy floats of other widths
            return ""
    except (TypeError, ValueError):
        pass
    return str(v)


def _frame(df):
    header = [str(c) for c in df.columns]
    records = [[cell_text(v) for v in row] for row in df.itertuples(index=False, name=None)]
    return header, records


def _qarn_loader(default_dialect: bool = False):
    import qarn
    sniff = None if default_dialect else getattr(qarn, "sniff", None)
    auto = False
    if not default_dialect:
        try:
            qarn.convert(b"a,b\n1,2\n", dialect="auto")
            auto = True
        except (TypeError, ValueError):
            pass

    def load(path, info):
        header_row = True
        if sniff is not None:
            t = time.perf_counter()
            try:
                dialect = sniff(path)
            except Exception as e:       # convert below says what it makes of the file
                info["sniff_error"] = f"{type(e).__name__}: {e}"[:300]
            else:
                info["sniffed"] = repr(dialect)
                header_row = bool(dialect.header)
            info["sniff_seconds"] = time.perf_counter() - t
        data = qarn.convert(path, dialect="auto") if auto else qarn.convert(path)
        header, records = _frame(qarn.read(data).to_pandas())
        return (header if header_row else None), records

    mode = ("convert(dialect='auto')" if auto else "convert() with the default dialect" + (
        "" if default_dialect else " (this qarn has no dialect='auto')"))
    mode += ", sniff() timed" if sniff else ", no qarn.sniff"
    return load, {"mode": mode, "auto": auto, "sniff": sniff is not None}


def _pandas_loader():
    import pandas as pd

    def load(path, info):
        return _frame(pd.read_csv(path, sep=None, engine="python"))
    return load, {}


def _duckdb_loader():
    import duckdb

    def load(path, info):
        rel = duckdb.read_csv(path)
        header = [str(c) for c in rel.columns]
        return header, [[cell_text(v) for v in row] for row in rel.fetchall()]
    return load, {}


def _clevercsv_loader():
    import clevercsv
    from clevercsv.encoding import get_encoding

    class KnownDialect(clevercsv.Detector):
        # has_header() sniffs its sample again; the dialect is known already.
        def __init__(self, dialect):
            super().__init__()
            self._dialect = dialect

        def sniff(self, sample, delimiters=None, verbose=False):
            return self._dialect

    def load(path, info):
        encoding = get_encoding(path)
        dialect = clevercsv.detect_dialect(path, encoding=encoding)
        if dialect is None:
            raise clevercsv.exceptions.NoDetectionResult("no dialect detected")
        info["sniffed"] = f"{dialect!r} {encoding}"
        rows = clevercsv.read_table(path, dialect=dialect, encoding=encoding)
        with open(path, newline="", encoding=encoding) as f:
            sample = f.read()
        try:
            has_header = bool(rows) and KnownDialect(dialect).has_header(sample)
        except Exception as e:
            # It reads CR-only text with a reader that refuses it; the rows
            # came through all the same, so only the header guess is lost.
            info["has_header_error"] = f"{type(e).__name__}: {e}"[:300]
            has_header = False
        return (rows[0], rows[1:]) if has_header else (None, rows)
    return load, {}


def _csv_sniffer_loader():
    def load(path, info):
        raw = Path(path).read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
        sample = text[:CSV_SNIFFER_SAMPLE]
        sniffer = csv.Sniffer()
        dialect = sniffer.sniff(sample)
        info["sniffed"] = f"delimiter={dialect.delimiter!r} quotechar={dialect.quotechar!r}"
        try:
            has_header = sniffer.has_header(sample)
        except csv.Error as e:       # as clevercsv's, which is a copy of it
            info["has_header_error"] = f"{type(e).__name__}: {e}"[:300]
            has_header = False
        rows = list(csv.reader(io.StringIO(text, newline=""), dialect))
        return (rows[0], rows[1:]) if rows and has_header else (None, rows)
    return load, {}


LOADER_FACTORIES = {"qarn": _qarn_loader, "qarn-default": lambda: _qarn_loader(True),
                    "pandas": _pandas_loader, "duckdb": _duckdb_loader,
                    "clevercsv": _clevercsv_loader, "csv-sniffer": _csv_sniffer_loader}


def _serve(name: str, conn) -> None:
    """The loop of a loader's process: a path in, a result out."""
    warnings.simplefilter("ignore")
    try:
        load, about = LOADER_FACTORIES[name]()
    except Exception as e:
        conn.send({"setup_error": f"{type(e).__name__}: {e}"})
        return
    conn.send({"about": about})
    while True:
        path = conn.recv()
        if path is None:
            return
        info: dict = {}
        t = time.perf_counter()
        try:
            header, records = load(path, info)
            result = {"header": header, "records": records, "error": None}
        except Exception as e:
            result = {"header": None, "records": [], "error": f"{type(e).__name__}: {e}"[:500]}
        result["seconds"] = time.perf_counter() - t - info.get("sniff_seconds", 0.0)
        result["info"] = info
        conn.send(result)


class Worker:
    """A loader in a process of its own, so that one that hangs or crashes on
    a file can be killed and replaced without losing the run."""

    def __init__(self, name: str):
        self.name = name
        self.about: dict = {}
        self._start()

    def _start(self):
        ctx = multiprocessing.get_context("spawn")
        self.conn, child = ctx.Pipe()
        self.proc = ctx.Process(target=_serve, args=(self.name, child), daemon=True)
        self.proc.start()
        child.close()
        hello = self.conn.recv()
        if "setup_error" in hello:
            self.close()
            raise RuntimeError(hello["setup_error"])
        self.about = hello["about"]

    def load(self, path: str, timeout: float) -> dict:
        try:
            self.conn.send(path)
            if self.conn.poll(timeout):
                return self.conn.recv()
            error = f"timed out after {timeout:g} s"
        except (EOFError, BrokenPipeError, ConnectionResetError):
            error = f"loader process died (exit code {self.proc.exitcode})"
        self.proc.kill()
        self.proc.join()
        self._start()
        return {"header": None, "records": [], "error": error, "seconds": timeout, "info": {}}

    def close(self):
        try:
            self.conn.send(None)
        except (BrokenPipeError, OSError):
            pass
        self.proc.join(5)
        if self.proc.is_alive():
            self.proc.kill()
            self.proc.join()


# ---------------------------------------------------------------- scoring

_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_GENERATED_NAME = re.compile(r"(?:unnamed: ?|column_?|col_?|field_?)?(\d+)", re.IGNORECASE)


def normalise(text: str) -> str:
    text = text.strip()
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    if _NUMBER.fullmatch(text):
        value = float(text)
        return repr(value + 0.0)          # -0.0 + 0.0 is 0.0
    return text


def generated_names(names: list[str]) -> bool:
    """Whether a loader made these names up: column0, column1, ... or
    column_1, column_2, ..., Unnamed: 0, ... or 0, 1, ..."""
    numbers = []
    for name in names:
        m = _GENERATED_NAME.fullmatch(name.strip())
        if not m:
            return False
        numbers.append(int(m.group(1)))
    return bool(numbers) and numbers[0] in (0, 1) and numbers == list(
        range(numbers[0], numbers[0] + len(numbers)))


def prf(expected: collections.Counter, loaded: collections.Counter) -> tuple[float, float, float]:
    if not expected and not loaded:
        return 1.0, 1.0, 1.0
    common = sum((expected & loaded).values())
    p = common / sum(loaded.values()) if loaded else 0.0
    r = common / sum(expected.values()) if expected else 0.0
    return p, r, (2 * p * r / (p + r) if p + r else 0.0)


MEASURES = ("header", "records", "cells")


def score(clean: dict, result: dict) -> dict:
    """The measures of one load (see the module's docstring)."""
    out = {f"{m}_{x}": 0.0 for m in MEASURES for x in "prf"}
    out["success"] = 0.0
    if result["error"] is not None:
        out["score"] = 0.0
        return out
    header = result["header"]
    if header is not None and generated_names(header):
        header = None
    if clean["header"] is None or header is None:
        hp = hr = hf = float(clean["header"] is None and header is None)
    else:
        hp, hr, hf = prf(collections.Counter(map(normalise, clean["header"])),
                         collections.Counter(map(normalise, header)))
    want = [tuple(map(normalise, r)) for r in clean["records"]]
    got = [tuple(map(normalise, r)) for r in result["records"] if len(r)]
    rp, rr, rf = prf(collections.Counter(want), collections.Counter(got))
    cp, cr, cf = prf(collections.Counter(c for r in want for c in r if c),
                     collections.Counter(c for r in got for c in r if c))
    out.update(header_p=hp, header_r=hr, header_f=hf, records_p=rp, records_r=rr, records_f=rf,
               cells_p=cp, cells_r=cr, cells_f=cf, success=1.0)
    out["score"] = hp + hr + hf + rp + rr + rf + cp + cr + cf + 1.0
    return out


# ---------------------------------------------------------------- diagnosis

def _short(value, width: int = 150) -> str:
    text = repr(value)
    return text if len(text) <= width else text[:width - 3] + "..."


def _written(dialect: dict) -> str:
    ends = {"\n": "LF", "\r\n": "CRLF", "\r": "CR"}
    parts = [f"delimiter {dialect['delimiter']!r}", f"quote {dialect['quotechar']!r}"]
    if dialect.get("escapechar"):
        parts.append(f"escape {dialect['escapechar']!r}")
    parts.append(ends.get(dialect["line_end"], repr(dialect["line_end"])))
    parts.append(dialect["encoding"] + (" with BOM" if dialect.get("bom") else ""))
    parts.append(f"{dialect['header_rows']} header rows")
    for key in ("quoting", "preamble_lines", "footer_lines", "second_table_lines", "null_markers",
                "ragged_records", "stray_quote", "literal_quotes"):
        if key in dialect and dialect[key] not in ("minimal", None):
            parts.append(f"{key.replace('_', ' ')} {dialect[key]}")
    return ", ".join(parts)


def diagnose(clean: dict, result: dict, s: dict) -> list[str]:
    """What went wrong with one load, in a few lines."""
    lines = [f"written: {_written(clean['dialect'])}"]
    info = result.get("info", {})
    for key in ("sniffed", "sniff_error", "has_header_error"):
        if key in info:
            lines.append(f"{key.replace('_', ' ')}: {info[key]}")
    if result["error"] is not None:
        lines.append(f"failed: {result['error']}")
        return lines
    want_header = clean["header"]
    header = result["header"]
    if header is not None and generated_names(header):
        header = None
    if s["header_f"] < 1:
        if want_header is None:
            lines.append(f"header where there is none: {_short(header)}")
        elif header is None:
            lines.append(f"no header; expected {_short(want_header)}")
        else:
            lines.append(f"header {_short(header)}")
            lines.append(f"  expected {_short(want_header)}")
    want = [tuple(map(normalise, r)) for r in clean["records"]]
    got = [tuple(map(normalise, r)) for r in result["records"] if len(r)]
    widths = collections.Counter(len(r) for r in got)
    width = len(want[0]) if want else 0
    common = sum((collections.Counter(want) & collections.Counter(got)).values())
    note = f"records: {len(want)} expected, {len(got)} loaded, {common} alike"
    if got and widths.most_common(1)[0][0] != width:
        note += (f"; loaded rows mostly {widths.most_common(1)[0][0]} fields, the table has {width}"
                 f" (delimiter or quoting?)")
    lines.append(note)
    if common < len(want) or common < len(got):
        got_left = collections.Counter(got)
        missing = next((r for r in want if not _take(got_left, r)), None)
        want_left = collections.Counter(want)
        extra = next((r for r in got if not _take(want_left, r)), None)
        if missing is not None:
            lines.append(f"  first expected record not loaded: {_short(list(missing))}")
        if extra is not None:
            lines.append(f"  first loaded record not expected: {_short(list(extra))}")
    return lines


def _take(counter: collections.Counter, item) -> bool:
    if counter[item] > 0:
        counter[item] -= 1
        return True
    return False


# ---------------------------------------------------------------- running

def select_kinds(text: str | None, available: list[str]) -> list[str]:
    """Kinds by name, or by the part before the dash ('encoding': all of them)."""
    if not text:
        return available
    chosen = []
    for word in (w.strip() for w in text.split(",")):
        match = [k for k in available if k == word or k.startswith(word + "-")]
        if not match:
            sys.exit(f"no kind {word!r} in the corpus; there are: {', '.join(available)}")
        chosen += [k for k in match if k not in chosen]
    return chosen


def load_cases(corpus: Path, kinds: list[str], limit: int | None) -> list[dict]:
    cases = []
    for kind in kinds:
        paths = sorted((corpus / kind).glob("*.csv"))
        for path in paths[:limit]:
            clean = json.loads(path.with_suffix(".json").read_text(encoding="utf-8"))
            cases.append({"name": f"{kind}/{path.name}", "path": str(path), "kind": kind,
                          "clean": clean})
    return cases


def _version(loader: str) -> str:
    dist = DISTRIBUTIONS[loader]
    if dist is None:
        return sys.version.split()[0]
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "not installed"


def run_loader(name: str, cases: list[dict], timeout: float, keep: bool):
    """Results of one loader on every case; the loaded tables are kept only
    when asked (for the failures shown)."""
    worker = Worker(name)
    results = []
    started = time.perf_counter()
    try:
        for case in cases:
            result = worker.load(case["path"], timeout)
            s = score(case["clean"], result)
            entry = {"case": case["name"], "kind": case["kind"],
                     **{k: round(v, 4) for k, v in s.items()},
                     "seconds": round(result["seconds"], 6), "error": result["error"],
                     "info": result.get("info", {})}
            if keep:
                entry["loaded"] = result
            results.append(entry)
    finally:
        worker.close()
    return results, worker.about, time.perf_counter() - started


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def print_table(kinds, loaders, by_loader) -> list[str]:
    width = max(12, *(len(k) for k in kinds))
    cols = [max(9, len(n) + 1) for n in loaders]
    lines = ["kind".ljust(width) + "".join(n.rjust(c) for n, c in zip(loaders, cols))]
    lines.append("-" * len(lines[0]))

    def row(label, values, fmt="{:.2f}"):
        cells = ["n/a" if v is None else fmt.format(v) for v in values]
        lines.append(label.ljust(width) + "".join(c.rjust(w) for c, w in zip(cells, cols)))

    for kind in kinds:
        row(kind, [statistics.fmean(r["score"] for r in by_loader[n] if r["kind"] == kind)
                   for n in loaders])
    lines.append("-" * len(lines[0]))
    row("overall", [statistics.fmean(r["score"] for r in by_loader[n]) for n in loaders])
    for m in MEASURES:
        row(f"  {m} F1", [statistics.fmean(r[f"{m}_f"] for r in by_loader[n]) for n in loaders])
    row("failed loads", [sum(r["error"] is not None for r in by_loader[n]) for n in loaders], "{}")
    row("ms per file", [1000 * statistics.fmean(r["seconds"] for r in by_loader[n])
                        for n in loaders], "{:.1f}")
    return lines


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=Path, default=sniff_corpus.DEFAULT_DIR)
    ap.add_argument("--kinds", help="comma-separated kinds, or a prefix such as 'encoding'")
    ap.add_argument("--loaders", default=",".join(LOADERS))
    ap.add_argument("--limit", type=int, help="files of each kind (default: all)")
    ap.add_argument("--show-failures", type=int, default=0, metavar="N",
                    help="print the N worst-scored files of --failures-of, and why")
    ap.add_argument("--failures-of", default="qarn", metavar="LOADER")
    ap.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT,
                    help="seconds a loader may take on one file (default %(default)s)")
    ap.add_argument("--seed", type=int, default=1,
                    help="seed of the corpus, if it has to be generated")
    args = ap.parse_args()

    loaders = [n.strip() for n in args.loaders.split(",") if n.strip()]
    unknown = sorted(set(loaders) - set(LOADERS + OTHER_LOADERS))
    if unknown:
        ap.error(f"unknown loaders {unknown}; there are {', '.join(LOADERS + OTHER_LOADERS)}")
    manifest_path = args.corpus / "manifest.json"
    if not manifest_path.exists():
        print(f"no corpus in {args.corpus}; generating it (seed {args.seed})", file=sys.stderr)
        sniff_corpus.generate(args.corpus, args.seed, sniff_corpus.DEFAULT_PER_KIND)
    manifest = json.loads(manifest_path.read_text())
    if manifest.get("version") != sniff_corpus.CORPUS_VERSION:
        sys.exit(f"the corpus in {args.corpus} is of version {manifest.get('version')}, this "
                 f"script expects {sniff_corpus.CORPUS_VERSION}: run bench/sniff_corpus.py again")
    kinds = select_kinds(args.kinds, manifest["kinds"])
    cases = load_cases(args.corpus, kinds, args.limit)
    print(f"{len(cases)} files of {len(kinds)} kinds (corpus seed {manifest['seed']})",
          file=sys.stderr)

    started = datetime.datetime.now()
    by_loader, about, skipped = {}, {}, {}
    for name in loaders:
        try:
            results, about[name], seconds = run_loader(
                name, cases, args.timeout,
                keep=args.show_failures > 0 and name == args.failures_of)
        except RuntimeError as e:
            skipped[name] = str(e)
            print(f"[{name}] skipped: {e}", file=sys.stderr)
            continue
        by_loader[name] = results
        failed = sum(r["error"] is not None for r in results)
        timed_out = sum((r["error"] or "").startswith("timed out") for r in results)
        print(f"[{name}] {len(results)} files in {seconds:.1f} s, {failed} failed"
              f" ({timed_out} timed out)", file=sys.stderr)
    run = [n for n in loaders if n in by_loader]
    if not run:
        return 1

    print()
    print("\n".join(print_table(kinds, run, by_loader)))
    print(f"\nscores: mean per file, at most 10 (header, records, cells: precision + recall + "
          f"F1 each; +1 when it loads)")
    versions = {n: _version(n) for n in loaders}
    print("versions: " + ", ".join(f"{n} {v}" for n, v in versions.items()))
    sniff_stats = None
    for name in run:
        if "mode" in about[name]:
            print(f"{name}: {about[name]['mode']}")
    if "qarn" in by_loader:
        times = [r["info"]["sniff_seconds"] for r in by_loader["qarn"]
                 if "sniff_seconds" in r["info"]]
        if times:
            sniff_stats = {"files": len(times), "mean_ms": 1000 * statistics.fmean(times),
                           "median_ms": 1000 * statistics.median(times),
                           "p99_ms": 1000 * percentile(times, 0.99),
                           "max_ms": 1000 * max(times)}
            print("qarn.sniff per file: mean {mean_ms:.2f} ms, median {median_ms:.2f} ms, "
                  "p99 {p99_ms:.2f} ms, max {max_ms:.2f} ms".format(**sniff_stats))
        else:
            print("qarn.sniff per file: n/a (not in this qarn)")
    for name, why in skipped.items():
        print(f"{name}: skipped ({why})")

    if args.show_failures > 0 and args.failures_of in by_loader:
        worst = sorted(by_loader[args.failures_of], key=lambda r: (r["score"], r["case"]))
        print(f"\nworst {args.show_failures} of {args.failures_of} (files in {args.corpus}):")
        clean_of = {c["name"]: c["clean"] for c in cases}
        for r in worst[:args.show_failures]:
            print(f"\n{r['case']}  score {r['score']:.2f}  (header F1 {r['header_f']:.2f}, "
                  f"records F1 {r['records_f']:.2f}, cells F1 {r['cells_f']:.2f})")
            for line in diagnose(clean_of[r["case"]], r["loaded"], r):
                print("  " + line)

    for results in by_loader.values():
        for r in results:
            r.pop("loaded", None)
    report = {
        "started": started.astimezone().isoformat(), "args": {k: str(v) for k, v in vars(args).items()},
        "machine": machine_info(), "corpus": {"dir": str(args.corpus), **manifest},
        "versions": versions, "about": about, "skipped": skipped, "qarn_sniff": sniff_stats,
        "kinds": {k: {n: statistics.fmean(r["score"] for r in by_loader[n] if r["kind"] == k)
                      for n in run} for k in kinds},
        "overall": {n: statistics.fmean(r["score"] for r in by_loader[n]) for n in run},
        "files": by_loader,
    }
    out_dir = HERE / "results"
    out_dir.mkdir(exist_ok=True)
    out = out_dir / f"sniffing-{started.strftime('%Y%m%d-%H%M%S')}.json"
    out.write_text(json.dumps(report, indent=1, ensure_ascii=False))
    print(f"\nresults: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
