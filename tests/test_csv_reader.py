"""The CSV dialect: quoting, line ends, blank lines, the byte-order mark,
ragged records, and the exact texts of UTF-8 errors with their positions."""

import pytest

from _qarn import csv_to_qarn
from qarn_decoder import text_table

BOM = b"\xef\xbb\xbf"


def read(data: bytes, **kwargs):
    """Header and records as the reader delivers them (all columns text)."""
    return text_table(csv_to_qarn(data, sample_rows=0, **kwargs))


@pytest.mark.parametrize(
    "data, header, rows",
    [
        # Quoting
        (b'h\n"x""y"\n', ["h"], [['x"y']]),
        (b'h\n""\n', ["h"], [[""]]),
        (b'h\nab"c\n', ["h"], [['ab"c']]),
        (b'h\n"ab"cd\n', ["h"], [["abcd"]]),
        (b'h,i\n"a" ,b\n', ["h", "i"], [["a ", "b"]]),
        (b'h,i\n"a\nb",c\n', ["h", "i"], [["a\nb", "c"]]),
        (b'h\n"a\r\nb"\n', ["h"], [["a\r\nb"]]),
        (b'h\n"abc', ["h"], [["abc"]]),
        (b'h\n"a""', ["h"], [['a"']]),
        (b'h\n"a"""', ["h"], [['a"']]),
        (b'h\n"a"x"y', ["h"], [['ax"y']]),
        (b'h\n"a"x""y\n', ["h"], [['ax""y']]),
        (b'h\n""""\n', ["h"], [['"']]),
        (b'h,i\n"",""\n', ["h", "i"], [["", ""]]),
        (b'h\n"a,b"\n', ["h"], [["a,b"]]),
        (b'h\n a ,"b"\n', ["h"], [[" a "]]),
        (b'h\nx"\n', ["h"], [['x"']]),
        (b'"h\n', ["h\n"], []),
        (b'h\n"a"', ["h"], [["a"]]),
        (b'h\n"a"b', ["h"], [["ab"]]),
        (b"h\n\\\"x\n", ["h"], [['\\"x']]),
        # Fields, empty and ragged
        (b"h,i\n1,\n", ["h", "i"], [["1", ""]]),
        (b"h,i\n,\n", ["h", "i"], [["", ""]]),
        (b"h\n \n", ["h"], [[" "]]),
        (b"h,i\n1", ["h", "i"], [["1", ""]]),
        (b"h,i\n1,", ["h", "i"], [["1", ""]]),
        (b"a,b\n1,2,3\n4\n", ["a", "b"], [["1", "2"], ["4", ""]]),
        (b"h\n#c\n", ["h"], [["#c"]]),
        (b"h\n\x00\t\x01\n", ["h"], [["\x00\t\x01"]]),
        # Line ends and blank lines
        (b"h\r1\r2", ["h"], [["1"], ["2"]]),
        (b"h\r\n1\r\n2\r\n", ["h"], [["1"], ["2"]]),
        (b"h\n1\r\r\n2\n", ["h"], [["1"], ["2"]]),
        (b"h\n1\n\r2\n", ["h"], [["1"], ["2"]]),
        (b"h\n\n\n1\n\r\n\r\n2\n\n", ["h"], [["1"], ["2"]]),
        (b"\r\n\nh\n1", ["h"], [["1"]]),
        # Byte-order mark: skipped at offset 0 only
        (BOM + b"a,b\n1,2\n", ["a", "b"], [["1", "2"]]),
        (b"\n" + BOM + b"a,b\n", ["\ufeffa", "b"], []),
        (b"a\n" + BOM + b"x\n", ["a"], [["\ufeffx"]]),
        (BOM + BOM + b"a\n", ["\ufeffa"], []),
        (BOM + b'"a"\n', ["a"], []),
    ],
)
def test_dialect(data, header, rows):
    assert read(data) == (header, rows)


def test_fields_keep_bytes_beyond_ascii():
    text = "h\n\u00e9\u4e2d\U0001F600,x\n"
    assert read(text.encode()) == (["h"], [["\u00e9\u4e2d\U0001F600"]])


PIECE = 8192


@pytest.mark.parametrize("shift", range(-3, 4))
@pytest.mark.parametrize(
    "make",
    [
        # A plain field, a quoted field with a doubled quote, a CR LF pair and
        # a multi-byte character, each placed across the 8192-byte boundary.
        lambda pad: (b"h\n" + b"x" * pad + b"abcdef\n", ["x" * pad + "abcdef"]),
        lambda pad: (b"h\n" + b"x" * pad + b'\n"ab""cd"\n', ["x" * pad, 'ab"cd']),
        lambda pad: (b"h\r\n" + b"x" * pad + b"\r\nz\r\n", ["x" * pad, "z"]),
        lambda pad: (b"h\n" + b"x" * pad + "\u20ac\u20ac\n".encode(), ["x" * pad + "\u20ac\u20ac"]),
    ],
)
def test_piece_boundaries_do_not_matter(make, shift):
    prefix_length = 2 if make(0)[0].startswith(b"h\n") else 3
    data, fields = make(PIECE - prefix_length - 2 + shift)
    _, rows = read(data)
    assert [r[0] for r in rows] == fields


