"""Property tests: generated tables written as CSV in many spellings must
convert to exactly the values the field grammars define, however the rows
are cut into slices and however large the sample."""

import os
import random
import struct
from decimal import Decimal, getcontext

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scale import examples

import reference
from _qarn import csv_to_qarn
from csv_strategies import csv_spellings, tables
from qarn_decoder import decode, float_bits, same_value, text_table

PROPERTY_SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])


def expected_table(names, rows, sample_rows):
    width = len(names)
    normalised = [(row + [""] * width)[:width] for row in rows]
    sample = normalised[:sample_rows]
    types = [reference.infer_type([row[i] for row in sample]) for i in range(width)]
    values = [[reference.convert(row[i], types[i]) for i in range(width)] for row in normalised]
    return types, values


def assert_same_rows(actual, expected):
    assert len(actual) == len(expected)
    for got_row, want_row in zip(actual, expected):
        assert len(got_row) == len(want_row)
        for got, want in zip(got_row, want_row):
            assert same_value(got, want) or (want is None and got is None), (got_row, want_row)


@PROPERTY_SETTINGS
@given(st.data())
def test_tables_convert_to_the_grammar_values(data):
    names, rows = data.draw(tables())
    csv_bytes = data.draw(csv_spellings(names, rows))
    chunk_size = data.draw(st.integers(1, 50))
    sample_rows = data.draw(st.integers(0, 50))
    result = decode(csv_to_qarn(csv_bytes, chunk_size=chunk_size, sample_rows=sample_rows))

    types, values = expected_table(names, rows, sample_rows)
    assert result.column_names == names
    assert result.column_types == types
    assert_same_rows(result.rows(), values)
    sizes = [len(s[0].values) for s in result.slices]
    assert sizes == [chunk_size] * (len(rows) // chunk_size) + ([len(rows) % chunk_size] if len(rows) % chunk_size else [])


@PROPERTY_SETTINGS
@given(st.data())
def test_chunking_and_sampling_change_nothing_else(data):
    names, rows = data.draw(tables())
    csv_bytes = data.draw(csv_spellings(names, rows))
    sample_rows = data.draw(st.integers(0, 50))
    baseline = decode(csv_to_qarn(csv_bytes, chunk_size=10**9, sample_rows=sample_rows))
    for chunk_size in (1, 2, 7):
        other = decode(csv_to_qarn(csv_bytes, chunk_size=chunk_size, sample_rows=sample_rows))
        assert other.column_types == baseline.column_types
        assert_same_rows(other.rows(), baseline.rows())
    # A different sample may change types, never which rows exist or their text.
    as_text = decode(csv_to_qarn(csv_bytes, sample_rows=0))
    assert [[str(v) for v in r] for r in as_text.rows()] == [
        [str(v) for v in r] for r in decode(csv_to_qarn(csv_bytes, sample_rows=0, chunk_size=3)).rows()
    ]


csv_bytes_alphabet = st.sampled_from([b",", b'"', b"\r", b"\n", b"a", b"1", b" ", b"\xc3\xa9", b"\xc3", b"\xff", b"\xef\xbb\xbf"])


@PROPERTY_SETTINGS
@given(st.one_of(st.binary(max_size=300), st.lists(csv_bytes_alphabet, max_size=80).map(b"".join)),
       st.integers(1, 20), st.integers(0, 20))
def test_any_bytes_read_as_the_plain_reader_reads_them(raw, chunk_size, sample_rows):
    header, rows, error = reference.read_csv(raw)
    try:
        out = csv_to_qarn(raw, chunk_size=chunk_size, sample_rows=sample_rows)
    except ValueError as failure:
        assert str(failure) == error
        return
    assert error is None
    result = decode(out)
    assert result.column_names == header and len(result.rows()) == len(rows)
    assert text_table(csv_to_qarn(raw, chunk_size=chunk_size, sample_rows=0)) == (header, rows)


# ------------------------------------------------- doubles against float()


def _decimal_strings(rng: random.Random, count: int) -> list[str]:
    """Decimal spellings the grammar accepts, weighted towards the hard cases."""
    getcontext().prec = 1200
    out = []

    def spell_digits(digits: str, exponent: int) -> str:
        style = rng.randrange(4)
        sign = rng.choice(["", "", "-", "+"])
        if style == 0:
            return f"{sign}{digits}e{exponent}"
        if style == 1:
            point = rng.randrange(len(digits) + 1)
            return f"{sign}{digits[:point]}.{digits[point:]}E{exponent - (len(digits) - point):+d}"
        if style == 2:
            return f"{sign}0.{'0' * rng.randrange(3)}{digits}e{exponent + len(digits)}"
        return f"{sign}{digits}{'0' * rng.randrange(3)}e{exponent - 2}"

    while len(out) < count:
        kind = rng.randrange(8)
        if kind == 0:  # short, common numbers
            out.append(f"{rng.uniform(-1e6, 1e6):.{rng.randrange(8)}f}")
        elif kind == 1:  # 17 to 40 significant digits, any magnitude
            digits = str(rng.randrange(1, 10)) + "".join(rng.choices("0123456789", k=rng.randrange(16, 40)))
            out.append(spell_digits(digits, rng.randrange(-360, 300)))
        elif kind == 2:  # up to 800 significant digits
            digits = str(rng.randrange(1, 10)) + "".join(rng.choices("0123456789", k=rng.randrange(40, 800)))
            out.append(spell_digits(digits, rng.randrange(-1100, 300)))
        elif kind == 3:  # exact halfway points between neighbouring doubles, and just beside them
            x = struct.unpack("<d", struct.pack("<Q", rng.randrange(1, 0x7FEFFFFFFFFFFFFF)))[0]
            y = struct.unpack("<d", struct.pack("<Q", float_bits(x) + 1))[0]
            middle = (Decimal(x) + Decimal(y)) / 2
            text = f"{middle:e}"
            out.append(text)
            mantissa, exponent = text.split("e")
            nudge = rng.choice(["1", "9", "0001", "49999"])
            out.append(mantissa + nudge + "e" + exponent)
        elif kind == 4:  # subnormals and the edges of the range
            out.append(repr(struct.unpack("<d", struct.pack("<Q", rng.randrange(1, 1 << 52)))[0]))
            out.append(rng.choice(["2.2250738585072014e-308", "2.2250738585072011e-308", "4.9406564584124654e-324",
                                   "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
                                   "1.7976931348623158e308", "1.7976931348623159e308", "179769313486231580793728971405301e276"]))
        elif kind == 5:  # overflow and underflow, with long exponents
            out.append(rng.choice(["", "-"]) + f"{rng.randrange(1, 10)}e{rng.randrange(309, 10**rng.randrange(3, 25))}")
            out.append(rng.choice(["", "-"]) + f"{rng.randrange(1, 10)}e-{rng.randrange(325, 10**rng.randrange(3, 25))}")
            out.append("0." + "0" * rng.randrange(300, 400) + "1e" + str(rng.randrange(0, 80)))
        elif kind == 6:  # round trips of random doubles, every spelling
            x = struct.unpack("<d", struct.pack("<Q", rng.randrange(0, 0x7FF0000000000000)))[0]
            out.append(rng.choice([repr(x), f"{x:.17g}", f"{x:.15e}", f"{x:.25e}"]))
        else:  # integers written as doubles, zeros, special words
            out.append(rng.choice([str(rng.randrange(-(10**25), 10**25)) + ".", "." + str(rng.randrange(10**20)),
                                   "0e0", "-0.000", "0e-99999", "inF", "-infinity", "NAN", "+nan", "-nAn"]))
    return out[:count]


def _shape(text: str) -> tuple[int, int, int]:
    return len(text), text.find("."), text.lower().find("e")


# As generated, batches mix spellings row by row; grouped by shape, nearly
# every batch holds fields spelled alike. The conversion reads the two kinds
# of column differently, and both must give Python's doubles.
@pytest.mark.parametrize("grouped", [False, True], ids=["mixed-spellings", "grouped-by-shape"])
def test_doubles_agree_with_python_float(grouped):
    seed = int(os.environ.get("QARN_DOUBLE_SEED", random.randrange(2**32)))
    strings = _decimal_strings(random.Random(seed), 100_000)
    if grouped:
        strings.sort(key=_shape)
    assert all(reference.parse_double(s) is not None for s in strings), "generator left the grammar"
    csv_bytes = ("d\n0.5\n" + "\n".join(strings) + "\n").encode()
    result = decode(csv_to_qarn(csv_bytes, sample_rows=1, chunk_size=30_000))
    assert result.column_types == ["double"]
    got = [v for s in result.slices for v in s[0].values][1:]
    for slice_ in result.slices:
        assert slice_[0].invalid is None
    mismatches = [(s, float_bits(g), float_bits(float(s))) for s, g in zip(strings, got) if float_bits(g) != float_bits(float(s))]
    assert not mismatches, f"seed {seed}: {mismatches[:5]}"


def _long_integer_text(rng: random.Random, bits: int) -> str:
    edge = 2 ** (bits - 1)
    kind = rng.randrange(6)
    if kind == 0:  # at and past the edges of the range
        return str(rng.choice([edge - 1, edge, -edge, -edge - 1]) + rng.choice([0, 1, -1]))
    if kind == 1:  # signs and leading zeros
        return rng.choice(["+", "-", ""]) + "0" * rng.randrange(1, 12) + str(rng.randrange(10**8, edge))
    if kind == 2:  # not an integer of the grammar
        return rng.choice(["", "-", "+", "12345678901x", " 1234567890", "1234567890 ", "1.5e10", "--123456789",
                           "9" * rng.randrange(19, 25), "١٢٣٤٥٦٧٨٩٠"])
    return rng.choice(["", "-"]) + str(rng.randrange(10**8, edge))


def _mixed_double_text(rng: random.Random) -> str:
    if rng.randrange(8) == 0:  # not a double of the grammar
        return rng.choice(["", "1e+", "1.2.3", "e5", "-", "5e1.0", "1_5", " 2.5", "0x10", "1e99999"])
    return rng.choice([f"{rng.uniform(-1000, 1000):.2f}", f"{rng.random() * 0.01:.0e}", f"{rng.random() * 1e11:.1E}",
                       str(rng.randrange(-5000, 5000)), repr(rng.uniform(-1, 1)), f"{rng.random():.17g}"])


# Columns whose fields vary from row to row, with invalid fields in random
# rows of every batch: the readers that leave some rows for a second pass
# must put each value and each invalid flag back on its own row.
@pytest.mark.parametrize("type_name", ["int", "long", "double"])
def test_varying_columns_keep_every_row_in_place(type_name):
    seed = int(os.environ.get("QARN_VARYING_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    if type_name == "double":
        first, texts = "-0.25", [_mixed_double_text(rng) for _ in range(20_000)]
    else:
        bits = 32 if type_name == "int" else 64
        first = "1234567890" if bits == 32 else "12345678901"
        texts = [_long_integer_text(rng, bits) for _ in range(20_000)]
    # A second column keeps empty fields from making blank lines.
    csv_bytes = ("v,k\n" + first + ",0\n" + "".join(f"{text},{i}\n" for i, text in enumerate(texts))).encode()
    result = decode(csv_to_qarn(csv_bytes, sample_rows=1, chunk_size=7_000))
    assert result.column_types == [type_name, "int"]
    got = [row[0] for row in result.rows()][1:]
    want = [reference.convert(text, type_name) for text in texts]
    wrong = [(t, g, w) for t, g, w in zip(texts, got, want) if not (same_value(g, w) or (g is None and w is None))]
    assert len(got) == len(texts) and not wrong, f"seed {seed}: {wrong[:5]}"


# Wide tables are read many rows to a batch whatever their width: every
# field must still land in its own row and column, misfits and missing
# values included, on one thread and on two.
@settings(max_examples=examples(25), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(129, 600), st.integers(1, 300), st.integers(0, 2**32 - 1), st.sampled_from([1, 2]))
def test_wide_tables_keep_every_field_in_place(width, rows, seed, threads):
    import qarn

    rng = random.Random(seed)
    kinds = [rng.choice(["int", "double", "text", "bool"]) for _ in range(width)]
    spell = {
        "int": lambda: str(rng.randrange(-999, 1000)),
        "double": lambda: f"{rng.uniform(-1e3, 1e3):.3f}",
        "text": lambda: rng.choice(["x", "yz", "Zürich"]),
        "bool": lambda: rng.choice(["true", "False"]),
    }
    table = [[rng.choice(["", "x"]) if rng.random() < 0.05 else spell[kind]() for kind in kinds] for _ in range(rows)]
    names = [f"c{i}" for i in range(width)]
    csv_bytes = (",".join(names) + "\n" + "".join(",".join(row) + "\n" for row in table)).encode()
    result = decode(qarn.convert(csv_bytes, threads=threads, chunk_size=97, sample_rows=50))
    types, values = expected_table(names, table, 50)
    assert result.column_types == types
    assert_same_rows(result.rows(), values)
