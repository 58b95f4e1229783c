"""The options of qarn.convert that decide what cells hold: null markers
read as empty fields, types chosen over inference, and types from every
record. Each is checked against what it is defined by: `_qarn` on the text
with the markers emptied, the plain grammars, `_qarn` with a sample as
large as the input."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
import reference
from _qarn import csv_to_qarn
from csv_strategies import comma_csv, tables
from scale import examples

SETTINGS = settings(max_examples=examples(120), deadline=None, suppress_health_check=[HealthCheck.too_slow])
sizes = st.fixed_dictionaries({"chunk_size": st.integers(1, 20), "sample_rows": st.integers(0, 20),
                               "threads": st.integers(1, 3)})


pytestmark = pytest.mark.usefixtures("threads_for_small_inputs")


@given(tables(), st.lists(st.sampled_from(["NA", "NULL", "n/a", "-", "", "1", "true", " "]), max_size=3),
       st.data(), sizes)
@SETTINGS
def test_null_markers_read_as_the_text_with_them_emptied(table, markers, data, size):
    names, rows = table
    # Some cells become markers; any cell equal to one is emptied, as are they.
    rows = [[data.draw(st.sampled_from(markers)) if markers and data.draw(st.integers(0, 4)) == 0 else cell
             for cell in row] for row in rows]
    emptied = [["" if cell in markers else cell for cell in row] for row in rows]
    expected = csv_to_qarn(comma_csv(names, emptied), size["chunk_size"], size["sample_rows"])
    assert qarn.convert(comma_csv(names, rows), null_values=markers, **size) == expected


def test_default_null_markers():
    text = b"a,b,c\n" + b"\n".join(f"{m},1,x".encode() for m in qarn.dialect.DEFAULT_NULL_VALUES) + b"\n2,nan,\n"
    emptied = b"a,b,c\n" + b",1,x\n" * len(qarn.dialect.DEFAULT_NULL_VALUES) + b"2,nan,\n"
    assert qarn.convert(text, null_values="default") == csv_to_qarn(emptied)


@given(tables(), sizes)
@SETTINGS
def test_types_from_every_record_are_those_of_a_sample_of_all(table, size):
    text = comma_csv(*table)
    expected = csv_to_qarn(text, size["chunk_size"], 10**9)
    assert qarn.convert(text, **{**size, "sample_rows": None}) == expected


@given(tables(), st.data(), sizes)
@SETTINGS
def test_chosen_types_convert_fields_by_their_grammar(table, data, size):
    names, rows = table
    chosen = [data.draw(st.sampled_from([None, *qarn._column_types.TYPES])) for _ in names]
    read = qarn.read(qarn.convert(comma_csv(names, rows), column_types=chosen, **size))
    for position, type_name in enumerate(chosen):
        if type_name is None:  # left to inference
            continue
        column = read[position]
        cells = [row[position] if position < len(row) else "" for row in rows]
        assert column.type == type_name
        utc = column.logical_type == "timestamp[us, tz=UTC]"
        values = column.values.view("<i8") if column.logical_type else column.values
        for cell, value, invalid in zip(cells, values.tolist(), column.invalid):
            want = reference.convert(cell, "timestamp[UTC]" if utc else type_name)  # None: invalid
            assert invalid == (want is None), (cell, type_name)
            if want is not None:
                assert value == want or math.isnan(want) and math.isnan(value)


@pytest.mark.parametrize(
    "column_types, types",
    [
        ("string", ["string", "string", "string"]),
        (["string", None, "double"], ["string", "int", "double"]),
        ({"zip": "string", -1: "long"}, ["string", "int", "long"]),
        ({1: "double"}, ["long", "double", "int"]),
        ({"1": "double", "2020": "string"}, ["long", "double", "string"]),  # a number no column has names a position
    ],
)
def test_column_types_by_name_position_or_for_all(column_types, types):
    text = b"zip,n,2020\n00501,1,2\n99999999999,3,4\n"
    assert qarn.read(qarn.convert(text, column_types=column_types)).column_types == types


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"column_types": {"nope": "int"}}, ValueError,
         "column_types names a column the table does not have: 'nope'; the columns are 'a', 'b'"),
        ({"column_types": {5: "int"}}, ValueError, "column_types numbers a column the table does not have: 5 (it has 2)"),
        ({"column_types": "datetime"}, ValueError,
         "column_types must be one of bool, int, long, float, double, string, date, timestamp, not 'datetime'"),
        ({"column_types": {True: "int"}}, TypeError, "column_types keys are column names or positions, not True"),
        ({"column_types": 3}, TypeError, "column_types must be a type name, a list or a dict, not int"),
        ({"null_values": "NA"}, TypeError, "null_values must be a list of strings"),
        ({"null_values": [1]}, TypeError, "null_values must be strings, not int"),
        ({"sample_rows": "all"}, TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_bad_type_options_name_the_option(options, error, message):
    with pytest.raises(error) as caught:
        qarn.convert(b"a,b\n1,2\n", **options)
    assert str(caught.value).startswith(message)
