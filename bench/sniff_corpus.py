"""A corpus of messy CSV files, each beside the clean table it holds.

    python bench/sniff_corpus.py [--seed 1] [--per-kind 50] [--out DIR]

writes bench/data/sniff/KIND/KIND-NNN.csv and, beside each, KIND-NNN.json:

    {"kind": "preamble", "header": ["id", ...] or null,
     "records": [["1", "São Paulo", ...], ...],
     "dialect": {"delimiter": ";", "quotechar": "\\"", ..., "preamble_lines": 3}}

`header` and `records` are what a reader that understood the file should
give back, cell for cell; `dialect` says how the file was written, for
whoever looks into a bad score. Every case is a function of (seed, kind,
number) alone, so a case comes out the same whatever else is generated.
Plain Python `random`, no numpy, so the bytes do not depend on what else is
installed.
"""

from __future__ import annotations

import argparse
import codecs
import csv
import datetime
import io
import json
import random
import re
import shutil
import sys
from pathlib import Path

# Bump when a case's bytes change, so that results of two versions are not
# compared as if they were of the same files.
CORPUS_VERSION = 1

DEFAULT_DIR = Path(__file__).resolve().parent / "data" / "sniff"
DEFAULT_PER_KIND = 50

DELIMITERS = {"semicolon": ";", "tab": "\t", "pipe": "|", "colon": ":", "space": " "}
# Python codec, and the byte order mark written before the text (the codecs
# below write none of their own).
ENCODINGS = {
    "utf8-bom": ("utf-8", codecs.BOM_UTF8),
    "utf16le-bom": ("utf-16-le", codecs.BOM_UTF16_LE),
    "utf16be-bom": ("utf-16-be", codecs.BOM_UTF16_BE),
    "utf16le": ("utf-16-le", b""),
    "utf32-bom": ("utf-32-le", codecs.BOM_UTF32_LE),
    "cp1252": ("cp1252", b""),
    "latin1": ("latin-1", b""),
}
KINDS = (
    ["clean"]
    + [f"delimiter-{name}" for name in DELIMITERS]
    + ["quote-single", "quote-none", "escape", "line-ends", "preamble",
       "multi-header", "no-header", "footnotes", "second-table", "ragged",
       "stray-quote", "multiline", "one-column", "one-row", "numbers-only",
       "null-markers", "decimal-comma", "thousands-comma"]
    + [f"encoding-{name}" for name in ENCODINGS]
)
# Delimiters of the kinds whose point is something else (preamble,
# footnotes): the common ones, so that the delimiter is not the hard part.
COMMON_DELIMITERS = [",", ";", "\t", "|"]

# ---------------------------------------------------------------- values

# Text that every codec here can write (Latin-1), spaces and accents
# included. Nothing a reader would take for a number, a boolean or a
# missing value (NA, null, none, nan, true...): the clean table could not
# say which of the two the cell is.
CITIES = ["Lisbon", "São Paulo", "Zürich", "Malmö", "Kraków", "Île-de-France",
          "Århus", "Reykjavík", "Córdoba", "Genève", "Düsseldorf", "New York",
          "Mexico City", "Cape Town", "Ålesund", "Bogotá", "Besançon",
          "La Coruña", "Nîmes", "Oslo", "Turin", "Lyon", "Porto Alegre"]
NAMES = ["Ana Silva", "José Pérez", "Zoë Martin", "Chloé Durand", "Björn Berg",
         "Renée Dubois", "Noël Lambert", "Ingrid Holm", "Søren Kjær",
         "Françoise Roux", "Paul Young", "Mei Chen", "Omar Haddad", "Eva Novak",
         "Íñigo Ortiz", "Grace Hopper", "Ada Byrne", "Lars Øberg"]
PHRASES = ["on time", "late delivery", "café au lait", "crème brûlée",
           "naïve approach", "piñata order", "über fast", "smörgåsbord",
           "déjà vu", "fiancée visit", "jalapeño extra", "façade repair",
           "résumé sent", "returned unopened", "gift wrap", "see invoice",
           "paid in full", "second notice", "awaiting stock"]
