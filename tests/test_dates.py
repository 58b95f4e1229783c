"""Dates and timestamps: inferred with `parse_dates=True` or chosen with
`column_types`, stored as `long` days or microseconds with a "LogicalType"
column property, read back as dates and times by every reader, and written
back by `to_csv` as text that converts to the same file. Checked against
Python's calendar in tests/reference.py."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
import reference
from csv_strategies import comma_csv, tables
from scale import examples
from test_type_options import sizes

pytestmark = pytest.mark.usefixtures("threads_for_small_inputs")

SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])
UTC = "timestamp[us, tz=UTC]"


def kind(column) -> str:
    """The reference's name of what the column holds."""
    return "timestamp[UTC]" if column.logical_type == UTC else column.type


def stored(column) -> list:
    """The values as the reference gives them: integers for dates and times."""
    values = column.values.view(np.int64) if column.logical_type else column.values
    return [None if bad else value for value, bad in zip(values.tolist(), column.invalid.tolist())]


def naive(values: list) -> list:
    """Instants in UTC as the wall times numpy gives for them."""
    return [v.replace(tzinfo=None) if getattr(v, "tzinfo", None) is not None else v for v in values]


def same(a, b) -> bool:
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


@given(tables(), sizes, st.booleans())
@SETTINGS
def test_inferred_dates_and_timestamps_hold_the_calendar_values(table, size, every_record):
    names, rows = table
    if every_record:
        size = {**size, "sample_rows": None}
    read = qarn.read(qarn.convert(comma_csv(names, rows), parse_dates=True, **size))
    sample = rows if size["sample_rows"] is None else rows[: size["sample_rows"]]
    for position, column in enumerate(read):
        cells = [row[position] if position < len(row) else "" for row in rows]
        assert kind(column) == reference.infer_type([c for c in cells[: len(sample)]], dates=True)
        want = [reference.convert(cell, kind(column)) for cell in cells]
        assert all(same(a, b) for a, b in zip(stored(column), want)), (cells, kind(column))


@given(st.lists(st.one_of(tables().map(lambda t: t[1])), min_size=1, max_size=1), sizes)
@SETTINGS
def test_every_reader_and_to_csv_give_the_same_dates_and_times(rows_list, size):
    rows = rows_list[0]
    text = comma_csv([f"c{i}" for i in range(max((len(r) for r in rows), default=1))], rows)
    table = qarn.read(qarn.convert(text, parse_dates=True, sample_rows=None, threads=size["threads"]))
    arrow, frame, frame_pl = table.to_arrow(), table.to_pandas(), table.to_polars()
    for position, column in enumerate(table):
        if column.logical_type is None:
            continue
        numpy_values = [None if bad else v for v, bad in zip(column.values.tolist(), column.invalid.tolist())]
        assert naive(arrow.column(position).to_pylist()) == numpy_values
        assert naive(frame_pl.to_series(position).to_list()) == numpy_values
        as_pandas = [None if v is None or v != v else v for v in frame.iloc[:, position].tolist()]
        expected = [None if v is None else np.datetime64(v, "us") for v in numpy_values]
        assert [None if v is None else np.datetime64(v.to_datetime64(), "us") for v in as_pandas] == expected
    # The text to_csv writes reads back as the same file.
    again = qarn.convert(table.to_csv(), parse_dates=True, sample_rows=None)
    assert qarn.read(again).column_types == table.column_types
    for before, after in zip(table, qarn.read(again)):
        assert after.logical_type == before.logical_type
        assert all(same(a, b) for a, b in zip(stored(after), stored(before)))


