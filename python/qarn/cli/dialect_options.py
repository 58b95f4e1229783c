"""The options of `qarn convert` that say how to read the CSV: its dialect,
encoding, compression and header, as keyword arguments of `qarn.convert`."""

from __future__ import annotations

import argparse
from typing import Any

from .options import non_negative

# Names a shell makes easier to type than the characters themselves.
DELIMITER_NAMES = {
    "tab": "\t",
    "\\t": "\t",
    "comma": ",",
    "semicolon": ";",
    "pipe": "|",
    "space": " ",
    "colon": ":",
}
# The same for the decimal mark and the thousands separator.
SEPARATOR_NAMES = {"comma": ",", "period": ".", "dot": ".", "space": " ", "apostrophe": "'"}
COMPRESSIONS = ("infer", "none", "gzip", "bz2", "xz", "zstd", "zip")


def _delimiter(text: str) -> str:
    return DELIMITER_NAMES.get(text.lower(), text)


def _separator(text: str) -> str:
    return SEPARATOR_NAMES.get(text.lower(), text)


class _NoCharacter:
    """What --quotechar none (or --escapechar none) stands for until it becomes None."""


NO_CHARACTER = _NoCharacter()


def _character_or_none(text: str) -> str | _NoCharacter:
    return NO_CHARACTER if text.lower() == "none" else text


def _column_names(text: str) -> list[str]:
    return text.split(",")


def _null_values(text: str) -> list[str] | str:
    return "default" if text == "default" else text.split(",")


def _column_types(text: str) -> str | dict[str | int, str]:
    """'string' for every column, or 'zip=string,3=long,-1=double' by name
    or position: a name no column has that is a whole number is a position
    (as for --columns); spaces after the commas are left out."""
    if "=" not in text:
        return text.strip()
    chosen: dict[str | int, str] = {}
    for item in text.split(","):
        column, separator, type_name = item.lstrip().rpartition("=")
        if not separator or not column:
            raise argparse.ArgumentTypeError(f"expected COLUMN=TYPE, not {item!r}")
        chosen[column] = type_name.strip()
    return chosen


def register(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading the CSV (default: comma-separated UTF-8 with a header row)")
    group.add_argument(
        "--auto",
        action="store_true",
        help="guess each file's dialect, encoding, header, lines around the table and null markers "
        "(as 'qarn sniff' shows them); the options below override what was guessed",
    )
    group.add_argument(
        "--delimiter",
        "--sep",
        type=_delimiter,
        metavar="CHAR",
        help="the field separator: one character, or tab, comma, semicolon, pipe, space, colon",
    )
    group.add_argument("--quotechar", type=_character_or_none, metavar="CHAR", help="the quote character, or 'none' (default \")")
    group.add_argument(
        "--escapechar", type=_character_or_none, metavar="CHAR", help="a character that makes the next one literal, as in \\\", or 'none'"
    )
    group.add_argument(
        "--no-doublequote", dest="doublequote", action="store_false", default=None, help="a quote inside quotes always closes them (quotes are escaped with --escapechar, not doubled)"
    )
    group.add_argument(
        "--no-newlines-in-values",
        dest="newlines_in_values",
        action="store_false",
        default=None,
        help="a line end inside quotes ends the record, so that a stray quote spoils only its own line",
    )
    group.add_argument(
        "--skipinitialspace",
        action="store_true",
        default=None,
        help="skip spaces after the delimiter, as in 'a, b, c' (a quote after them opens a quoted field)",
    )
    group.add_argument(
        "--no-skipinitialspace",
        dest="skipinitialspace",
        action="store_false",
        help="keep spaces after the delimiter as content, where --auto guessed otherwise",
    )
    group.add_argument("--encoding", metavar="NAME", help="the text encoding: utf-8 (default), cp1252, latin-1, utf-16, ...")
    group.add_argument("--no-header", dest="header", action="store_false", default=None, help="the first line is data; columns are named column_1, column_2, ...")
    group.add_argument("--column-names", type=_column_names, metavar="A,B,...", help="the column names to use (instead of the header row's)")
    group.add_argument(
        "--null-values",
        type=_null_values,
        metavar="A,B,...",
        help="texts that stand for a missing value, such as NA,NULL; 'default' for the usual list",
    )
    group.add_argument(
        "--column-types",
        type=_column_types,
        metavar="SPEC",
        help="types over inference: one for every column (string), or by name or position "
        "(zip=string,3=long); bool, int, long, float, double, string, date, timestamp",
    )
    group.add_argument(
        "--parse-dates",
        action="store_true",
        default=None,
        help="let inference choose date (2024-03-01) and timestamp (2024-03-01 12:34:56, ...T12:34:56Z) columns",
    )
    group.add_argument(
        "--decimal",
        type=_separator,
        metavar="CHAR",
        help="the decimal mark of numbers: . (default) or , (also: period, dot, comma)",
    )
    group.add_argument(
        "--thousands",
        type=_separator,
        metavar="CHAR",
        help="the separator between groups of three digits, as in 2,639,808: "
        "one of , . ' or a space (also: comma, period, dot, apostrophe, space); default none",
    )
    group.add_argument("--skip-rows", type=non_negative, metavar="N", help="lines to skip before the header (titles, notes)")
    group.add_argument("--skip-footer", type=non_negative, metavar="N", help="lines to skip at the end (footnotes)")
    group.add_argument("--comment", metavar="CHAR", help="lines starting with this character are skipped")
    group.add_argument(
        "--compression", choices=COMPRESSIONS, metavar="KIND", help=f"one of {', '.join(COMPRESSIONS)} (default infer: from the name or the first bytes)"
    )


def convert_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of `qarn.convert` that the command line gave."""
    names = (
        "delimiter",
        "quotechar",
        "escapechar",
        "doublequote",
        "newlines_in_values",
        "skipinitialspace",
        "encoding",
        "header",
        "column_names",
        "skip_rows",
        "skip_footer",
        "comment",
        "compression",
        "null_values",
        "column_types",
        "parse_dates",
        "decimal",
        "thousands",
    )
    options = {name: getattr(args, name) for name in names if getattr(args, name) is not None}
    for name in ("quotechar", "escapechar"):
        if options.get(name) is NO_CHARACTER:
            options[name] = None
    if getattr(args, "auto", False):
        options["dialect"] = "auto"
    if options.get("compression") == "none":
        options["compression"] = None
    return options