STATUSES = ["open", "closed", "pending", "shipped", "cancelled", "on hold",
            "in progress", "réservé"]
# Only in the Unicode encodings (and plain UTF-8): outside Latin-1.
UNICODE_TEXT = ["Łódź", "Αθήνα", "Москва", "東京都", "İstanbul", "Đà Nẵng",
                "Zoë 😀", "Ærøskøbing – harbour", "naïve “smart” quotes"]
# cp1252's own characters (not in Latin-1): 0x80-0x9F.
CP1252_TEXT = ["€ 20 note", "“special” offer", "price in €", "it’s late",
               "œuvre complète", "Škoda dealer", "fête – day 2", "Ÿ mark"]

# Header names by column type; a table takes distinct ones.
HEADER_NAMES = {
    "int": ["id", "count", "qty", "year", "units", "visits", "rank", "stock",
            "année", "order no"],
    "decimal": ["amount", "price", "weight kg", "rate", "score", "total",
                "prix unitaire", "Größe"],
    "negative": ["balance", "delta", "change %", "temp c", "profit", "net"],
    "date": ["date", "created", "shipped on", "birth date", "due", "Datum"],
    "city": ["city", "town", "ville", "destination", "origin"],
    "name": ["name", "customer", "contact", "prénom nom", "owner"],
    "phrase": ["note", "comment", "remarks", "description", "memo"],
    "status": ["status", "state", "stage"],
    "code": ["code", "sku", "ref", "product code"],
}
NUMERIC_TYPES = ("int", "decimal", "negative")
TEXT_TYPES = ("city", "name", "phrase", "status", "code")
ALL_TYPES = NUMERIC_TYPES + ("date",) + TEXT_TYPES


class Column:
    """One column of a clean table: how its values are drawn."""

    def __init__(self, rng: random.Random, ctype: str, *, empties: bool):
        self.type = ctype
        self.empty_p = rng.choice([0.0, 0.0, 0.05, 0.15, 0.3]) if empties else 0.0
        self.decimals = rng.choice([1, 2, 2, 2, 3])
        self.start = rng.randrange(1, 100000)
        self.scale = rng.choice([10, 1000, 100000])
        self.pool = {"city": CITIES, "name": NAMES, "phrase": PHRASES,
                     "status": STATUSES}.get(ctype, [])

    def value(self, rng: random.Random, row: int, *, may_be_empty: bool = True) -> str:
        if may_be_empty and self.empty_p and rng.random() < self.empty_p:
            return ""
        t = self.type
        if t == "int":
            if self.scale == 100000:
                return str(self.start + row)                 # an id
            return str(rng.randrange(0, self.scale))
        if t == "decimal":
            return f"{rng.random() * self.scale:.{self.decimals}f}"
        if t == "negative":
            if self.decimals == 1:
                return str(rng.randrange(-self.scale, self.scale))
            return f"{(rng.random() - 0.7) * self.scale:.{self.decimals}f}"
        if t == "date":
            day = datetime.date(1990, 1, 1) + datetime.timedelta(rng.randrange(13000))
            return day.isoformat()
        if t == "code":
            letters = "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ") for _ in range(2))
            return f"{letters}-{rng.randrange(10000):04d}"
        return rng.choice(self.pool)


def _header(rng: random.Random, types: list[str]) -> list[str]:
    used: set[str] = set()
    names = []
    for t in types:
        free = [n for n in HEADER_NAMES[t] if n not in used]
        name = rng.choice(free) if free else f"{HEADER_NAMES[t][0]} {len(names) + 1}"
        used.add(name)
        names.append(name)
    return names


def _rows(rng: random.Random, lo: int = 1, hi: int = 300) -> int:
    """Mostly small tables: log-uniform between lo and hi."""
    return min(hi, max(lo, int(round(lo * (hi / lo) ** rng.random()))))


