"""Column type inference and field conversion, through whole conversions."""

import struct

import pytest

from _qarn import csv_to_qarn
from qarn_decoder import decode, float_bits


def column(values: list[str], **kwargs):
    """Converts a one-column CSV; returns (type, decoded slice)."""
    lines = [b"c"] + [b'"' + v.encode().replace(b'"', b'""') + b'"' for v in values]
    result = decode(csv_to_qarn(b"\n".join(lines) + b"\n", **kwargs))
    return result.column_types[0], result.slices[0][0] if result.slices else None


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], "string"),
        (["", ""], "string"),
        (["1", ""], "int"),
        (["true", "FALSE", " True "], "bool"),
        (["\u00a0true\u3000", "false\u2029"], "bool"),
        (["true", "1"], "string"),
        (["1", "0"], "int"),
        (["yes", "no"], "string"),
        (["t", "f"], "string"),
        (["true\u200b"], "string"),
        (["2147483647"], "int"),
        (["2147483648"], "long"),
        (["-2147483648"], "int"),
        (["-2147483649"], "long"),
        (["9223372036854775807"], "long"),
        (["-9223372036854775808"], "long"),
        (["9223372036854775808"], "double"),
        (["-9223372036854775809"], "double"),
        (["0000000000000000000000000042"], "int"),
        (["+5", "-0", "+0", "007"], "int"),
        (["1", "2147483648", "3"], "long"),
        (["1", "1.5"], "double"),
        (["1", ".5"], "double"),
        (["1", "5."], "double"),
        (["1", "1e3"], "double"),
        (["1", "NaN"], "double"),
        (["1", "-Infinity"], "double"),
        (["1", "1e400"], "double"),
        (["1", "inF", "+nan", "-INFINITY"], "double"),
        (["1", "."], "string"),
        (["1", "1e"], "string"),
        (["1", "+"], "string"),
        (["1", "-"], "string"),
        (["1", " 1"], "string"),
        (["1", "1 "], "string"),
        (["1", "  "], "string"),
        (["0x10"], "string"),
        (["1_000"], "string"),
        (["1,5"], "string"),
        (["1.2.3"], "string"),
        (["infin"], "string"),
        (["nan(1)"], "string"),
        (["0x1p3"], "string"),
        (["\u0661"], "string"),  # a digit, but not an ASCII one
        (["1e+"], "string"),
        (["e3"], "string"),
        (["--1"], "string"),
        (["+-1"], "string"),
    ],
)
def test_inference(values, expected):
    assert column(values)[0] == expected


def test_inference_sees_only_the_sample():
    assert column(["", "", "5"], sample_rows=2)[0] == "string"
    assert column(["1", "x"], sample_rows=1)[0] == "int"
    assert column(["1", "x"], sample_rows=0)[0] == "string"


def test_extra_fields_take_part_in_no_column():
    result = decode(csv_to_qarn(b"a\n1,x\n2,y\n"))
    assert result.column_types == ["int"]
    assert result.rows() == [[1], [2]]


def invalid_bytes(slice_):
    entry = slice_.properties.get("IsInvalid")
    if entry is None:
        return None
    bits = entry[1]
    packed = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            packed[i // 8] |= 0x80 >> (i % 8)
    return bytes(packed)


@pytest.mark.parametrize(
    "sample, values, type_name, stored, invalid",
    [
        (["1"], ["5", "abc", "", " 7"], "int", [5, 0, 0, 0], b"\x70"),
        (["1"], ["2147483648", "-2147483648"], "int", [0, -(2**31)], b"\x80"),
        (["1"], ["2.5", "1e3"], "int", [0, 0], b"\xc0"),
        (["5000000000"], ["2.5", "-9223372036854775808"], "long", [0, -(2**63)], b"\x80"),
        (["1.5"], ["nan", "1e400", "-0", "x"], "double", [float("nan"), float("inf"), -0.0, 0.0], b"\x10"),
        (["1.5"], ["-nan", "-1e-400", "4.9e-324", "1.7976931348623157e308"], "double",
         [-float("nan"), -0.0, 5e-324, 1.7976931348623157e308], None),
        (["true"], [" TRUE ", "false", "yes"], "bool", [True, False, False], b"\x20"),
        (["true"], ["", " ", "1"], "bool", [False, False, False], b"\xe0"),
        (["x"], ["a", "", "  "], "string", ["a", "", "  "], b"\x40"),
        (["x"], ["1", "a\nb", "\r\n"], "string", ["1", "a\nb", "\r\n"], None),
        (["1"], ["1"] * 8 + ["x"], "int", [1] * 8 + [0], b"\x00\x80"),
        (["1"], ["1"] * 10, "int", [1] * 10, None),
    ],
)
def test_conversion(sample, values, type_name, stored, invalid):
    type_found, slice_ = column(sample + values, sample_rows=len(sample), chunk_size=len(sample) + len(values))
    assert type_found == type_name
    got = slice_.values[len(sample):]
    if type_name == "double":
        assert [float_bits(v) for v in got] == [float_bits(v) for v in stored]
    else:
        assert got == stored
    if invalid is None:
        assert slice_.invalid is None
    else:
        expected_bits = [bool(invalid[i // 8] & (0x80 >> (i % 8))) for i in range(len(values))]
        assert slice_.invalid == [False] * len(sample) + expected_bits


def test_invalid_bits_cover_exactly_the_slice():
    # Two columns, one with an invalid row in the second slice only.
    data = b"a,b\n" + b"".join(b"%d,%s\n" % (i, b"x" if i == 12 else b"%d" % i) for i in range(20))
    result = decode(csv_to_qarn(data, chunk_size=10, sample_rows=5))
    first, second = result.slices
    assert first[0].invalid is None and first[1].invalid is None
    assert second[0].invalid is None
    assert second[1].invalid == [i == 2 for i in range(10)]
    assert invalid_bytes(second[1]) == b"\x20\x00"


def test_short_records_are_invalid_in_every_missing_column():
    result = decode(csv_to_qarn(b"a,b,c\n1,true,x\n2\n", sample_rows=1))
    assert result.column_types == ["int", "bool", "string"]
    assert result.rows() == [[1, True, "x"], [2, None, None]]
    assert [c.values[1] for c in result.slices[0]] == [2, False, ""]


def test_types_never_change_after_the_sample():
    data = b"n,s\n1,\n" + b"2147483648,7\n"
    result = decode(csv_to_qarn(data, sample_rows=1))
    assert result.column_types == ["int", "string"]
    assert result.rows() == [[1, None], [None, "7"]]


def test_double_values_are_written_bit_for_bit():
    out = csv_to_qarn(b"d\n1.5\n-0\nnan\n-nan\n")
    assert struct.pack("<dddd", 1.5, -0.0, float("nan"), -float("nan")) in out
    assert bytes.fromhex("000000000000f87f 000000000000f8ff") in out
