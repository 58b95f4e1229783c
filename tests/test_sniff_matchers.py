"""The sniffer's hand-written matchers against the Python patterns and str
methods they stand for (kept here as the oracle): on generated text from
the characters that matter to each, they must accept exactly the same."""

import re

from hypothesis import given, settings
from hypothesis import strategies as st

from qarn import _native
from scale import examples

SETTINGS = settings(max_examples=examples(3000), deadline=None)

# --- the oracle -------------------------------------------------------------

NUMBER = re.compile(
    r"(?=[^\d]*\d)[-+]?(?:[$€£¥]\s?)?(?:\d{1,3}(?:[,. '\u00a0]\d{3})+|\d+)?(?:[.,]\d+)?(?:[eE][-+]?\d+)?\s?%?", re.ASCII)
DATE = re.compile(
    r"(?:\d{4}[-/.]\d{1,2}[-/.]\d{1,2}|\d{1,2}[-/.]\d{1,2}[-/.]\d{2,4})"
    r"(?:[T ]\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:\s?[AaPp][Mm])?(?:Z|[-+]\d{2}:?\d{2})?)?"
    r"|\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?(?:\s?[AaPp][Mm])?", re.ASCII)
FRACTION = re.compile(r"[.,]\d*$|[eE]")
NULLS = {"#N/A", "#N/A N/A", "#NA", "<NA>", "N/A", "NA", "NULL", "None", "n/a", "null"}


def cell(field: str) -> str:
    text = field.strip()
    if not text:
        return "empty"
    if text in NULLS:
        return "null"
    if text[0].isdigit() or text[0] in "-+.$€£¥":
        if text[4:5] in ("-", "/", ".") and text[:4].isdigit() and DATE.fullmatch(text):
            return "date"
        if NUMBER.fullmatch(text):
            return "decimal" if FRACTION.search(text) else "number"
        if DATE.fullmatch(text):
            return "date"
    lowered = text.lower()
    if lowered in ("true", "false", "yes", "no"):
        return "bool"
    return "decimal" if lowered in ("nan", "inf", "-inf", "+inf", "infinity", "-infinity") else "text"


def shape(text: str) -> str:
    out: list[str] = []
    for char in text.strip():
        kind = "A" if char.isupper() else "a" if char.isalpha() else "9" if char.isdigit() else char
        if not out or out[-1] != kind:
            out.append(kind)
    return "".join(out)


LINE_END = rb"(?:\r\n|\r(?!\n)|\n)"
BLANK_LINES = re.compile(LINE_END + rb"(?:[ \t]*" + LINE_END + rb")+")
FIELD_START = re.compile(rb"[\n\r,;\t|: ]")


def quote_then_text(lines: bytes, d: bytes, q: bytes) -> bool:
    d, q = re.escape(d), re.escape(q)
    pattern = rb"[\n" + d + rb"]" + q + rb"[^" + q + rb"\r\n]*(?:" + q + rb"[^" + d + q + rb"\r\n]|$)"
    return re.search(pattern, lines, re.MULTILINE) is not None


def quotes_needed(text: bytes, d: bytes, q: bytes) -> bool:
    d, q = re.escape(d), re.escape(q)
    pattern = rb"[\n\r" + d + rb"]" + q + rb"[^" + q + rb"]*(?:" + d + rb"|\n|\r|" + q + q + rb"|\\" + q + rb")"
    return re.search(pattern, text) is not None


# --- generated text ---------------------------------------------------------

# What numbers, dates and times are made of, with a few letters, Unicode
# white space and digits, and the markers.
FIELD_PIECES = st.sampled_from(
    list("0123456789-+.,/:'$€£¥ eE%TZAaPpMm\t\n\xa0x") + ["\x1c", "\x85", "\u2003", "٣", "²", "İ", "\u212a", "NA", "nan",
                                                         "True", "inf", "12", "2024", "00"])
FIELDS = st.lists(FIELD_PIECES, max_size=14).map("".join)
SAMPLE_BYTES = st.lists(st.sampled_from([b'"', b"'", b",", b";", b"|", b"\n", b"\r", b"\r\n", b"\\", b"a", b" ",
                                         b"\t"]), max_size=30).map(b"".join)
DIALECTS = st.tuples(st.sampled_from(",;|\t "), st.sampled_from("\"'"))


def native(pattern, data, **options):
    return _native.sniff_pattern(pattern, data.encode() if isinstance(data, str) else data, **options)


@SETTINGS
@given(field=FIELDS)
def test_fields_are_classified_as_the_patterns_say(field):
    assert native("number", field) == (NUMBER.fullmatch(field) is not None)
    assert native("date", field) == (DATE.fullmatch(field) is not None)
    assert native("fraction", field) == (FRACTION.search(field) is not None)
    assert native("cell", field) == cell(field)


@SETTINGS
@given(text=st.text() | FIELDS)
def test_shapes_follow_pythons_character_classes(text):
    assert native("shape", text) == shape(text)


@SETTINGS
@given(data=st.binary() | st.lists(st.sampled_from([b"a", b"\xc3", b"\xa9", b"\xed\xa0\x80", b"\xf0\x9f", b"\x98\x80",
                                                     b"\xf4\x90\x80\x80", b"\xe0\x80", b"\xff"]), max_size=8).map(b"".join))
def test_undecodable_bytes_become_replacement_characters_as_python_decodes_them(data):
    assert native("text", data) == data.decode("utf-8", "replace")


@SETTINGS
@given(text=SAMPLE_BYTES, dialect=DIALECTS)
def test_quote_patterns_match_where_the_regular_expressions_do(text, dialect):
    d, q = dialect
    if d == q:
        return
    assert native("quote_then_text", text, delimiter=d, quote=q) == quote_then_text(text, d.encode(), q.encode())
    assert native("quotes_needed", text, delimiter=d, quote=q) == quotes_needed(text, d.encode(), q.encode())
    assert native("field_start", text, quote=q) == (re.search(FIELD_START.pattern + re.escape(q.encode()), text)
                                                    is not None)


@SETTINGS
@given(text=SAMPLE_BYTES)
def test_runs_of_blank_lines_end_where_the_regular_expression_finds_them(text):
    assert native("blank_lines", text) == [m.end() for m in BLANK_LINES.finditer(text)]


def test_patterns_are_named():
    import pytest

    with pytest.raises(ValueError, match="no pattern named"):
        _native.sniff_pattern("nope", b"")
    with pytest.raises(ValueError, match="delimiter"):
        _native.sniff_pattern("quotes_needed", b"", delimiter="ab")
