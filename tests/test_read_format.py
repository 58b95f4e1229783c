"""Reading what the format can hold beyond what the converter writes: every
value type, run-length and bit arrays, defaults, extra column properties and
further value properties, from files built by hand."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qarn
from qarn_builder import (
    BOOL, BYTES, DOUBLE, FLOAT, INT, LONG, OPAQUE16, STRING, ColumnDef, Property, bit_array, build,
    column_slice, count, packed, plain, run_length,
)

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF4000000000123))[0]
NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]

# type id, values as written, the dtype they come back as, the type's name
TYPES = [
    (BOOL, [True, False, True], np.bool_, "bool"),
    (INT, [-1, 2**31 - 1, -(2**31)], np.int32, "int"),
    (LONG, [1, -(2**63), 2**63 - 1], np.int64, "long"),
    (FLOAT, [1.5, -0.0, math.inf], np.float32, "float"),
    (DOUBLE, [NAN_PAYLOAD, -0.0, NEGATIVE_NAN], np.float64, "double"),
    (0x06, [0, 2**64 - 1, 7], np.uint64, "0x06"),
    (0x07, [1, 2, 3], np.uint64, "0x07"),
    (0x08, [1, 2, 3], np.uint64, "0x08"),
    (0x09, [1, 2, 3], np.uint64, "0x09"),
    (STRING, ["", "é", "a,b\n"], object, "string"),
    (BYTES, [b"", b"\xff\x00", b"x" * 200], object, "bytes"),
    (OPAQUE16, [bytes(range(16)), b"\xff" * 16, b"a" * 15 + b"\x00"], np.dtype("S16"), "0x0D"),
]


def stored(array: np.ndarray):
    """What numpy holds: the values' bytes, or the elements of an object array."""
    return array.tolist() if array.dtype == object else array.tobytes()


def written(type_id: int, values: list):
    return list(values) if type_id in (STRING, BYTES) else packed(type_id, values)


@pytest.mark.parametrize("type_id, values, dtype, name", TYPES, ids=[t[3] for t in TYPES])
@pytest.mark.parametrize("encoding", ["plain", "run-length"])
def test_every_type_reads_back_bit_for_bit(type_id, values, dtype, name, encoding):
    array = plain(type_id, values) if encoding == "plain" else run_length(type_id, [(v, 1) for v in values])
    table = qarn.read(build([ColumnDef("c", type_id)], [[column_slice(array)], [column_slice(plain(type_id, values[:1]))]]))
    column = table["c"]
    assert (column.type, table.column_types, table.num_rows, table.slice_rows) == (name, [name], 4, [3, 1])
    assert column.values.dtype == np.dtype(dtype)
    assert stored(column.values) == written(type_id, values + values[:1])
    assert not column.invalid.any()


def test_run_lengths_expand_and_bit_arrays_hold_bools():
    table = qarn.read(build(
        [ColumnDef("n", INT), ColumnDef("b", BOOL)],
        [[column_slice(run_length(INT, [(7, 3), (9, 1), (4, 256)])), column_slice(bit_array([1, 0, 1] + [0] * 256 + [1]))]],
    ))
    assert table["n"].values.tolist() == [7, 7, 7, 9] + [4] * 256
    assert table["b"].values.tolist() == [True, False, True] + [False] * 256 + [True]


def test_properties_with_defaults_and_extra_column_properties():
    properties = [
        Property("TableColumns", INT, 2),
        Property("Title", STRING, "trips", default="untitled"),
        Property("Scale", DOUBLE, 0.5),
        Property("Flags", BYTES, b"\x01\x02", default=b""),
        Property("TableColumns", INT, 99),  # only the first entry of a name counts
    ]
    columns = [
        ColumnDef("a", INT, [Property("Unit", STRING, "km"), Property("Weight", FLOAT, 2.5)]),
        ColumnDef("b", STRING, [Property("Weight", FLOAT, 1.0)]),
    ]
    table = qarn.read(build(columns, [], properties, {"Unit": "m"}))
    assert table.table_properties == {"TableColumns": 2, "Title": "trips", "Scale": 0.5, "Flags": b"\x01\x02"}
    assert table.table_property_defaults == {"Title": "untitled", "Flags": b""}
    assert [(d.name, d.type, d.default, d.has_default) for d in table.column_property_definitions] == [
        ("Name", "string", None, False), ("DataType", "bytes", None, False),
        ("Unit", "string", "m", True), ("Weight", "float", None, False),
    ]
    assert table["a"].properties == {"Name": "a", "DataType": b"\x02", "Unit": "km", "Weight": 2.5}
    assert table["b"].properties == {"Name": "b", "DataType": b"\x0a", "Weight": 1.0}
    assert (table.num_rows, table.num_slices, len(table["a"])) == (0, 0, 0)