def make_table(rng: random.Random, *, ncols: int, nrows: int,
               types: tuple[str, ...] = ALL_TYPES, empties: bool = True,
               text_pool: list[str] | None = None):
    """Column types, header and records of a random clean table. At least
    one text column when `types` has any, so that most tables are not all
    numbers."""
    col_types = [rng.choice(types) for _ in range(ncols)]
    text_in = [t for t in types if t in TEXT_TYPES and t != "code"]
    if text_in and not any(t in TEXT_TYPES for t in col_types):
        col_types[rng.randrange(ncols)] = rng.choice(text_in)
    columns = [Column(rng, t, empties=empties) for t in col_types]
    if text_pool:
        for c in columns:
            if c.type in ("city", "phrase", "name"):
                c.pool = c.pool + text_pool
    records = []
    for r in range(nrows):
        rec = [c.value(rng, r) for c in columns]
        if not any(rec):          # a row of nothing but delimiters is its own case
            rec[0] = columns[0].value(rng, r, may_be_empty=False)
        records.append(rec)
    return col_types, _header(rng, col_types), records


def _text_columns(col_types: list[str]) -> list[int]:
    return [i for i, t in enumerate(col_types) if t in ("city", "name", "phrase", "status")]


def add_tricky_text(rng: random.Random, col_types, records, *, delimiter: str,
                    quotechar: str | None, shapes=("delimiter", "quote"),
                    share: float = 0.15) -> int:
    """Put the delimiter, the quote character or line breaks ("break") inside
    some text cells (the writer then quotes them). Returns how many cells
    changed."""
    cols = _text_columns(col_types)
    if not cols or not records:
        return 0
    shapes = [s for s in shapes if s != "quote" or quotechar]
    changed = 0
    for rec in records:
        for c in cols:
            if rec[c] and rng.random() < share:
                shape = rng.choice(shapes)
                other = rng.choice(CITIES)
                if shape == "delimiter":
                    joiner = {",": ", ", ";": "; ", ":": ": ", "|": " | "}.get(delimiter, delimiter)
                    rec[c] = f"{rec[c]}{joiner}{other}"
                elif shape == "quote":
                    q = quotechar
                    rec[c] = rng.choice([f"{rec[c]} {q}{other}{q}", f"{q}{rec[c]}{q} edition",
                                         f"O{q}Neil {rec[c]}" if q == "'" else f"{rec[c]} 5{q} wide"])
                else:
                    rec[c] = f"{rec[c]}\n{other}" if rng.random() < 0.7 else f"{rec[c]}\n\n{other}"
                changed += 1
    return changed


# ---------------------------------------------------------------- writing

def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class Writer:
    """Writes records in one dialect. Quoting is minimal (only fields that
    need it) or 'text' (every non-numeric, non-empty field too)."""

    def __init__(self, delimiter=",", quotechar: str | None = '"', *, escapechar=None,
                 doublequote=True, line_end="\n", quoting="minimal"):
        self.delimiter = delimiter
        self.quotechar = quotechar
        self.escapechar = escapechar
        self.doublequote = doublequote
        self.line_end = line_end
        self.quoting = quoting

    def field(self, v: str) -> str:
        q = self.quotechar
        if q is None:
            assert self.delimiter not in v and "\n" not in v and "\r" not in v, v
            return v
        needs = (self.delimiter in v or q in v or "\n" in v or "\r" in v
                 or (self.escapechar is not None and self.escapechar in v)
                 or (self.quoting == "text" and v and not _is_number(v)))
        if not needs:
            return v
        if self.doublequote:
            inner = v.replace(q, q + q)
        else:
            inner = v.replace(self.escapechar, self.escapechar * 2).replace(q, self.escapechar + q)
        return q + inner + q

    def line(self, rec: list[str], raw: dict[int, str] | None = None) -> str:
        """One record; `raw` holds fields written as they are, unquoted."""
        raw = raw or {}
        return self.delimiter.join(raw[i] if i in raw else self.field(v) for i, v in enumerate(rec))

    def dialect(self) -> dict:
        return {"delimiter": self.delimiter, "quotechar": self.quotechar,
                "escapechar": self.escapechar, "doublequote": self.doublequote,
                "line_end": self.line_end, "quoting": self.quoting}


# ---------------------------------------------------------------- kinds

