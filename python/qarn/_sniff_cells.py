"""What a field of a sample looks like, for guessing a file's layout: a
value of a type (a number, a date, a time, a truth value), a missing value,
or text; and whether a dialect seems to have read it wrongly."""

from __future__ import annotations

import functools
import re

from .dialect import DEFAULT_NULL_VALUES


class Cell:
    """The kinds of field, as plain strings (compared and hashed often).
    None of them is a shape of text (see `qarn._sniff_table.shape`), whose
    letters never run two in a row."""

    EMPTY = "empty"
    NULL = "null"  # a marker of a missing value, such as NA
    NUMBER = "number"  # whole numbers
    DECIMAL = "decimal"  # numbers with a fraction or an exponent
    DATE = "date"  # dates, times and both
    BOOL = "bool"
    TEXT = "text"


NULL_MARKERS = frozenset(DEFAULT_NULL_VALUES) - {""}

_NUMBER = re.compile(
    r"(?=[^\d]*\d)[-+]?(?:[$€£¥]\s?)?(?:\d{1,3}(?:[,. '\u00a0]\d{3})+|\d+)?(?:[.,]\d+)?(?:[eE][-+]?\d+)?\s?%?", re.ASCII
)
_DATE = re.compile(
    r"(?:\d{4}[-/.]\d{1,2}[-/.]\d{1,2}|\d{1,2}[-/.]\d{1,2}[-/.]\d{2,4})"
    r"(?:[T ]\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:\s?[AaPp][Mm])?(?:Z|[-+]\d{2}:?\d{2})?)?"
    r"|\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:\s?[AaPp][Mm])?",
    re.ASCII,
)
_FRACTION = re.compile(r"[.,]\d*$|[eE]")
_BOOLS = frozenset(("true", "false", "yes", "no"))
_SPECIAL_NUMBERS = frozenset(("nan", "inf", "-inf", "+inf", "infinity", "-infinity"))


@functools.lru_cache(maxsize=1 << 14)
def classify(field: str) -> str:
    text = field.strip()
    if not text:
        return Cell.EMPTY
    if text in NULL_MARKERS:
        return Cell.NULL
    if text[0].isdigit() or text[0] in "-+.$€£¥":
        # Dates first where they begin with a year: "2024-03-01 ..."
        if text[4:5] in ("-", "/", ".") and text[:4].isdigit() and _DATE.fullmatch(text):
            return Cell.DATE
        if _NUMBER.fullmatch(text):
            return Cell.DECIMAL if _FRACTION.search(text) else Cell.NUMBER
        if _DATE.fullmatch(text):
            return Cell.DATE
    lowered = text.lower()
    if lowered in _BOOLS:
        return Cell.BOOL
    if lowered in _SPECIAL_NUMBERS:
        return Cell.DECIMAL
    return Cell.TEXT


TYPED = frozenset((Cell.NUMBER, Cell.DECIMAL, Cell.DATE, Cell.BOOL))
MISSING = frozenset((Cell.EMPTY, Cell.NULL))
KINDS = TYPED | MISSING | {Cell.TEXT}


def looks_misread(field: str, quotes: str) -> bool:
    """Whether a field shows signs of a dialect that does not fit: it
    starts with a quote character, or ends with one that it holds no other
    of (its quotes were not taken as quotes), or holds an escaped quote (an
    escape that was not taken)."""
    text = field.strip()
    if not text:
        return False
    if text[0] in quotes or (text[-1] in quotes and text.count(text[-1]) == 1):
        return True
    return "\\" in text and any("\\" + q in text for q in quotes)