@pytest.mark.parametrize(
    "definitions, without",
    [
        # Another order than the converter writes, extras first.
        ([Property("Unit", STRING), Property("DataType", BYTES), Property("Name", STRING)], ()),
        # Name and type from the definitions' defaults.
        ([Property("Name", STRING, default="a"), Property("DataType", BYTES, default=bytes([INT]))],
         ("Name", "DataType")),
        ([Property("DataType", BYTES, default=bytes([STRING])), Property("Name", STRING)], ("DataType",)),
    ],
)
def test_columns_named_and_typed_by_any_definition_order_or_by_defaults(definitions, without):
    columns = [ColumnDef("a", INT, [Property("Unit", STRING, "m")], without), ColumnDef("b", INT)]
    defaults = {d.name: d.default for d in definitions}
    if "DataType" in without and defaults["DataType"] == bytes([STRING]):
        slices = [[column_slice(plain(STRING, ["x"])), column_slice(plain(INT, [2]))]]
        expected_types = ["string", "int"]
    else:
        slices = [[column_slice(plain(INT, [1])), column_slice(plain(INT, [2]))]]
        expected_types = ["int", "int"]
    data = build(columns, slices, definitions=definitions)
    qarn.validate(data)
    table = qarn.read(data)
    expected_names = [defaults["Name"] if "Name" in without else "a", "b"]
    assert (table.column_names, table.column_types) == (expected_names, expected_types)
    assert [t.column_names for t in qarn.iter_slices(data)] == [expected_names]
    assert [c.type for c in qarn.summarize(data).columns] == expected_types
    assert qarn.read(data, columns=[expected_names[0]]).column_names == expected_names[:1]


def test_value_properties_of_each_slice():
    first = column_slice(plain(INT, [1, 2, 3]), [
        ("IsInvalid", bit_array([0, 1, 0])),
        ("ErrorCode", plain(INT, [0, 17, 0])),
        ("HasReplacedValue", run_length(BOOL, [(False, 2), (True, 1)])),
        ("Note", plain(STRING, ["", "odd", ""])),
    ])
    second = column_slice(plain(INT, [4]), [("Note", plain(STRING, ["last"]))])
    table = qarn.read(build([ColumnDef("n", INT)], [[first], [second]]))
    props = table.slice_properties(0, "n")
    assert list(props) == ["IsInvalid", "ErrorCode", "HasReplacedValue", "Note"]
    assert props["IsInvalid"].tolist() == [False, True, False]
    assert props["ErrorCode"].tolist() == [0, 17, 0]
    assert props["HasReplacedValue"].tolist() == [False, False, True]
    assert props["Note"].tolist() == ["", "odd", ""]
    last = table.slice_properties(-1, 0)
    assert list(last) == ["Note"] and last["Note"].tolist() == ["last"]
    assert table["n"].invalid.tolist() == [False, True, False, False]
    with pytest.raises(IndexError):
        table.slice_properties(2, "n")


def test_duplicate_column_names_are_kept_and_the_first_is_found_by_name():
    table = qarn.read(build([ColumnDef("x", INT), ColumnDef("x", STRING)],
                            [[column_slice(plain(INT, [1])), column_slice(plain(STRING, ["s"]))]]))
    assert table.column_names == ["x", "x"]
    assert table["x"].type == "int" and table[1].type == "string"
    assert list(table.to_pandas().columns) == ["x", "x"]


def test_a_table_without_columns():
    table = qarn.read(build([], [[], []], []))
    assert (len(table), table.num_rows, table.num_slices, table.column_names) == (0, 0, 2, [])
    assert table.to_csv() == b""


def test_sixteen_byte_values_keep_their_trailing_zero_bytes_in_pandas():
    pytest.importorskip("pandas")
    values = [b"\x01" + bytes(15), bytes(16)]
    table = qarn.read(build([ColumnDef("o", OPAQUE16)], [[column_slice(plain(OPAQUE16, values))]]))
    assert table.to_pandas()["o"].tolist() == values
    assert table.to_arrow().column("o").to_pylist() == values


def test_a_defect_after_long_runs_fails_before_the_runs_are_spelt_out():
    # 64 runs of 256 make 16384 rows from a few hundred bytes; the second
    # column's bad bool must fail the read as it fails the check.
    runs = run_length(LONG, [(7, 256)] * 64)
    bad = bytes([1, BOOL]) + count(16384) + bytes([1] * 16383 + [2])
    data = build([ColumnDef("n", LONG), ColumnDef("b", BOOL)], [[column_slice(runs), column_slice(bad)]])
    with pytest.raises(qarn.FormatError) as checked:
        qarn.validate(data)
    with pytest.raises(qarn.FormatError) as read:
        qarn.read(data)
    assert str(read.value) == str(checked.value) and "invalid bool" in str(read.value)


# Texts whose lengths repeat for a while and then change, as codes and
# times do, with lengths on both sides of the 32 bytes copied at once and
# of 128, where a length takes two bytes.
_RUN_TEXTS = st.lists(
    st.tuples(
        st.sampled_from(["", "a", "été", "x" * 8, "y" * 31, "z" * 33, "w" * 127, "v" * 130]),
        st.integers(1, 256),
    ),
    max_size=40,
)


@given(runs=_RUN_TEXTS, repeat=st.integers(1, 20), runs_first=st.booleans())
@settings(max_examples=80, deadline=None)
def test_texts_read_back_whether_plain_or_in_runs(runs, repeat, runs_first):
    # Plain: each text `repeat` times in a row, so that equal lengths come
    # in groups of every size; in runs: as given. Either slice may come
    # first, so that each is appended after the other's data.
    plain_texts = [text for text, _ in runs for _ in range(repeat)]
    run_texts = [text for text, times in runs for _ in range(times)]
    slices = [[column_slice(plain(STRING, plain_texts))], [column_slice(run_length(STRING, runs))]]
    expected = plain_texts + run_texts
    if runs_first:
        slices.reverse()
        expected = run_texts + plain_texts
    table = qarn.read(build([ColumnDef("s", STRING)], slices))
    assert table["s"].values.tolist() == expected