def _comma_spelling(number: str, grouped: bool) -> str:
    """A number with a decimal point as a decimal comma writes it."""
    whole, fraction = number.split(".")
    if grouped:
        sign = "-" if whole.startswith("-") else ""
        whole = sign + f"{int(whole.lstrip('-')):,}".replace(",", ".")
    return f"{whole},{fraction}"


def _comma_as_point(cell: str) -> str:
    """The clean spelling of a number `_comma_spelling` wrote."""
    return cell.replace(".", "").replace(",", ".") if re.fullmatch(r"-?[\d.]+,\d+", cell) else cell


def _ungrouped(cell: str) -> str:
    """The clean spelling of a number grouped by ',' ("12,345.67")."""
    return cell.replace(",", "") if re.fullmatch(r"-?\d{1,3}(,\d{3})+(\.\d+)?", cell) else cell


def _ncols(rng: random.Random) -> int:
    return rng.randint(2, 12)


def _preamble_lines(rng: random.Random, d: str) -> list[str]:
    today = datetime.date(2024, 1, 1) + datetime.timedelta(rng.randrange(366))
    title_parts = rng.choice([["Report", "Q1", "2024"], ["Region: North", "Period: March"],
                              ["Sales by store", "all regions", f"{today}"],
                              ["Inventory", "warehouse 3"]])
    pool = [
        lambda: rng.choice(["Sales export", "Customer list (internal use only)",
                            "Données exportées depuis le portail",
                            "Prepared by the finance team"]),
        lambda: f"Generated {today} by the reporting tool",
        lambda: d.join(title_parts),
        lambda: "",
        lambda: f"Rows: {rng.randrange(10, 999)}{d} source: ledger",
    ]
    n = rng.randint(1, 5)
    lines = [rng.choice(pool)() for _ in range(n)]
    if not any(lines):
        lines[0] = "Monthly figures"
    return lines


def _footnotes(rng: random.Random) -> list[str]:
    pool = ["Source: national statistics office", "* provisional figures",
            "Note: amounts in EUR, rounded", "Totals may not add up due to rounding.",
            "(c) 2024 Example Corp.", "End of report", "Figures marked † are estimates"]
    return rng.sample(pool, rng.randint(1, 3))