def message(record, line, field, byte, valid_up_to):
    return (
        f"CSV parse error: record {record} (line {line}, field: {field}, byte: {byte}): "
        f"invalid utf-8: invalid UTF-8 in field {field} near byte index {valid_up_to}"
    )


@pytest.mark.parametrize(
    "data, expected",
    [
        # The worked examples.
        (b"id,name\n1,\xffx\n", "CSV parse error: " + message(1, 2, 1, 8, 0)),
        (BOM + b"a,b\xc3(\n1,2\n", "CSV header error: " + message(0, 1, 1, 0, 1)),
        (b"h\r\nok\r\n\r\nbad\xff\r\n", "CSV parse error: " + message(2, 2, 0, 6, 3)),
        # Header errors always sit at record 0, line 1, byte 0.
        (b"\n\n\xff\n", "CSV header error: " + message(0, 1, 0, 0, 0)),
        (b"a,\"b\xe2\x82\"\n", "CSV header error: " + message(0, 1, 1, 0, 1)),
        # Invalid sequences, and where the valid prefix ends.
        (b"h\nab\xe2\x82\n", "CSV parse error: " + message(1, 2, 0, 2, 2)),
        (b"h\nab\xe2\x82", "CSV parse error: " + message(1, 2, 0, 2, 2)),
        (b"h\n\xc0\xaf\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\nx\xed\xa0\x80\n", "CSV parse error: " + message(1, 2, 0, 2, 1)),
        (b"h\n\xf4\x90\x80\x80\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\n\xe0\x80\x80\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\n\xf0\x8f\xbf\xbf\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\n\xf8\x88\x80\x80\x80\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\n\x80\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        (b"h\n\xc3\xa9\xc3\n", "CSV parse error: " + message(1, 2, 0, 2, 2)),
        # A sequence cut by a delimiter is invalid in its own field.
        (b"h\n\xc3,\xa9\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
        # Fields beyond the header's width are still checked.
        (b"h\n1,2,\xff\n", "CSV parse error: " + message(1, 2, 2, 2, 0)),
        # The first invalid field of the first invalid record is the one reported.
        (b"h\nok\n\xc3\xa9,x\xff,\xff\n\xff\n", "CSV parse error: " + message(2, 3, 1, 5, 1)),
        # Unquoting happens before the check: "" becomes one quote.
        (b'h\n"a""\xff"\n', "CSV parse error: " + message(1, 2, 0, 2, 2)),
        # Quoted line breaks count as lines for later records.
        (b'h\n"a\nb"\n\xff\n', "CSV parse error: " + message(2, 4, 0, 8, 0)),
        # CR LF input reports the line the previous record ended on.
        (b"h\r\n1\r\n2\r\n\xff\r\n", "CSV parse error: " + message(3, 3, 0, 8, 0)),
        (b"h\r1\r\xff\r", "CSV parse error: " + message(2, 1, 0, 4, 0)),
        # Blank lines before a record come after its position.
        (b"h\n\n\n\xff\n", "CSV parse error: " + message(1, 2, 0, 2, 0)),
    ],
)
def test_utf8_errors(data, expected):
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data)
    assert str(info.value) == expected
    assert info.value.args == (expected,)


def test_bytes_that_only_look_invalid_across_a_quote_are_valid():
    # The raw bytes C3 22 A9 are invalid, but the field's content after
    # unquoting is C3 A9, a valid character.
    assert read(b'h\n"\xc3"\xa9\n') == (["h"], [["\u00e9"]])


def test_error_beyond_the_sample_fails_the_whole_call():
    data = b"n\n" + b"1\n" * 1999 + b"\xff\n" + b"2\n" * 10
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data, chunk_size=100)
    assert str(info.value) == "CSV parse error: " + message(2000, 2001, 0, 2 + 2 * 1999, 0)


def test_byte_offsets_are_written_in_full():
    data = b"h\n" + b"x" * (123456 - 3) + b"\n\xff\n"
    with pytest.raises(ValueError, match=r"byte: 123456\)"):
        csv_to_qarn(data)


def test_valid_non_ascii_raises_nothing():
    assert read("h\n\u00e9\n".encode()) == (["h"], [["\u00e9"]])
