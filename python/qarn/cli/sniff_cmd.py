"""`qarn sniff`: what each CSV file's dialect seems to be, one line per
file, as text or JSON."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys

from ..sniff import SAMPLE_BYTES, Sniffed, sniff_details
from .dialect_options import DELIMITER_NAMES, SEPARATOR_NAMES
from .errors import FAILED, FAILURES, OK, message_of, report_failure
from .options import positive


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "sniff",
        help="guess the dialect of CSV files",
        description="Guesses each file's encoding, delimiter, quote and escape characters, header, lines "
        "before and after the table, comment lines and null markers from its start (and end), and prints "
        "them on one line per file with the confidence (0 to 1) and the number of columns. "
        "'qarn convert --auto' converts with the same guess.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="CSV files, or - for standard input")
    parser.add_argument("--json", action="store_true", help="one JSON object per line")
    parser.add_argument(
        "--sample-bytes",
        type=positive,
        default=SAMPLE_BYTES,
        metavar="N",
        help="bytes read from the start of each file (default %(default)s)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    status = OK
    for path in args.files:
        try:
            source = sys.stdin.buffer if path == "-" else path
            found = sniff_details(source, sample_bytes=args.sample_bytes)
        except FAILURES as error:
            report_failure(path, message_of(error))
            status = FAILED
            continue
        line = json.dumps(as_json(path, found)) if args.json else as_text(path, found)
        sys.stdout.write(line + "\n")
    return status


def as_json(path: str, found: Sniffed) -> dict[str, object]:
    fields = dataclasses.asdict(found.dialect)
    fields["null_values"] = list(found.dialect.null_values)
    grouped = None if found.thousands_columns is None else list(found.thousands_columns)
    return {"file": path, **fields, "decimal": found.decimal, "thousands": found.thousands,
            "thousands_columns": grouped, "columns": found.columns, "confidence": found.confidence}


# The first name --decimal and --thousands take, by character.
_MARK_NAMES = {char: name for name, char in reversed(SEPARATOR_NAMES.items())}
# The names --delimiter takes, by character.
_NAMES = {char: name for name, char in DELIMITER_NAMES.items() if name.isalpha()}


def _character(char: str | None) -> str:
    return "none" if char is None else _NAMES.get(char, repr(char))


def as_text(path: str, found: Sniffed) -> str:
    d = found.dialect
    parts = [
        d.encoding,
        f"delimiter {_character(d.delimiter)}",
        f"quote {_character(d.quotechar)}",
        f"escape {_character(d.escapechar)}",
        "header" if d.header else "no header",
        f"skip_rows {d.skip_rows}",
        f"skip_footer {d.skip_footer}",
    ]
    if d.comment is not None:
        parts.append(f"comment {d.comment!r}")
    if not d.newlines_in_values:
        parts.append("no newlines in values")
    if d.skipinitialspace:
        parts.append("spaces after the delimiter skipped")
    parts.append(f"null {','.join(d.null_values) if d.null_values else 'none'}")
    if found.decimal != ".":
        parts.append(f"decimal {_MARK_NAMES[found.decimal]}")
    if found.thousands is not None:
        parts.append(f"thousands {_MARK_NAMES[found.thousands]}")
    parts.append(f"{found.columns} column{'s' if found.columns != 1 else ''}")
    parts.append(f"confidence {found.confidence:.2f}")
    return f"{path}: {', '.join(parts)}"
