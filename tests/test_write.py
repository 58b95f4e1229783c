"""qarn.write: what it writes reads back as the table it was given, a file
read and written again is the same bytes, and what QARN cannot hold is
refused with one line naming the column."""

import datetime as dt
import io
import os

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
from _qarn import csv_to_qarn
from csv_strategies import comma_csv, tables
from scale import examples

SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])

UTC = dt.timezone.utc
small_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
days = st.dates(dt.date(1, 1, 1), dt.date(9999, 12, 31))
moments = st.datetimes(dt.datetime(1, 1, 1), dt.datetime(9999, 12, 31, 23, 59, 59, 999999))

# Arrow type, its values, and the type it reads back as.
COLUMN_KINDS = {
    "bool": (pa.bool_(), st.booleans(), pa.bool_()),
    "int8": (pa.int8(), st.integers(-(2**7), 2**7 - 1), pa.int32()),
    "int16": (pa.int16(), st.integers(-(2**15), 2**15 - 1), pa.int32()),
    "int32": (pa.int32(), st.integers(-(2**31), 2**31 - 1), pa.int32()),
    "int64": (pa.int64(), st.integers(-(2**63), 2**63 - 1), pa.int64()),
    "uint8": (pa.uint8(), st.integers(0, 2**8 - 1), pa.int32()),
    "uint16": (pa.uint16(), st.integers(0, 2**16 - 1), pa.int32()),
    "uint32": (pa.uint32(), st.integers(0, 2**32 - 1), pa.int64()),
    "uint64": (pa.uint64(), st.integers(0, 2**63 - 1), pa.int64()),
    "float32": (pa.float32(), st.floats(allow_nan=False, width=32), pa.float32()),
    "float64": (pa.float64(), st.floats(allow_nan=False), pa.float64()),
    "string": (pa.string(), small_text, pa.string()),
    "large_string": (pa.large_string(), small_text, pa.string()),
    "binary": (pa.binary(), st.binary(max_size=6), pa.binary()),
    "large_binary": (pa.large_binary(), st.binary(max_size=6), pa.binary()),
    "date32": (pa.date32(), days, pa.date32()),
    "timestamp": (pa.timestamp("us"), moments, pa.timestamp("us")),
    "timestamp_utc": (pa.timestamp("us", tz="UTC"), moments.map(lambda m: m.replace(tzinfo=UTC)),
                      pa.timestamp("us", tz="UTC")),
    "timestamp_ms": (pa.timestamp("ms"), moments.map(lambda m: m.replace(microsecond=m.microsecond // 1000 * 1000)),
                     pa.timestamp("us")),
    "timestamp_s_zone": (pa.timestamp("s", tz="Europe/Paris"), moments.map(lambda m: m.replace(microsecond=0,
                         tzinfo=UTC)), pa.timestamp("us", tz="UTC")),
}  # fmt: skip


@st.composite
def arrow_tables(draw):
    """A table of random columns with nulls, cut into chunks at random, seen
    through an offset; and the table it reads back as."""
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMN_KINDS)), min_size=1, max_size=6))
    rows = draw(st.integers(0, 30))
    skip = draw(st.integers(0, 3))
    arrays, expected = [], []
    for kind in kinds:
        arrow_type, values, read_type = COLUMN_KINDS[kind]
        cells = draw(st.lists(st.one_of(st.none(), values), min_size=rows + skip, max_size=rows + skip))
        arrays.append(pa.array(cells, type=arrow_type))
        expected.append(pa.array(cells, type=arrow_type).cast(read_type))
    names = [f"{kind}-{i}" for i, kind in enumerate(kinds)]
    table = pa.table(arrays, names=names).slice(skip)
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=3)))
    pieces = [table.slice(a, b - a) for a, b in zip([0, *cuts], [*cuts, rows])]
    return pa.concat_tables(pieces), pa.table(expected, names=names).slice(skip)


@SETTINGS
@given(arrow_tables(), st.integers(1, 7), st.integers(1, 9))
def test_tables_read_back_as_written_whatever_their_chunks_and_batches(tables_, chunk_size, batch_rows):
    table, expected = tables_
    written = qarn.write(table, chunk_size=chunk_size)
    back = qarn.read(written)
    assert back.to_arrow().equals(expected.combine_chunks())
    assert back.slice_rows == [min(chunk_size, table.num_rows - start) for start in range(0, table.num_rows, chunk_size)]
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=batch_rows))
    assert qarn.write(reader, chunk_size=chunk_size) == written
    target = io.BytesIO()
    assert qarn.write(table, target, chunk_size=chunk_size) is None
    assert target.getvalue() == written


