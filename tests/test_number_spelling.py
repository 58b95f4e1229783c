"""Numbers with a decimal comma or with grouped digits (`decimal=`,
`thousands=`): a table converts as the same table would with every such
number written plainly and every other field of its number columns made
no number, which the plain grammars then read; the field's own text
decides the type only through the spelt grammar of tests/reference.py."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
import reference
from _qarn import csv_to_qarn
from csv_strategies import bools, comma_csv, doubles, int_spellings, longs
from scale import examples

SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])

SPELLINGS = [(",", None), (".", ","), (",", "."), (",", " "), (".", "'"), (".", " "), (",", "'")]
NUMBER_TYPES = ("int", "long", "double")


pytestmark = pytest.mark.usefixtures("threads_for_small_inputs")


@st.composite
def spelt_numbers(draw, decimal, thousands, whole=False):
    """Numbers as the spelling writes them, grouped or not, some with
    leading zeros, a fraction or an exponent (none when `whole`)."""
    digits = draw(st.one_of(st.from_regex(r"\A[1-9][0-9]{0,8}\Z"), st.from_regex(r"\A[0-9]{0,21}\Z")))
    fraction = None if whole else draw(st.one_of(st.none(), st.from_regex(r"\A[0-9]{0,6}\Z")))
    if not digits and not fraction:
        digits = "0"
    if thousands and len(digits) > 3 and draw(st.integers(0, 3)) > 0:
        head = len(digits) % 3 or 3
        digits = thousands.join([digits[:head], *(digits[i:i + 3] for i in range(head, len(digits), 3))])
    sign = draw(st.sampled_from(["", "", "-", "+"]))
    exponent = "" if whole else draw(st.sampled_from(["", "", "", "e3", "E-2", "e+400"]))
    return sign + digits + ("" if fraction is None else decimal + fraction) + exponent


@st.composite
def near_misses(draw, decimal, thousands):
    """A spelt number with one character put in or taken out: a separator
    or mark out of place, a group one digit short or long, the other mark."""
    text = draw(spelt_numbers(decimal, thousands))
    at = draw(st.integers(0, len(text)))
    if draw(st.booleans()) and len(text) > 1:
        return text[:at] + text[at + 1:]
    return text[:at] + draw(st.sampled_from([decimal, thousands or decimal, ".", ",", "0"])) + text[at:]


def cell_kinds(decimal, thousands):
    return {
        "spelt": spelt_numbers(decimal, thousands),
        "whole": spelt_numbers(decimal, thousands, whole=True),
        "near": near_misses(decimal, thousands),
        "plain": st.one_of(int_spellings(longs), doubles),
        "other": st.one_of(bools, st.sampled_from(["", "", "x", "inf", "-NaN", "1 000", " 1"])),
    }


def spelt_type(cells, decimal, thousands):
    """The type inference chooses: Booleans as they are, numbers spelt."""
    present = [cell for cell in cells if cell]
    if not present:
        return "string"
    if all(reference.parse_bool(cell) is not None for cell in present):
        return "bool"
    plain = [reference.plain_number(cell, decimal, thousands) for cell in present]
    for type_name in NUMBER_TYPES:
        if all(text is not None and reference.PARSERS[type_name](text) is not None for text in plain):
            return type_name
    return "string"


def plainly(cell, decimal, thousands):
    """A number column's field in the plain spelling; '#' (no number) for
    one that is no number as spelt."""
    if not cell:
        return cell
    plain = reference.plain_number(cell, decimal, thousands)
    return "#" if plain is None else plain


@given(st.sampled_from(SPELLINGS), st.data(), st.integers(1, 20), st.one_of(st.none(), st.integers(0, 20)),
       st.integers(1, 3))
@SETTINGS
def test_spelt_numbers_convert_as_their_plain_spelling(spelling, data, chunk_size, sample_rows, threads):
    decimal, thousands = spelling
    kinds = cell_kinds(decimal, thousands)
    columns = data.draw(st.lists(st.sampled_from(sorted(kinds)), min_size=1, max_size=4))
    mixed = data.draw(st.sampled_from([0, 0, 0.03, 0.2]))  # how often a cell is of another kind
    rows = [
        [data.draw(kinds[data.draw(st.sampled_from(["near", "near", *kinds]))] if data.draw(st.floats(0, 1)) < mixed
                   else kinds[kind])
         for kind in columns]
        for _ in range(data.draw(st.integers(0, 30)))
    ]
    names = [f"c{i}" for i in range(len(columns))]
    sampled = rows if sample_rows is None else rows[:sample_rows]
    types = [spelt_type([row[i] for row in sampled], decimal, thousands) for i in range(len(columns))]
    reduced = [[plainly(cell, decimal, thousands) if kind in NUMBER_TYPES else cell for cell, kind in zip(row, types)]
               for row in rows]
    options = {"chunk_size": chunk_size, "sample_rows": sample_rows, "threads": threads}
    # Types from every record leave no misfit.
    got = qarn.convert(comma_csv(names, rows), decimal=decimal, thousands=thousands, strict=sample_rows is None,
                       **options)
    assert got == qarn.convert(comma_csv(names, reduced), column_types=types, **options)


@given(st.sampled_from(SPELLINGS), st.data(), st.integers(1, 20), st.one_of(st.none(), st.integers(0, 20)),
       st.integers(1, 3))
@SETTINGS
def test_spelt_numbers_read_as_qarn_reads_the_plain_text(spelling, data, chunk_size, sample_rows, threads):
    # Spelt numbers and other text only: then every plain number is a spelt
    # one, so a column _qarn finds numeric is one the spelling does, and its
    # fields can be written plainly; records may be short or long.
    decimal, thousands = spelling
    kinds = {kind: strategy for kind, strategy in cell_kinds(decimal, thousands).items() if kind in ("spelt", "whole", "other")}
    columns = data.draw(st.lists(st.sampled_from(sorted(kinds)), min_size=1, max_size=4))
    rows = []
    for _ in range(data.draw(st.integers(0, 30))):
        row = [data.draw(kinds[data.draw(st.sampled_from([kind] * 9 + sorted(kinds)))]) for kind in columns]
        rows.append(row[: data.draw(st.integers(1, len(row)))] if data.draw(st.integers(0, 5)) == 0 else row + ["x"] * data.draw(st.integers(0, 1)))
    sampled = rows if sample_rows is None else rows[:sample_rows]
    types = [spelt_type([row[i] if i < len(row) else "" for row in sampled], decimal, thousands) for i in range(len(columns))]
    plain = [[plainly(cell, decimal, thousands) if i < len(types) and types[i] in NUMBER_TYPES else cell
              for i, cell in enumerate(row)] for row in rows]
    names = [f"c{i}" for i in range(len(columns))]
    got = qarn.convert(comma_csv(names, rows), decimal=decimal, thousands=thousands, chunk_size=chunk_size,
                       sample_rows=sample_rows, threads=threads)
    assert got == csv_to_qarn(comma_csv(names, plain), chunk_size, 10**9 if sample_rows is None else sample_rows)


@given(st.lists(st.sampled_from([b"1", b"2,5", b"1.000", b"-", b"2024-03-01", b"T12:00", b"Z", b",", b";", b'"',
                                 b"\r", b"\n", b" ", b"\xff", b"\xc3"]), max_size=60).map(b"".join),
       st.sampled_from(SPELLINGS), st.integers(1, 20), st.integers(1, 3))
@SETTINGS
def test_spellings_and_dates_leave_malformed_text_as_it_reads(soup, spelling, chunk_size, threads):
    # With no sample every column is text, which neither option touches: the
    # bytes, or the error, are _qarn's.
    def outcome(function, *args, **kwargs):
        try:
            return function(*args, **kwargs)
        except ValueError as error:
            return str(error)

    decimal, thousands = spelling
    got = outcome(qarn.convert, soup, decimal=decimal, thousands=thousands, parse_dates=True, chunk_size=chunk_size,
                  sample_rows=0, threads=threads)
    assert got == outcome(csv_to_qarn, soup, chunk_size, 0)


@pytest.mark.parametrize(
    "decimal, thousands, text, value",
    [
        (",", None, "1,5", 1.5),
        (",", None, ",5", 0.5),
        (",", None, "5,", 5.0),
        (",", None, "-1,5e3", -1500.0),
        (",", None, "-Inf", -math.inf),
        (",", None, "1.5", None),
        (",", None, "1,5,0", None),
        (",", None, ",", None),
        (".", ",", "2,639,808", 2639808),
        (".", ",", "-1,000", -1000),
        (".", ",", "+1,000.5", 1000.5),
        (".", ",", "2639808", 2639808),
        (".", ",", "0,001", 1),
        (".", ",", "1,000e3", 1e6),
        (".", ",", "9,223,372,036,854,775,807", 2**63 - 1),
        (".", ",", "1,00", None),
        (".", ",", "1,0000", None),
        (".", ",", ",100", None),
        (".", ",", "1,,000", None),
        (".", ",", "1000,000", None),
        (".", ",", "1,000.000,5", None),
        (".", ",", "1e1,000", None),
        (",", ".", "1.000,25", 1000.25),
        (",", ".", "1.500", 1500),
        (",", ".", "1.5", None),
        (",", " ", "12 345,6", 12345.6),
        (".", "'", "1'000'000", 1000000),
    ],
)
def test_spellings_accepted_and_refused(decimal, thousands, text, value):
    data = comma_csv(["n"], [[text]])
    column = qarn.read(qarn.convert(data, decimal=decimal, thousands=thousands))["n"]
    if value is None:  # a string, kept byte for byte; a misfit where a number is wanted
        assert (column.type, column.values.tolist()) == ("string", [text])
        with pytest.raises(ValueError, match="does not fit"):
            qarn.convert(data, decimal=decimal, thousands=thousands, column_types="double", strict=True)
        return
    expected_type = "double" if isinstance(value, float) else "int" if -(2**31) <= value < 2**31 else "long"
    assert column.type == expected_type
    got = column.values.tolist()[0]
    assert got == value or math.isnan(value) and math.isnan(got)


def test_with_null_markers_chosen_types_and_dates():
    text = "id;amount;when;label\n1.000;1.234,5;2024-03-01;1,5\nNA;-0,5;2024-03-02;2,5\n".encode()
    table = qarn.read(qarn.convert(text, delimiter=";", decimal=",", thousands=".", null_values=["NA"],
                                   column_types={"label": "float"}, parse_dates=True))
    assert table.column_types == ["int", "double", "date", "float"]
    assert table["id"].values.tolist()[0] == 1000 and table["id"].invalid.tolist() == [False, True]
    assert table["amount"].values.tolist() == [1234.5, -0.5]
    assert table["label"].values.tolist() == [1.5, 2.5]


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"decimal": ";"}, ValueError, "decimal must be one of '.' ','"),
        ({"decimal": ",,"}, ValueError, "decimal must be one of '.' ','"),
        ({"decimal": 1}, TypeError, "decimal must be a string, not int"),
        ({"thousands": "_"}, ValueError, "thousands must be one of"),
        ({"thousands": "1"}, ValueError, "thousands must be one of"),
        ({"thousands": "."}, ValueError, "thousands must differ from decimal, which is '.'"),
        ({"decimal": ",", "thousands": ","}, ValueError, "thousands must differ from decimal, which is ','"),
    ],
)
def test_bad_spellings_name_the_option(options, error, message):
    with pytest.raises(error) as caught:
        qarn.convert(b"a\n1\n", **options)
    assert str(caught.value).startswith(message)
