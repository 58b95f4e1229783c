"""String columns read alike every way: into Arrow and polars, as values,
and a slice at a time, over several slices and run-length ones."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from qarn_builder import STRING, ColumnDef, build, column_slice, plain, run_length
from scale import examples

import qarn

pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

# Lengths around the 12 bytes a view holds inline, and past the 127 bytes of
# a one-byte packed length.
_text = st.text(st.characters(exclude_categories=("Cs",)), max_size=16)
_cell = st.one_of(st.none(), _text, st.text(min_size=120, max_size=140))


def _assert_every_reading_agrees(data: bytes, expected: list[str | None]) -> None:
    table = qarn.read(data)
    plain_arrow = table.to_arrow()
    assert plain_arrow.column(0).to_pylist() == expected
    assert table.to_polars().equals(pl.from_arrow(plain_arrow))
    stored = ["" if value is None else value for value in expected]  # an invalid cell stores ""
    assert table[0].values.tolist() == stored
    # A slice at a time, the same.
    parts = [part.to_polars() for part in qarn.iter_slices(data)]
    assert pl.concat(parts).equals(table.to_polars()) if parts else len(expected) == 0


@settings(max_examples=examples(80), deadline=None)
@given(st.lists(_cell, max_size=40), st.integers(1, 7))
def test_string_columns_read_alike_every_way(cells, chunk_size):
    data = qarn.write({"s": np.array(cells, dtype=object)}, chunk_size=chunk_size)
    _assert_every_reading_agrees(data, cells)


def test_run_length_strings_among_plain_ones():
    long = "a long value past twelve bytes"
    slices = [
        [column_slice(plain(STRING, ["x", long, ""]))],
        [column_slice(run_length(STRING, [("short", 3), (long, 256), ("", 1)]))],
        [column_slice(plain(STRING, ["ü" * 7]))],
    ]
    data = build([ColumnDef("s", STRING)], slices)
    _assert_every_reading_agrees(data, ["x", long, "", *["short"] * 3, *[long] * 256, "", "ü" * 7])


def test_a_table_read_after_another_is_dropped_has_its_own_strings():
    # Columns of a few MB, whose blocks the allocator may hand out again.
    rows = 300_000
    first = qarn.write({"s": np.array([f"first value {i % 97}" for i in range(rows)], dtype=object)})
    second = qarn.write({"s": np.array([f"second {i % 89:>9}" for i in range(rows)], dtype=object)})
    frame = qarn.read(first).to_polars()
    assert frame["s"][rows - 1] == f"first value {(rows - 1) % 97}"
    del frame
    frame = qarn.read(second).to_polars()
    assert frame["s"].to_list() == [f"second {i % 89:>9}" for i in range(rows)]