def unique_names(names):
    # to_arrow renames repeated and empty names; polars takes no NUL in one
    return [f"{name.replace(chr(0), '')}#{i}" for i, name in enumerate(names)]


@SETTINGS
@given(tables(), st.integers(1, 7), st.booleans())
def test_a_converted_file_read_and_written_again_is_the_same_bytes(table, chunk_size, parse_dates):
    names, rows = table
    csv = comma_csv(unique_names(names), rows)
    if parse_dates:
        original = qarn.convert(csv, chunk_size=chunk_size, parse_dates=True)
    else:
        original = csv_to_qarn(csv, chunk_size=chunk_size)
    read = qarn.read(original)
    assert qarn.write(read.to_arrow(), chunk_size=chunk_size) == original
    assert qarn.write(read.to_polars(), chunk_size=chunk_size) == original


def test_pandas_polars_and_numpy_columns_read_back():
    frame = pd.DataFrame({
        "i": pd.array([1, None, 3], dtype="Int64"),
        "f": [1.5, np.nan, -0.0],  # NaN is pandas' missing value
        "s": pd.array(["a", None, "ç"], dtype="string"),
        "c": pd.Categorical(["x", "y", "x"]),
        "t": pd.to_datetime(["2024-01-02 03:04:05.000006", None, "1999-12-31 00:00:00.000000"]),
        "z": pd.to_datetime(["2024-01-02", None, None]).tz_localize("Europe/Berlin"),
    }, index=[10, 20, 30])  # fmt: skip
    back = qarn.read(qarn.write(frame)).to_pandas()
    assert back.columns.tolist() == ["i", "f", "s", "c", "t", "z"]
    assert back["i"].tolist() == [1, pd.NA, 3] and back["f"].tolist()[::2] == [1.5, 0.0] and back["f"].isna()[1]
    assert back["s"].tolist()[::2] == ["a", "ç"] and back["c"].tolist() == ["x", "y", "x"]
    assert back["t"].tolist()[::2] == [pd.Timestamp("2024-01-02 03:04:05.000006"), pd.Timestamp("1999-12-31")]
    assert back["z"][0] == pd.Timestamp("2024-01-01 23:00", tz="UTC")  # the same instant, in UTC

    polars = pl.DataFrame({"a": [1, None], "b": ["x", None], "d": [dt.date(2020, 1, 2), None]})
    assert qarn.read(qarn.write(polars)).to_polars().equals(polars.with_columns(pl.col("a").cast(pl.Int64)))

    nan = np.frombuffer(np.array([0x7FF8000000000123], dtype="<u8").tobytes(), dtype="<f8")[0]
    columns = {
        "b": np.array([True, False, True]),
        "u": np.array([1, 2, 2**64 - 1], dtype=np.uint64)[:2].repeat([2, 1]),
        "h": np.array([1.5, -0.0, nan], dtype=np.float64),
        "f16": np.array([0.5, 1, 2], dtype=np.float16),
        "be": np.array([1, 2, 3], dtype=">i4"),
        "m": np.ma.masked_array([1, 2, 3], mask=[False, True, False]),
        "d": np.array(["2020-01-01", "NaT", "0001-01-01"], dtype="datetime64[D]"),
        "ns": np.array(["2020-01-01T00:00:00.000001", "NaT", "1970-01-01"], dtype="datetime64[ns]"),
        "o": np.array(["a", None, "b"], dtype=object),
        "ob": np.array([b"\x00", None, b""], dtype=object),
        "U": np.array(["x", "yy", "é"]),
        # Steps of a unit, units finer than nanoseconds, the other byte order: the same instants.
        "10ms": np.array(["2024-01-01T00:00:01.230", "NaT", "1970-01-01"], dtype="datetime64[10ms]"),
        "ps": np.array([1_500_000_000_000, 0, -1_000_000], dtype="datetime64[ps]"),
        ">us": np.array(["1970-01-01T00:00:00.000001", "NaT", "2024-02-29"], dtype=">M8[us]"),
        # Nulls of Arrow arrays and Series stay missing rather than turn into NaN.
        "pa": pa.array([1, None, 3]),
        "pl": pl.Series([None, 2, 3]),
        "pd": pd.Series([1, 2, None], dtype="Int64"),
    }
    back = qarn.read(qarn.write(columns, chunk_size=2))
    assert back.column_types == ["bool", "long", "double", "float", "int", "long", "date", "timestamp", "string",
                                 "bytes", "string", "timestamp", "timestamp", "timestamp", "long", "long", "long"]  # fmt: skip
    for name in ("10ms", "ps", ">us"):
        given = columns[name][~np.isnat(columns[name])]
        assert back[name].values[~back[name].invalid].tolist() == given.astype("datetime64[us]").tolist()
    assert [back[name].invalid.tolist() for name in ("pa", "pl", "pd")] == [[False, True, False],
                                                                           [True, False, False],
                                                                           [False, False, True]]  # fmt: skip
    assert back["h"].values.view("<u8").tolist() == columns["h"].view("<u8").tolist()  # NaN payload, -0.0
    assert back["u"].values.tolist() == [1, 1, 2]
    assert back["be"].values.tolist() == [1, 2, 3]
    assert back["m"].invalid.tolist() == [False, True, False]
    assert back["d"].invalid.tolist() == back["ns"].invalid.tolist() == [False, True, False]
    assert back["ns"].values[0] == np.datetime64("2020-01-01T00:00:00.000001")
    assert back["o"].values.tolist() == ["a", "", "b"] and back["o"].invalid.tolist() == [False, True, False]
    assert back["ob"].values.tolist() == [b"\x00", b"", b""]


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (pa.table({"tags": pa.array([[1]])}), TypeError,
         "column 'tags' has type list<item: int64>, which QARN files cannot hold "
         "(bool, integers, floats, strings, binary, dates and timestamps)"),
        (pa.table({"d": pa.array([1], pa.decimal128(5, 2))}), TypeError, "column 'd' has type decimal128(5, 2), "),
        (pa.table({"s": pa.array([{"x": 1}])}), TypeError, "column 's' has type struct<x: int64>, "),
        (pa.table({"t": pa.array([1], pa.time64("us"))}), TypeError, "column 't' has type time64[us], "),
        ({"c": np.array([1j])}, TypeError, "column 'c' has type complex128, "),
        ({"o": np.array([1, "a"], dtype=object)}, TypeError, "column 'o' has type object holding int, "),
        (pd.DataFrame({"x": [1, "a"]}), TypeError, "column 'x' cannot be written: "),
        # Arrow's conversion alone would make these bytes, or times without their zone.
        (pd.DataFrame({"x": pd.Series(["a", b"b"], dtype=object)}), TypeError,
         "column 'x' holds both str and bytes values; a column holds one type"),
        (pd.DataFrame({"x": pd.Series([dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)],
                                      dtype=object)}), TypeError,
         "column 'x' holds times with and without a time zone; a column holds one type"),
        ({"s": np.array(["a", "b\ud800"], dtype=object)}, ValueError,
         "column 's' holds a string that is not valid Unicode (a lone surrogate) at row 1"),
        (pd.DataFrame({"s": pd.Series(["b\ud800"], dtype=object)}), ValueError,
         "column 's' holds a string that is not valid Unicode (a lone surrogate) at row 0"),
        # polars hands an Object column to Arrow as the addresses of its objects.
        (pl.DataFrame({"o": pl.Series(["a"], dtype=pl.Object)}), TypeError, "column 'o' has type Object, "),
        ({"o": pl.Series(["a"], dtype=pl.Object)}, TypeError, "column 'o' has type Object, "),
        (pa.table({"d": pa.array([86_400_001], pa.date64())}), ValueError, "column 'd' cannot be written: "),
        ({"p": np.array([1_500_000_000_001], dtype="datetime64[ps]")}, ValueError,
         "column 'p' holds 1970-01-01T00:00:01.500000000001 at row 0, which is not whole nanoseconds"),
        ({"h": np.array([2**62], dtype="datetime64[h]")}, ValueError,
         "column 'h' holds a time out of the range of datetime64[s]"),
        ({"a": np.zeros(2), "b": np.zeros(3)}, ValueError, "the columns have different lengths: [2, 3]"),
        ({"m": np.zeros((2, 2))}, ValueError, "column 'm' has 2 dimensions; a column has one"),
        (pa.table({"u": pa.array([0, 2**64 - 1], pa.uint64())}), ValueError,
         "column 'u', row 1: 18446744073709551615 does not fit a long "
         "(unsigned 64-bit values above 9223372036854775807 cannot be written)"),
        (pa.table({"d": pa.array([0, None, 2932897], pa.date32())}), ValueError,
         "column 'd', row 2: the date or time 2932897 (in the column's unit) lies outside the years 0001 to 9999 "
         "that QARN dates and timestamps hold"),
        ({"n": np.array([0, 1500], dtype="datetime64[ns]")}, ValueError,
         "column 'n', row 1: the timestamp 1500 ns is not a whole number of microseconds, the finest unit QARN "
         "timestamps hold; round it first (pandas: .dt.floor('us'))"),
        ([1, 2], TypeError, "data must be a pyarrow Table, RecordBatch or RecordBatchReader, a pandas or polars "
         "DataFrame, or a mapping of names to numpy arrays, not list"),
    ],
)  # fmt: skip
def test_what_qarn_cannot_hold_is_refused_naming_the_column(data, error, message, tmp_path):
    with pytest.raises(error) as raised:
        qarn.write(data, tmp_path / "out.qarn")
    assert str(raised.value).startswith(message)
    assert "\n" not in str(raised.value)
    assert os.listdir(tmp_path) == []  # no partial file, no temporary left


