"""Whatever the converter writes, qarn reads back exactly, and its CSV
converts to the very same file."""

import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scale import examples

import qarn
from _qarn import csv_to_qarn
from csv_strategies import csv_spellings, tables
from qarn_decoder import decode

SETTINGS = settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])

edge_numbers = st.sampled_from(
    ["0", "-0", "+0", "007", "1.0", "-0.0", "1e16", "1E+16", "5e-324", "2.2250738585072014e-308",
     "1.7976931348623157e308", "1e400", "-1e-400", "nan", "-nan", "NaN", "inf", "-Infinity",
     "0.1", "123456789012345678901234567890", "2147483648", "-9223372036854775808", ".5", "5."]
)
one_column = st.tuples(
    st.text(max_size=3), st.lists(st.one_of(edge_numbers, st.just(""), st.text(max_size=4)), max_size=12)
).map(lambda t: ([t[0]], [[cell] for cell in t[1]]))


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def assert_cells_equal(table: qarn.Table, oracle) -> None:
    assert table.column_names == oracle.column_names
    assert table.column_types == oracle.column_types
    assert table.num_rows == sum(len(s[0].values) for s in oracle.slices) if oracle.slices else table.num_rows == 0
    for position, column in enumerate(table):
        expected_values = [v for s in oracle.slices for v in s[position].values]
        expected_invalid = [b for s in oracle.slices for b in (s[position].invalid or [False] * len(s[position].values))]
        assert column.invalid.tolist() == expected_invalid
        got = column.values.tolist()
        if column.type == "double":
            assert [bits(v) for v in got] == [bits(v) for v in expected_values]
        else:
            assert got == expected_values


@SETTINGS
@given(st.data())
def test_read_gives_every_cell_and_its_csv_converts_to_the_same_bytes(data):
    names, rows = data.draw(st.one_of(tables(), one_column))
    csv = data.draw(csv_spellings(names, rows))
    chunk_size = data.draw(st.sampled_from([1, 2, 3, 7, 10000]))
    sample_rows = data.draw(st.sampled_from([0, 1, 2, 5, 1000]))
    q = csv_to_qarn(csv, chunk_size, sample_rows)

    table = qarn.read(q)
    assert_cells_equal(table, decode(q))
    assert table.num_slices == len(decode(q).slices)
    assert csv_to_qarn(table.to_csv(), chunk_size, sample_rows) == q


@SETTINGS
@given(st.data())
def test_slices_read_one_at_a_time_join_to_the_whole(data):
    names, rows = data.draw(tables())
    q = csv_to_qarn(data.draw(csv_spellings(names, rows)), data.draw(st.integers(1, 9)), 5)
    whole = qarn.read(q)
    parts = list(qarn.iter_slices(q))
    assert [p.num_rows for p in parts] == whole.slice_rows
    for position, column in enumerate(whole):
        joined_values = [v for p in parts for v in p[position].values.tolist()]
        joined_invalid = [v for p in parts for v in p[position].invalid.tolist()]
        assert joined_invalid == column.invalid.tolist()
        if column.type == "double":
            assert [bits(v) for v in joined_values] == [bits(v) for v in column.values.tolist()]
        else:
            assert joined_values == column.values.tolist()


@settings(max_examples=examples(60), deadline=None)
@given(st.data())
def test_selected_columns_equal_the_same_columns_of_a_full_read(data):
    names, rows = data.draw(tables())
    q = csv_to_qarn(data.draw(csv_spellings(names, rows)), 3, 5)
    chosen = data.draw(st.lists(st.integers(0, len(names) - 1), min_size=1, max_size=len(names), unique=True))
    whole, part = qarn.read(q), qarn.read(q, columns=chosen)
    assert part.column_names == [names[i] for i in chosen]
    for position, index in enumerate(chosen):
        assert np.array_equal(part[position].invalid, whole[index].invalid)
        assert part[position].values.tobytes() == whole[index].values.tobytes() or part[position].type == "string"
        assert part[position].values.tolist() == whole[index].values.tolist() or part[position].type == "double"