def build_case(kind: str, seed: int, number: int) -> tuple[bytes, dict]:
    """The file's bytes and its clean table (with how it was written)."""
    rng = random.Random(f"sniff-v{CORPUS_VERSION}-{seed}-{kind}-{number}")
    w = Writer()
    header_used = True          # the clean table has a header
    encoding, bom = "utf-8", b""
    before: list[str] = []      # lines above the table (preamble, extra header rows)
    after: list[str] = []       # lines below it
    raw: dict[int, dict[int, str]] = {}   # record -> field -> text written as is
    ragged: dict[int, str | None] = {}    # record -> a field added (None: the last one dropped)
    info: dict = {}
    text_pool = UNICODE_TEXT if rng.random() < 0.2 else None
    tricky = 0.3                # share of tables with delimiters or quotes in text

    if kind.startswith("encoding-"):
        name = kind.split("-", 1)[1]
        encoding, bom = ENCODINGS[name]
        if name in ("cp1252", "latin1"):
            text_pool = CP1252_TEXT if name == "cp1252" else None
        else:
            text_pool = UNICODE_TEXT

    ncols = 1 if kind == "one-column" else _ncols(rng)
    # Ragged rows and a stray quote need a table around them.
    nrows = 1 if kind == "one-row" else _rows(rng, lo=5 if kind in ("ragged", "stray-quote") else 1)
    types = NUMERIC_TYPES if kind == "numbers-only" else ALL_TYPES
    empties = kind not in ("delimiter-space", "one-column")
    col_types, header, records = make_table(rng, ncols=ncols, nrows=nrows, types=types,
                                            empties=empties, text_pool=text_pool)

    if kind.startswith("delimiter-"):
        w.delimiter = DELIMITERS[kind.split("-", 1)[1]]
    elif kind in ("preamble", "footnotes"):
        w.delimiter = rng.choice(COMMON_DELIMITERS)
    elif kind == "quote-single":
        w.quotechar = "'"
        w.quoting = rng.choice(["minimal", "text"])
        tricky = 1.0
    elif kind == "quote-none":
        w.quotechar = None
        tricky = 0.0
        cols = _text_columns(col_types)
        if cols and rng.random() < 0.5:
            # Quotes that are content: inside a field, or even at its start.
            for rec in records:
                c = rng.choice(cols)
                if rec[c] and rng.random() < 0.2:
                    rec[c] = rng.choice([f'{rec[c]} 12" pipe', f'"{rec[c]}" brand'])
            info["literal_quotes"] = True
    elif kind == "escape":
        w.escapechar, w.doublequote = "\\", False
        tricky = 0.0
        cols = _text_columns(col_types) or [0]
        for rec in records:
            if rng.random() < 0.25:
                c = rng.choice(cols)
                rec[c] = f'{rec[c]} "{rng.choice(CITIES)}"'.strip()
        if not any('"' in v for rec in records for v in rec):
            records[0][cols[0]] = f'the "{rng.choice(CITIES)}" one'
    elif kind == "line-ends":
        w.line_end = "\r" if number % 2 else "\r\n"
    elif kind == "multi-header":
        first = []
        style = rng.choice(["groups", "codes"])
        if style == "groups":
            labels = ["Customer", "Order", "Shipping", "Billing", "Totals", "Période"]
            i = 0
            while len(first) < ncols:
                span = rng.randint(1, 4)
                first += [labels[i % len(labels)]] + [""] * (span - 1)
                i += 1
            first = first[:ncols]
        else:
            first = [f"F{i + 1:02d}" for i in range(ncols)]
        before.append(w.line(first))
        info.update(header_rows=2, header_row_used="last", first_header_row=first)
    elif kind in ("no-header", "numbers-only"):
        header_used = False
    elif kind == "second-table":
        _, h2, r2 = make_table(rng, ncols=_ncols(rng), nrows=rng.randint(2, 20))
        after = [""] + [w.line(r) for r in [h2] + r2]
        info["second_table_lines"] = len(after) - 1
    elif kind == "ragged":
        bad = rng.sample(range(nrows), max(1, min(3, nrows // 20)))
        for r in bad:
            ragged[r] = rng.choice(["", "x", "99"]) if rng.random() < 0.5 else None
        info["ragged_records"] = sorted(bad)
    elif kind == "stray-quote":
        tricky = 0.0
        r = nrows // 2
        cols = _text_columns(col_types) or list(range(ncols))
        c = rng.choice(cols)
        value = records[r][c] or "item"
        value = rng.choice([f'"{value}', f'{value} 5" wide', f'{value} "special'])
        records[r][c] = value
        raw[r] = {c: value}
        info["stray_quote"] = {"record": r, "column": c}
    elif kind == "multiline":
        tricky = 0.0
        if not _text_columns(col_types):
            col_types[0] = "phrase"
            for rec in records:
                rec[0] = rng.choice(PHRASES)
        changed = add_tricky_text(rng, col_types, records, delimiter=w.delimiter,
                                  quotechar=w.quotechar, shapes=("break",), share=0.2)
        if not changed:
            c = _text_columns(col_types)[0]
            records[-1][c] = f"{records[-1][c]}\nsecond line"
    elif kind == "null-markers":
        marker = rng.choice(["NA", "NULL", "N/A", "mixed"])
        numeric = [i for i, t in enumerate(col_types) if t in NUMERIC_TYPES]
        if not numeric:
            numeric = [0]
            col_types[0] = "int"
            for r, rec in enumerate(records):
                rec[0] = str(r + 1)
        for c in numeric:
            for r, rec in enumerate(records):
                if rec[c] and rng.random() < 0.2:
                    rec[c] = ""
        if not any(rec[c] == "" for rec in records for c in numeric):
            records[0][numeric[0]] = ""
        for r, rec in enumerate(records):
            for c in numeric:
                if rec[c] == "":
                    m = rng.choice(["NA", "NULL", "N/A"]) if marker == "mixed" else marker
                    raw.setdefault(r, {})[c] = m
        info["null_markers"] = marker
    elif kind == "decimal-comma":
        # A spreadsheet's export where the decimal mark is a comma: fields
        # apart by ';' (or a tab), and in some files thousands grouped by '.'.
        w.delimiter = rng.choice([";", ";", "\t"])
        grouped = rng.random() < 0.3
        decimals = [i for i, t in enumerate(col_types) if t in ("decimal", "negative")]
        if not decimals or not any("." in rec[c] for rec in records for c in decimals):
            col_types[0] = "decimal"
            decimals = [0]
            for rec in records:
                rec[0] = f"{rng.random() * 1000:.2f}"
        for r, rec in enumerate(records):
            for c in decimals:
                if "." in rec[c]:
                    raw.setdefault(r, {})[c] = _comma_spelling(rec[c], grouped)
        info["decimal_comma"] = True
    elif kind == "thousands-comma":
        # A report in English: amounts grouped by ',' from 1,000 on
        # ("12,345.67"), quoted where the comma is the delimiter.
        w.delimiter = rng.choice([",", ",", "\t"])
        decimals = [i for i, t in enumerate(col_types) if t in ("decimal", "negative")] or [0]
        for c in decimals:
            col_types[c] = "negative" if col_types[c] == "negative" else "decimal"
        for r, rec in enumerate(records):
            for c in decimals:
                amount = (float(rec[c]) if _is_number(rec[c]) else rng.random()) * 10 ** rng.randint(1, 5)
                rec[c] = f"{amount:.2f}"
                raw.setdefault(r, {})[c] = w.field(f"{amount:,.2f}")
        info["thousands_comma"] = True

    if kind == "preamble":
        before = _preamble_lines(rng, w.delimiter)
        info["preamble_lines"] = len(before)
    if kind == "footnotes":
        after = ([""] if rng.random() < 0.5 else []) + _footnotes(rng)
        info["footer_lines"] = len(after)

    if tricky and w.quotechar and rng.random() < tricky and kind not in ("one-column",):
        add_tricky_text(rng, col_types, records, delimiter=w.delimiter, quotechar=w.quotechar)
    if kind == "quote-single" and not any(w.field(v) != v for rec in records for v in rec):
        c = (_text_columns(col_types) or [0])[0]
        records[0][c] = f"{records[0][c]}{w.delimiter} {rng.choice(CITIES)}"
    if kind == "encoding-cp1252" and not any(
            any(ch in v for ch in "€“”’œŠŸ–") for rec in records for v in rec):
        c = (_text_columns(col_types) or [0])[0]
        records[-1][c] = rng.choice(CP1252_TEXT)
    if kind.startswith("encoding-") and all(v.isascii() for rec in records for v in rec + header):
        c = (_text_columns(col_types) or [0])[0]
        records[0][c] = rng.choice(["Zürich", "crème brûlée", "Señor Núñez", "Malmö"])

    lines = list(before)
    if header_used:
        lines.append(w.line(header))
    for r, rec in enumerate(records):
        if r in ragged:
            rec = rec[:-1] if ragged[r] is None else rec + [ragged[r]]
        lines.append(w.line(rec, raw.get(r)))
    lines += after
    text = w.line_end.join(lines)
    if rng.random() < 0.9 or (after and after[-1] == ""):
        text += w.line_end
    data = bom + text.encode(encoding)

    dialect = w.dialect()
    dialect.update(encoding=encoding, bom=bool(bom),
                   header_rows=(2 if kind == "multi-header" else 1) if header_used else 0)
    dialect.update(info)
    clean = {"kind": kind, "header": header if header_used else None,
             "records": records, "column_types": col_types, "dialect": dialect}
    return data, clean


# ---------------------------------------------------------------- check

NULL_MARKERS = ("NA", "NULL", "N/A")


def read_back(data: bytes, clean: dict):
    """The file read with the standard library told how it was written:
    header and records, to be equal to the clean table's."""
    d = clean["dialect"]
    text = data.decode(d["encoding"])
    if d["bom"]:
        text = text.removeprefix("\ufeff")
    options = {"delimiter": d["delimiter"], "doublequote": d["doublequote"],
               "escapechar": d["escapechar"], "strict": False}
    if d["quotechar"] is None or "stray_quote" in d:
        options["quoting"] = csv.QUOTE_NONE
    else:
        options["quotechar"] = d["quotechar"]
    rows = list(csv.reader(io.StringIO(text, newline=""), **options))
    # Lines around the table hold no quotes: one row each, [] when blank.
    rows = rows[d.get("preamble_lines", 0):]
    below = d.get("footer_lines", 0) + (d["second_table_lines"] + 1 if "second_table_lines" in d else 0)
    rows = rows[:len(rows) - below]
    header = rows[d["header_rows"] - 1] if d["header_rows"] else None
    records = rows[d["header_rows"]:]
    if "null_markers" in d:
        records = [["" if v in NULL_MARKERS else v for v in r] for r in records]
    if "decimal_comma" in d:
        records = [[_comma_as_point(v) for v in r] for r in records]
    if "thousands_comma" in d:
        records = [[_ungrouped(v) for v in r] for r in records]
    return header, records


def check(out: Path, kinds) -> list[str]:
    """Cases whose file, read as written, is not their clean table (but for
    the ragged records, which are meant to differ by one field)."""
    problems = []
    for kind in kinds:
        for path in sorted((out / kind).glob("*.csv")):
            clean = json.loads(path.with_suffix(".json").read_text(encoding="utf-8"))
            header, records = read_back(path.read_bytes(), clean)
            for r in clean["dialect"].get("ragged_records", []):
                want = clean["records"][r]
                if r < len(records) and (records[r] == want[:-1] or records[r][:-1] == want):
                    records[r] = want
            if header != clean["header"]:
                problems.append(f"{path.name}: header {header!r:.200}")
            elif records != clean["records"]:
                bad = next((i for i, (a, b) in enumerate(zip(records, clean["records"])) if a != b),
                           min(len(records), len(clean["records"])))
                problems.append(f"{path.name}: {len(records)} records for "
                                f"{len(clean['records'])}, first differing at {bad}")
    return problems


# ---------------------------------------------------------------- corpus

def generate(out: Path, seed: int, per_kind: int, kinds=KINDS) -> int:
    """Writes the corpus into `out`, replacing what an earlier run left."""
    if out.exists():
        manifest = out / "manifest.json"
        if not manifest.exists() and any(out.iterdir()):
            sys.exit(f"{out} holds files that are not a corpus of this script; not replacing them")
        shutil.rmtree(out)
    out.mkdir(parents=True)
    count = 0
    for kind in kinds:
        (out / kind).mkdir()
        for i in range(per_kind):
            data, clean = build_case(kind, seed, i)
            stem = out / kind / f"{kind}-{i:03d}"
            stem.with_suffix(".csv").write_bytes(data)
            stem.with_suffix(".json").write_text(
                json.dumps(clean, ensure_ascii=False, indent=None), encoding="utf-8")
            count += 1
    (out / "manifest.json").write_text(json.dumps(
        {"version": CORPUS_VERSION, "seed": seed, "per_kind": per_kind, "kinds": list(kinds)},
        indent=1))
    return count


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--per-kind", type=int, default=DEFAULT_PER_KIND,
                    help=f"files of each kind (default {DEFAULT_PER_KIND})")
    ap.add_argument("--out", type=Path, default=DEFAULT_DIR)
    ap.add_argument("--kinds", help="comma-separated subset of: " + ", ".join(KINDS))
    ap.add_argument("--check", action="store_true",
                    help="then read every file back as it was written and compare")
    args = ap.parse_args()
    kinds = KINDS
    if args.kinds:
        kinds = [k.strip() for k in args.kinds.split(",") if k.strip()]
        unknown = sorted(set(kinds) - set(KINDS))
        if unknown:
            ap.error(f"unknown kinds {unknown}")
    n = generate(args.out, args.seed, args.per_kind, kinds)
    size = sum(p.stat().st_size for p in args.out.rglob("*.csv"))
    print(f"{n} files ({size / 1e6:.1f} MB of CSV) of {len(kinds)} kinds in {args.out}")
    if args.check:
        problems = check(args.out, kinds)
        for line in problems:
            print(line)
        print(f"check: {len(problems)} of {n} files do not read back as their clean table")
        return 1 if problems else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
