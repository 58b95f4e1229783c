"""String columns read alike every way: into Arrow and polars (laid out as
views after the read, or decoded straight into them), as values, and a
slice at a time, over several slices and run-length ones."""

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
    assert qarn.read_polars(data).equals(table.to_polars())
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


_corruptible = st.lists(st.one_of(_text, st.text(min_size=13, max_size=40)), min_size=1, max_size=30)


@settings(max_examples=examples(300), deadline=None)
@given(_corruptible, st.data())
def test_a_corrupted_file_fails_alike_whether_read_into_views_or_not(cells, data):
    # Any byte of the string blocks changed to any other: bad UTF-8 within a
    # short or long element or across two, a broken length, a wrong total.
    file = bytearray(qarn.write({"s": np.array(cells, dtype=object), "n": np.arange(len(cells))}, chunk_size=7))
    at = data.draw(st.integers(0, len(file) - 1))
    file[at] = data.draw(st.integers(0, 255))
    try:
        expected = qarn.read(bytes(file)).to_polars()
    except qarn.FormatError as error:
        with pytest.raises(qarn.FormatError) as raised:
            qarn.read_polars(bytes(file))
        assert (str(raised.value), raised.value.offset) == (str(error), error.offset)
    else:
        assert qarn.read_polars(bytes(file)).equals(expected)


@pytest.mark.parametrize(
    "cells",
    [
        ["a" * 13 + "Q", "R" + "b" * 13],  # long ends where the next long one goes on
        ["Q", "R"],  # two short ones
        ["a" * 13 + "Q", "R"],  # a long one, then a short one
        ["Q", "R" + "b" * 13],
        ["ok", "a" * 12 + "Q"],  # a short one ends in half a character
    ],
)
def test_a_character_split_between_two_elements_is_invalid_every_way(cells):
    # "é" is C3 A9: each half alone is not text, though the halves joined are.
    data = qarn.write({"s": np.array(cells, dtype=object)}).replace(b"Q", b"\xc3").replace(b"R", b"\xa9")
    with pytest.raises(qarn.FormatError) as expected:
        qarn.read(data)
    assert "invalid string" in str(expected.value)
    with pytest.raises(qarn.FormatError) as raised:
        qarn.read_polars(data)
    assert (str(raised.value), raised.value.offset) == (str(expected.value), expected.value.offset)