def test_a_categorical_of_times_is_written_as_its_values():
    frame = pd.DataFrame({"when": pd.Categorical(pd.to_datetime(["2024-01-01", None, "2024-01-01"]))})
    back = qarn.read(qarn.write(frame))
    assert back.column_types == ["timestamp"] and back["when"].invalid.tolist() == [False, True, False]


def test_a_target_through_a_symbolic_link_replaces_the_file_it_names(tmp_path):
    qarn.write(pa.table({"old": [1]}), tmp_path / "real.qarn")
    os.symlink("real.qarn", tmp_path / "link.qarn")
    qarn.write(pa.table({"new": [2]}), tmp_path / "link.qarn")
    assert os.path.islink(tmp_path / "link.qarn") and qarn.read(tmp_path / "real.qarn").column_names == ["new"]
    (tmp_path / "folder").mkdir()
    with pytest.raises(IsADirectoryError) as raised:
        qarn.write(pa.table({"new": [2]}), tmp_path / "folder")
    assert raised.value.filename == str(tmp_path / "folder")  # not the temporary name


def test_a_reader_is_streamed_and_a_failure_on_the_way_leaves_no_file(tmp_path):
    produced = []

    def batches():
        for start in range(0, 50, 10):
            produced.append(start)
            yield pa.record_batch({"x": pa.array(range(start, start + 10), pa.int64())})
        yield pa.record_batch({"x": pa.array([-1], pa.int64())})

    writes = []

    class Sink(io.BytesIO):
        def write(self, data):
            writes.append(len(produced))
            return super().write(data)

    sink = Sink()
    qarn.write(pa.RecordBatchReader.from_batches(pa.schema({"x": pa.int64()}), batches()), sink, chunk_size=20)
    assert writes[:3] == [2, 4, 5]  # each slice written before the batches after it are read
    assert qarn.read(sink.getvalue())["x"].values.tolist() == [*range(50), -1]

    def failing():
        yield pa.record_batch({"d": pa.array([1], pa.date32())})
        yield pa.record_batch({"d": pa.array([10**7], pa.date32())})

    reader = pa.RecordBatchReader.from_batches(pa.schema({"d": pa.date32()}), failing())
    with pytest.raises(ValueError, match="column 'd', row 1: "):
        qarn.write(reader, tmp_path / "x.qarn", chunk_size=1)
    assert os.listdir(tmp_path) == []


def test_edges_of_the_arguments():
    empty = pa.table({"a": pa.array([], pa.int32())})
    assert qarn.read(qarn.write(empty)).column_types == ["int"]
    assert qarn.read(qarn.write(pa.table({"n": pa.nulls(2)}))).column_types == ["string"]
    assert qarn.read(qarn.write({})).num_rows == 0
    with pytest.raises(ValueError, match="^chunk_size must be at least 1$"):
        qarn.write(empty, chunk_size=0)
    with pytest.raises(TypeError, match="^chunk_size must be an int, not float$"):
        qarn.write(empty, chunk_size=1.0)
