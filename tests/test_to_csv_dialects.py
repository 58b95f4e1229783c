"""Table.to_csv in other dialects and encodings: the text reads back, with
Python's own csv reader in the same dialect, as the header and the cells;
a table the dialect cannot write raises ValueError naming the cell; and the
comma default still converts back to the very same file."""

import csv
import io
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scale import examples

import qarn
from csv_strategies import csv_spellings, ints

texts = st.one_of(
    st.just(""),
    st.lists(st.sampled_from([*",;\t|: \"'\\\r\n", "\r\n", "a", "1", "é", "€", "\U0001f600", "\ufeff"]), max_size=6).map(
        "".join
    ),
)


@st.composite
def tables(draw):
    kinds = draw(st.lists(st.sampled_from(["text", "int"]), min_size=1, max_size=4))
    names = draw(st.lists(texts, min_size=len(kinds), max_size=len(kinds)))
    cells = {"text": texts, "int": st.one_of(ints.map(str), st.just(""))}
    rows = draw(st.lists(st.tuples(*(cells[k] for k in kinds)).map(list), max_size=12))
    return names, rows


dialects = st.fixed_dictionaries(
    {
        "delimiter": st.sampled_from([",", ";", "\t", "|", ":", " "]),
        "quotechar": st.sampled_from(['"', "'", None]),
        "escapechar": st.sampled_from([None, "\\"]),
        "doublequote": st.booleans(),
        "lineterminator": st.sampled_from(["\n", "\r\n", "\r"]),
        "header": st.booleans(),
    }
)


def cell_text(column: qarn.Column, row: int) -> str:
    """A cell as to_csv spells it: invalid cells empty."""
    if column.invalid[row]:
        return ""
    value = column.values[row]
    if column.type == "string":
        return value
    if column.type == "bool":
        return "true" if value else "false"
    if column.type == "double":
        return ("-nan" if math.copysign(1, value) < 0 else "nan") if math.isnan(value) else repr(float(value))
    return str(int(value))


def cannot_write(records: list[list[str]], delimiter, quotechar, escapechar, doublequote, **_) -> bool:
    """Whether some field of the records cannot be written to read back."""
    special = {delimiter, "\r", "\n"} | {c for c in (quotechar, escapechar) if c is not None}
    for r, record in enumerate(records):
        for c, text in enumerate(record):
            if text == "" and len(record) == 1 and quotechar is None:
                return True  # a blank line
            if special & set(text):
                if quotechar is None and escapechar is None:
                    return True
                if quotechar is not None and quotechar in text and not doublequote and escapechar is None:
                    return True
            elif r == c == 0 and text.startswith("\ufeff") and quotechar is None and escapechar is None:
                return True  # taken for a byte-order mark
    return False


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_every_dialect_reads_back_with_pythons_csv_reader(data):
    names, rows = data.draw(tables())
    q = qarn.convert(data.draw(csv_spellings(names, rows)))
    table = qarn.read(q)
    assert qarn.convert(table.to_csv()) == q

    dialect = data.draw(dialects)
    records = [[cell_text(column, row) for column in table] for row in range(table.num_rows)]
    if dialect["header"]:
        records.insert(0, table.column_names)
    if cannot_write(records, **dialect):
        with pytest.raises(ValueError, match=r"^cannot write (the name|row \d+) of column \d+"):
            table.to_csv(**dialect)
        return
    text = table.to_csv(**dialect).decode()
    quoting = csv.QUOTE_NONE if dialect["quotechar"] is None else csv.QUOTE_MINIMAL
    options = {k: dialect[k] for k in ("delimiter", "quotechar", "escapechar", "doublequote")}
    assert list(csv.reader(io.StringIO(text, newline=""), quoting=quoting, **options)) == records


def table_of(text: str) -> qarn.Table:
    return qarn.read(qarn.convert(text.encode()))


@pytest.mark.parametrize(
    "text, options, error, message",
    [
        ("a\n1\n", {"delimiter": ""}, ValueError, "delimiter must be a single ASCII character, not ''"),
        ("a\n1\n", {"delimiter": ";;"}, ValueError, "delimiter must be a single ASCII character"),
        ("a\n1\n", {"quotechar": "é"}, ValueError, "quotechar must be a single ASCII character"),
        ("a\n1\n", {"delimiter": None}, TypeError, "delimiter must be a string, not NoneType"),
        ("a\n1\n", {"escapechar": b"\\"}, TypeError, "escapechar must be a string or None, not bytes"),
        ("a\n1\n", {"delimiter": "\n"}, ValueError, "delimiter and line end must differ"),
        ("a\n1\n", {"quotechar": "\r"}, ValueError, "quotechar and line end must differ"),
        ("a\n1\n", {"quotechar": ";", "delimiter": ";"}, ValueError, "delimiter and quotechar must differ"),
        ("a\n1\n", {"escapechar": "'", "quotechar": "'"}, ValueError, "quotechar and escapechar must differ"),
        ("a\n1\n", {"lineterminator": "\n\r"}, ValueError, "lineterminator must be"),
        ("a\n1\n", {"lineterminator": None}, TypeError, "lineterminator must be a string"),
        ("a\n1\n", {"doublequote": "no"}, TypeError, "doublequote must be True or False"),
        ("a\n1\n", {"header": 0}, TypeError, "header must be True or False"),
        ("a\n1\n", {"encoding": "no-such-codec"}, ValueError, "no-such-codec"),
        ("a\n1\n", {"encoding": "hex"}, ValueError, "not a text encoding"),
        ("a\n1\n", {"encoding": 8}, TypeError, "encoding must be a string"),
        ("a,b\nx,1\n\"y,z\",2\n", {"quotechar": None}, ValueError,
         r"cannot write row 1 of column 0 \('a'\): it holds the delimiter"),
        ("a,\"b\"\"\"\n1,2\n", {"doublequote": False}, ValueError,
         r"cannot write the name of column 1 \('b\"'\): it holds the quotechar"),
        ("a\n1\n\n\"\"\n", {"quotechar": None, "escapechar": "\\"}, ValueError,
         r"cannot write row 1 of column 0 \('a'\): it is empty and alone"),
        ("\"\ufeffa\",b\n1,2\n", {"quotechar": None}, ValueError, r"the name of column 0 .*U\+FEFF"),
        ("a,b\n\"\ufeffx\",2\n", {"quotechar": None, "header": False}, ValueError, r"row 0 of column 0 .*U\+FEFF"),
        ("a,b\nx,1\ny,\u4e00\n", {"encoding": "cp1252"}, ValueError,
         r"the cp1252 encoding cannot encode '\u4e00' \(U\+4E00\) in row 1 of column 1 \('b'\)"),
        ("a,\u4e00\n1,2\n", {"encoding": "latin-1", "delimiter": ";"}, ValueError,
         r"cannot encode '\u4e00' .* in the name of column 1"),
    ],
)
def test_options_the_table_cannot_be_written_with_raise(tmp_path, text, options, error, message):
    target = tmp_path / "out.csv"
    with pytest.raises(error, match=message):
        table_of(text).to_csv(target, **options)
    assert not target.exists()


@pytest.mark.parametrize("encoding", ["cp1252", "utf-16", "utf-8-sig"])
@pytest.mark.parametrize("options", [{}, {"delimiter": "\t", "quotechar": None, "escapechar": "\\"}])
def test_other_encodings_hold_the_same_text(encoding, options):
    table = table_of('n\u00e9,m\n\u20acuro,1\n"\u00fc\tber\nline",2\n')
    assert table.to_csv(encoding=encoding, **options).decode(encoding) == table.to_csv(**options).decode()