@pytest.mark.parametrize(
    "cells, column_type, days_or_micros",
    [
        (["2024-02-29", "1970-01-01", "1969-12-31"], "date", [19782, 0, -1]),
        (["0001-01-01", "9999-12-31"], "date", [-719162, 2932896]),
        (["1970-01-01T00:00:00.000001", "1970-01-01 00:01", "1970-01-02"], "timestamp", [1, 60_000_000, 86_400_000_000]),
        (["1970-01-01T00:00:00.123456000", "1969-12-31T23:59:59.9"], "timestamp", [123_456, -100_000]),
        (["1970-01-01T01:00+01:00", "1970-01-01T00:00Z", "1969-12-31T19:00-05:00"], "timestamp[UTC]", [0, 0, 0]),
        (["1970-01-01T00:00", "1970-01-01T01:00+01:00"], "timestamp[UTC]", [0, 0]),  # wall time read as UTC
    ],
)
def test_calendar_values(cells, column_type, days_or_micros):
    column = qarn.read(qarn.convert(comma_csv(["x"], [[c] for c in cells]), parse_dates=True))["x"]
    assert kind(column) == column_type
    assert stored(column) == days_or_micros


@pytest.mark.parametrize(
    "cell",
    ["2023-02-29", "1900-02-29", "0000-01-01", "2024-1-01", "2024-01-01T24:00", "2024-01-01T12:60", "2024-01-01T12:00:60",
     "2024-01-01t12:00", "2024-01-01T12:00z", "2024-01-01T12:00+0100", "2024-01-01T12:00+24:00", "2024-01-01T12",
     "2024-01-01T12:00:00.1234567", "2024-01-01T12:00.5", "0001-01-01T00:00+00:01", "9999-12-31T23:59-00:01",
     " 2024-01-01", "2024-01-01Z", "+2024-01-01"],
)
def test_what_is_no_date_or_timestamp(cell):
    text = comma_csv(["x"], [[cell]])
    assert qarn.read(qarn.convert(text, parse_dates=True))["x"].type == "string"
    forced = qarn.read(qarn.convert(text, column_types="timestamp"))["x"]
    assert forced.invalid.tolist() == [True]


def test_chosen_timestamps_are_in_utc_when_the_sample_has_offsets():
    text = comma_csv(["a", "b"], [["2024-01-01 10:00", "2024-01-01 10:00+02:00"], ["2024-01-01 11:00+02:00", "x"]])
    table = qarn.read(qarn.convert(text, column_types="timestamp", sample_rows=1))
    assert [c.logical_type for c in table] == ["timestamp[us]", UTC]
    # In a column of wall times a value with an offset names an instant, not a wall time: a misfit.
    assert table["a"].invalid.tolist() == [False, True]
    # With types from every record, offsets anywhere count.
    late = b"t\n" + b"2024-03-01T12:00:00\n" * 1500 + b"2024-03-01T12:00:00Z\n"
    column = qarn.read(qarn.convert(late, column_types="timestamp", sample_rows=None, strict=True))["t"]
    assert column.logical_type == UTC and column.invalid_count == 0


def test_dates_from_elsewhere_that_no_date_can_be_are_read_as_integers():
    data = bytearray(qarn.convert(b"d\n2024-03-01\n", parse_dates=True))
    days = (19783).to_bytes(8, "little")
    data[data.rindex(days) : data.rindex(days) + 8] = (2**40).to_bytes(8, "little")
    column = qarn.read(bytes(data))["d"]
    assert (column.type, column.logical_type, column.values.tolist()) == ("long", None, [2**40])
    assert qarn.read(bytes(data)).to_arrow().column(0).type == "int64"


def test_dates_need_asking_for_and_other_readers_see_integers():
    text = b"d\n2024-03-01\n"
    assert qarn.read(qarn.convert(text)).column_types == ["string"]
    column = qarn.read(qarn.convert(text, parse_dates=True))["d"]
    assert (column.type, column.type_id, column.properties["LogicalType"]) == ("date", 3, "date32[day]")


def test_what_an_invalid_date_holds_is_never_read_as_a_date():
    # The file may hold anything under an invalid cell; pandas once turned it
    # into seconds before marking it missing, and overflowed.
    data = bytearray(qarn.convert(b"d,n\n2024-03-01,1\n,2\n", parse_dates=True))
    at = data.rindex((19783).to_bytes(8, "little") + bytes(8)) + 8
    data[at : at + 8] = (2**62).to_bytes(8, "little")
    table = qarn.read(bytes(data))
    assert table["d"].logical_type == "date32[day]" and table["d"].invalid.tolist() == [False, True]
    assert table.to_pandas()["d"].isna().tolist() == [False, True]
