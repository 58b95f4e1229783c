"""The qarn package's surface: sources, column selection, errors, the
conversions to other libraries, CSV back out, and conversion to files."""

import bz2
import gzip
import io
import lzma
import mmap
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _qarn
import qarn
from scale import examples

CSV = b"id,name,score,ok\n1,ann,1.5,true\n2,,nan,\n3,\xc3\xa9,-0.0,FALSE\n4,d,x,true\n"
QARN = _qarn.csv_to_qarn(CSV, 3, 3)


def float_bits(values) -> list[int]:
    return [struct.unpack("<Q", struct.pack("<d", v))[0] for v in values]


# ------------------------------------------------------------------ sources


@pytest.fixture
def qarn_path(tmp_path):
    path = tmp_path / "t.qarn"
    path.write_bytes(QARN)
    return path


@pytest.mark.parametrize(
    "make_source",
    [
        lambda p: QARN,
        lambda p: bytearray(QARN),
        lambda p: memoryview(QARN),
        lambda p: memoryview(b"xx" + QARN)[2:],
        lambda p: str(p),
        lambda p: p,
        lambda p: io.BytesIO(QARN),
        lambda p: open(p, "rb"),
    ],
    ids=["bytes", "bytearray", "memoryview", "sliced view", "str path", "PathLike", "BytesIO", "file"],
)
def test_every_kind_of_source_reads_the_same(make_source, qarn_path):
    source = make_source(qarn_path)
    table = qarn.read(source)
    assert table.column_names == ["id", "name", "score", "ok"]
    assert table.column_types == ["int", "string", "double", "bool"]
    assert (table.num_rows, table.num_slices, table.slice_rows) == (4, 2, [3, 1])
    if hasattr(source, "close"):
        source.close()


def test_a_mapped_file_is_released_after_reading(qarn_path):
    with open(qarn_path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
        table = qarn.read(mapping)
        assert table["id"].values.tolist() == [1, 2, 3, 4]
        for _ in qarn.iter_slices(mapping):
            pass
    # closing the mapping would fail with BufferError if a view were still held


def test_file_objects_are_read_from_where_they_stand_and_left_at_their_end(qarn_path):
    for opener in (lambda: open(qarn_path, "rb"), lambda: io.BytesIO(QARN)):
        with opener() as file:
            file.write(b"") if isinstance(file, io.BytesIO) else None
            file.seek(0)
            assert qarn.read(file).num_rows == 4
            assert file.read() == b""
    padded = qarn_path.with_suffix(".padded")
    padded.write_bytes(b"xyz" + QARN)
    with open(padded, "rb") as file:
        file.seek(3)
        assert [t.num_rows for t in qarn.iter_slices(file)] == [3, 1]


class Reversed:
    """A reader over a file that gives other bytes than the file holds."""

    def __init__(self, path, data):
        self.file, self.data = open(path, "rb"), data

    def read(self, size=-1):
        return self.data

    def fileno(self):
        return self.file.fileno()

    def close(self):
        self.file.close()


@pytest.mark.parametrize(
    "opener",
    [
        lambda path, data: gzip.open(path.with_suffix(".gz")),
        lambda path, data: bz2.open(path.with_suffix(".bz2")),
        lambda path, data: lzma.open(path.with_suffix(".xz")),
        lambda path, data: Reversed(path.with_suffix(".gz"), data),
    ],
    ids=["gzip.open", "bz2.open", "lzma.open", "custom reader"],
)
@pytest.mark.parametrize("kind", ["read", "convert"])
def test_wrapping_file_objects_are_read_through_read_not_mapped(opener, kind, tmp_path):
    # Each holds a descriptor of a file on disk whose bytes are not what it reads.
    data = QARN if kind == "read" else CSV
    path = tmp_path / "t"
    for suffix, compress in ((".gz", gzip.compress), (".bz2", bz2.compress), (".xz", lzma.compress)):
        path.with_suffix(suffix).write_bytes(compress(data))
    source = opener(path, data)
    try:
        if kind == "read":
            assert qarn.read(source).num_rows == 4
        else:
            assert qarn.convert(source, chunk_size=3, sample_rows=3) == QARN
    finally:
        source.close()


def test_a_view_with_gaps_is_read_from_a_copy():
    doubled = bytes(b for pair in zip(QARN, QARN) for b in pair)
    assert qarn.read(memoryview(doubled)[::2]).num_rows == 4


@pytest.mark.parametrize("source, error", [(42, TypeError), (io.StringIO("x"), TypeError), ("/no/such/file", FileNotFoundError)])
def test_bad_sources(source, error):
    with pytest.raises(error):
        qarn.read(source)


# ----------------------------------------------------------------- columns


def test_columns_by_name_and_index_in_the_order_asked():
    table = qarn.read(QARN, columns=["score", 0, -1])
    assert table.column_names == ["score", "id", "ok"]
    assert float_bits(table["score"].values)[2] == float_bits([-0.0])[0]
    assert table[1].values.tolist() == [1, 2, 3, 4]
    assert "name" not in table and "id" in table


NAMES = "the columns are 'id', 'name', 'score', 'ok'"


@pytest.mark.parametrize(
    "key, error, message",
    [
        ("nope", KeyError, f"no column named 'nope'; {NAMES}"),
        ("0", KeyError, f"no column named '0'; {NAMES}"),
        (4, IndexError, "column 4 out of range for 4 columns"),
        (-5, IndexError, "column -5 out of range for 4 columns"),
        (1.5, TypeError, "a column is chosen by name (str) or position (int), not float"),
        (True, TypeError, "a column is chosen by name (str) or position (int), not bool"),
    ],
)
def test_a_bad_column_key_fails_alike_for_every_reader_and_a_table(key, error, message):
    """`read`, `iter_slices`, `Table[key]` and `slice_properties` share one
    resolver and so one message."""
    for use in (
        lambda: qarn.read(QARN, columns=[key]),
        lambda: next(qarn.iter_slices(QARN, columns=["id", key])),
        lambda: qarn.read(QARN)[key],
        lambda: qarn.read(QARN).slice_properties(0, key),
    ):
        with pytest.raises(error) as caught:
            use()
        assert caught.value.args == (message,)
    with pytest.raises(TypeError, match="^columns must be a sequence of names or positions, not a single one$"):
        qarn.read(QARN, columns="id")


@pytest.mark.parametrize(
    "count, listed",
    [
        (0, "there are no columns"),
        (1, "the columns are 'c0'"),
        (20, "the columns are " + ", ".join(f"'c{i}'" for i in range(20))),
        (1234, "the columns are " + ", ".join(f"'c{i}'" for i in range(20)) + " and 1,214 more"),
    ],
)
def test_an_unknown_name_lists_the_names_there_are(count, listed):
    header = ",".join(f"c{i}" for i in range(count)).encode()
    table = qarn.read(qarn.convert(header + b"\n")) if count else qarn.read(QARN, columns=[])
    with pytest.raises(KeyError) as caught:
        table["x"]
    assert caught.value.args == (f"no column named 'x'; {listed}",)


def test_decoded_arrays_are_shared_read_only_and_conversions_get_their_own():
    pytest.importorskip("pandas")
    table = qarn.read(QARN)
    for column in table:
        assert not column.values.flags.writeable and not column.invalid.flags.writeable
    frame = table.to_pandas()
    frame.loc[0, "id"] = 99
    frame.loc[0, "name"] = "changed"
    assert table["id"].values[0] == 1 and table["name"].values[0] == "ann"
    assert table.to_arrow().column("id")[0].as_py() == 1


def test_numpy_integers_select_and_index_columns():
    table = qarn.read(QARN, columns=[np.int64(2)])
    assert table.column_names == ["score"] and table[np.int32(0)].name == "score"
    with pytest.raises(KeyError, match="no column named 'nope'"):
        table.slice_properties(0, "nope")
    with pytest.raises(IndexError):
        table[5]


def test_table_is_a_sequence_of_columns():
    table = qarn.read(QARN)
    assert len(table) == 4 and [c.name for c in table] == table.column_names
    assert table["name"] is table[1]
    with pytest.raises(KeyError, match="no column named 'x'"):
        table["x"]
    with pytest.raises(TypeError):
        table[1.0]
    assert repr(table["name"]) == "<qarn.Column 'name': string, 4 rows, 1 invalid>"


@pytest.mark.parametrize(
    "csv, chunk_size, table_repr, column_repr",
    [
        (b"a\n1\n", 5, "<qarn.Table 1 row, 1 slice; a: int>", "<qarn.Column 'a': int, 1 row, 0 invalid>"),
        (b"a\n1\nx\n", 1, "<qarn.Table 2 rows, 2 slices; a: int>", "<qarn.Column 'a': int, 2 rows, 1 invalid>"),
        (b"a\n", 5, "<qarn.Table 0 rows, 0 slices; a: string>", "<qarn.Column 'a': string, 0 rows, 0 invalid>"),
    ],
)
def test_reprs_count_in_the_singular_for_one(csv, chunk_size, table_repr, column_repr):
    table = qarn.read(qarn.convert(csv, chunk_size=chunk_size, sample_rows=1))
    assert (repr(table), repr(table[0])) == (table_repr, column_repr)


def test_values_and_invalid_flags():
    table = qarn.read(QARN)
    assert table["name"].values.tolist() == ["ann", "", "é", "d"]
    assert table["name"].invalid.tolist() == [False, True, False, False]
    assert table["score"].invalid.tolist() == [False, False, False, True]
    assert float_bits(table["score"].values) == float_bits([1.5, float("nan"), -0.0, 0.0])
    assert table["ok"].values.dtype == np.bool_ and table["ok"].values.tolist() == [True, False, False, True]
    assert table["ok"].invalid.tolist() == [False, True, False, False]
    assert table["id"].invalid.dtype == np.bool_ and not table["id"].invalid.any()
    assert table.table_properties == {"TableColumns": 4}
    assert table.version == (1, 0)


# ------------------------------------------------------------------ errors


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "invalid size at byte 0"),
        (QARN[:-1], f"invalid size at byte {len(QARN) - 3}"),
        (QARN + b"\x00", f"invalid size at byte {len(QARN)}"),
        (b"\x4e\x7c\x09", "invalid section id 9 at byte 0"),
        (b"\x4e\x7c\x01\x02\x00", "unsupported version 2.0 at byte 3"),
        (b"PK\x03\x04", "magic number mismatch at byte 0"),
    ],
)
def test_format_errors_name_the_defect_and_where(data, message):
    for reader in (qarn.read, qarn.validate, lambda d: list(qarn.iter_slices(d)), qarn.summarize):
        with pytest.raises(qarn.FormatError) as caught:
            reader(data)
        assert str(caught.value) == "QARN read error: " + message
        assert isinstance(caught.value, ValueError)
        assert caught.value.offset == int(message.rsplit(" ", 1)[1])


def test_every_corruption_is_reported_the_same_by_every_reader():
    for offset in range(len(QARN)):
        for flip in (0x01, 0x80, 0xFF):
            data = bytearray(QARN)
            data[offset] ^= flip
            outcomes = []
            for reader in (qarn.read, qarn.validate, lambda d: list(qarn.iter_slices(d))):
                try:
                    reader(bytes(data))
                    outcomes.append("ok")
                except qarn.FormatError as error:
                    outcomes.append(str(error))
            assert len(set(outcomes)) == 1, (offset, flip, outcomes)


def test_slices_before_a_defect_are_yielded():
    broken = QARN[:-3] + b"\x4e\x7c\x04"
    slices = qarn.iter_slices(broken)
    assert next(slices).num_rows == 3 and next(slices).num_rows == 1
    with pytest.raises(qarn.FormatError, match="wrong section id, expected TableEnd, got ColumnSlice"):
        next(slices)


def test_a_file_cut_short_while_its_slices_are_read_is_an_error_not_a_crash(tmp_path):
    path = tmp_path / "t.qarn"
    qarn.convert(b"id,name\n" + b"".join(b"%d,n%d\n" % (i, i) for i in range(50_000)), path, chunk_size=1000)
    script = textwrap.dedent(f"""
        import qarn
        slices = qarn.iter_slices({str(path)!r})
        first = next(slices)
        open({str(path)!r}, "wb").close()  # rewritten in place by another program
        try:
            next(slices)
        except OSError as error:
            print(error, first.num_rows)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, "the file was cut short while it was read 1000\n")


def test_a_path_that_is_a_pipe_is_read_as_a_stream(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as writer:
            writer.write(QARN)

    def slices_as_csv(path):
        return b"".join(part.to_csv(header=i == 0) for i, part in enumerate(qarn.iter_slices(path)))

    for read_as_csv in (lambda path: qarn.read(path).to_csv(), slices_as_csv):
        feeder = threading.Thread(target=feed)
        feeder.start()
        assert read_as_csv(fifo) == qarn.read(QARN).to_csv()
        feeder.join()


def test_a_summary_counts_bytes_whatever_the_items_of_the_buffer():
    data = next(q for text in (b"a\nx\n", b"a\nxy\n", b"a\nxyz\n", b"a\nxyzw\n")
                if len(q := _qarn.csv_to_qarn(text)) % 4 == 0)
    assert qarn.summarize(memoryview(data).cast("I")).file_size == len(data)


def test_validate_returns_none_for_a_valid_file():
    assert qarn.validate(QARN) is None


def test_summary_counts_without_decoding():
    summary = qarn.summarize(QARN)
    assert (summary.num_rows, summary.num_slices, summary.file_size, summary.version) == (4, 2, len(QARN), (1, 0))
    assert [(c.name, c.type, c.invalid_count) for c in summary.columns] == [
        ("id", "int", 0), ("name", "string", 1), ("score", "double", 1), ("ok", "bool", 1)]
    framing = summary.metadata_bytes + 7 * summary.num_slices + 3
    assert framing + sum(c.bytes for c in summary.columns) == len(QARN)


# ------------------------------------------------------ other libraries


def test_to_arrow_has_nulls_for_invalid_cells_and_keeps_float_bits():
    pa = pytest.importorskip("pyarrow")
    arrow = qarn.read(QARN).to_arrow()
    assert arrow.schema.types == [pa.int32(), pa.string(), pa.float64(), pa.bool_()]
    assert arrow.column("name").to_pylist() == ["ann", None, "é", "d"]
    assert arrow.column("ok").to_pylist() == [True, None, False, True]
    score = arrow.column("score").to_numpy(zero_copy_only=False)
    assert float_bits(score[:3]) == float_bits([1.5, float("nan"), -0.0])
    assert arrow.column("score").null_count == 1


def test_to_pandas_uses_nullable_dtypes_and_keeps_nan_apart_from_missing():
    pd = pytest.importorskip("pandas")
    frame = qarn.read(QARN).to_pandas()
    assert [str(t) for t in frame.dtypes] == ["Int32", "string", "Float64", "boolean"]
    assert frame["name"].isna().tolist() == [False, True, False, False]
    assert frame["score"].isna().tolist() == [False, False, False, True]
    assert np.isnan(frame["score"].array._data[1]) and not frame["score"].array._mask[1]
    assert frame["ok"].tolist()[1] is pd.NA


def test_to_pandas_makes_no_python_object_per_string(monkeypatch):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")

    def elements(*args):
        raise AssertionError("a Python object was made for every string")

    monkeypatch.setattr(qarn._native, "elements", elements)
    frame = qarn.read(QARN).to_pandas()
    assert frame["name"].isna().tolist() == [False, True, False, False]
    assert frame["name"].dropna().tolist() == ["ann", "é", "d"]


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.text(st.characters(exclude_categories=("Cs",)), max_size=30), max_size=40))
def test_to_polars_strings_are_the_arrow_strings(values):
    # Strings of every length around the 12 bytes a view holds inline,
    # empty ones (invalid cells) included.
    pl = pytest.importorskip("polars")
    rows = ["text", "word", *values]
    csv = "s\n" + "".join('"' + value.replace('"', '""') + '"\n' for value in rows)
    table = qarn.read(_qarn.csv_to_qarn(csv.encode()))
    assert table.column_types == ["string"]
    frame = table.to_polars()
    assert frame.schema == {"s": pl.String}
    assert frame.equals(pl.from_arrow(table.to_arrow()))


def test_to_polars_bytes_are_binary_views():
    pl = pytest.importorskip("polars")
    cells = [b"", b"\x00" * 12, b"short", None, b"thirteen byte", bytes(range(256))]
    table = qarn.read(qarn.write({"b": np.array(cells, dtype=object)}))
    frame = table.to_polars()
    assert frame.schema == {"b": pl.Binary}
    assert frame["b"].to_list() == cells


def test_to_polars_has_nulls_for_invalid_cells():
    pl = pytest.importorskip("polars")
    frame = qarn.read(QARN).to_polars()
    assert frame.schema == {"id": pl.Int32, "name": pl.String, "score": pl.Float64, "ok": pl.Boolean}
    assert frame["name"].null_count() == 1 and frame["score"].is_nan().to_list()[1] is True


@pytest.mark.parametrize(
    "method, module, extra",
    [("to_arrow", "pyarrow", "arrow"), ("to_pandas", "pandas", "pandas"), ("to_polars", "polars", "polars")],
)
def test_missing_extras_raise_import_error_naming_the_extra(method, module, extra):
    script = textwrap.dedent(f"""
        import sys
        sys.modules[{module!r}] = None
        import _qarn, qarn
        table = qarn.read(_qarn.csv_to_qarn(b"a\\n1\\n"))
        try:
            table.{method}()
        except ImportError as error:
            print(error)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert f"pip install 'qarn[{extra}]'" in out and module in out


def test_importing_qarn_imports_no_optional_library():
    script = "import sys, qarn; print(sorted(m for m in ('pyarrow', 'pandas', 'polars') if m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout == "[]\n"


# --------------------------------------------------------------- to_csv


@pytest.mark.parametrize(
    "value, text",
    [(1.0, b"1.0"), (0.0, b"0.0"), (-0.0, b"-0.0"), (1e16, b"1e+16"), (5e-324, b"5e-324"), (0.1, b"0.1"),
     (123456789012345680000.0, b"1.2345678901234568e+20"), (9999999999999998.0, b"9999999999999998.0"),
     (0.0001, b"0.0001"), (0.00001, b"1e-05"), (-1.5e-7, b"-1.5e-07"), (123.456, b"123.456"),
     (float("inf"), b"inf"), (float("-inf"), b"-inf"), (float("nan"), b"nan"), (-float("nan"), b"-nan"),
     (1.7976931348623157e308, b"1.7976931348623157e+308")],
)
def test_doubles_are_written_to_read_back_as_the_same_double(value, text):
    from qarn_builder import DOUBLE, ColumnDef, build, column_slice, plain

    table = qarn.read(build([ColumnDef("d", DOUBLE)], [[column_slice(plain(DOUBLE, [value]))]]))
    assert table.to_csv() == b"d\n" + text + b"\n"
    back = qarn.read(_qarn.csv_to_qarn(table.to_csv()))
    assert back.column_types == ["double"] and float_bits(back["d"].values) == float_bits([value])


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=50))
def test_finite_doubles_are_written_as_python_spells_them(values):
    from qarn_builder import DOUBLE, ColumnDef, build, column_slice, plain

    table = qarn.read(build([ColumnDef("d", DOUBLE)], [[column_slice(plain(DOUBLE, values))]]))
    assert table.to_csv() == b"d\n" + b"".join(repr(v).encode() + b"\n" for v in values)


@pytest.mark.parametrize(
    "csv, written",
    [
        (b'a,b\n"x,y","say ""hi"""\n', b'a,b\n"x,y","say ""hi"""\n'),
        (b'a,b\n"line\nbreak","cr\rhere"\n', b'a,b\n"line\nbreak","cr\rhere"\n'),
        (b'a\n""\nx\n', b'a\n""\nx\n'),
        (b'""\n1\n', b'""\n1\n'),
        (b'"\xef\xbb\xbfa",\xef\xbb\xbfb\n1,2\n', b'"\xef\xbb\xbfa",\xef\xbb\xbfb\n1,2\n'),
        (b"a,b\r\n 1 ,TRUE\r\n+5\r\n", b"a,b\n 1 ,true\n+5,\n"),
        (b"n,t\n007,True\n-0,false\n", b"n,t\n7,true\n0,false\n"),
        (b"", b""),
    ],
    ids=["comma and quote", "line breaks", "one column, empty cell", "empty header name", "byte-order mark",
         "invalid cells", "canonical values", "empty input"],
)
def test_csv_is_quoted_only_where_it_must_be(csv, written):
    q = _qarn.csv_to_qarn(csv)
    assert qarn.read(q).to_csv() == written
    assert _qarn.csv_to_qarn(written) == q


def test_to_csv_writes_a_path_or_a_file(tmp_path):
    table = qarn.read(QARN)
    path = tmp_path / "out.csv"
    assert table.to_csv(path) is None and path.read_bytes() == table.to_csv()
    buffer = io.BytesIO()
    table.to_csv(buffer)
    assert buffer.getvalue() == table.to_csv()


# -------------------------------------------------------------- convert


def test_convert_gives_the_bytes_of_the_converter(tmp_path):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(CSV)
    for source in (CSV, csv_path, str(csv_path), memoryview(CSV), bytearray(CSV)):
        assert qarn.convert(source, chunk_size=3, sample_rows=3) == QARN
    target = tmp_path / "out.qarn"
    assert qarn.convert(csv_path, target, chunk_size=3, sample_rows=3) is None
    assert target.read_bytes() == QARN
    assert oct(target.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _command(*args):
    return lambda target: subprocess.run(
        [str(pathlib.Path(sys.executable).with_name("qarn")), *args, "-o", str(target)],
        cwd=target.parent, check=True, capture_output=True,
    )


WRITERS = {
    "qarn.convert": lambda target: qarn.convert(CSV, target),
    "Table.to_csv": lambda target: qarn.read(QARN).to_csv(target),
    "qarn convert -o": _command("convert", "in.csv"),
    "qarn to-csv -o": _command("to-csv", "in.qarn"),
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize(
    "umask, old_mode, mode",
    [
        (0o022, None, 0o644),  # a new file: what the umask gives
        (0o077, None, 0o600),
        (0o022, 0o640, 0o640),  # a replaced file keeps its permissions,
        (0o077, 0o755, 0o755),
        (0o022, 0o4775, 0o775),  # but not set-user-id, which rewriting a file drops
    ],
)
def test_every_writer_gives_one_mode(tmp_path, writer, umask, old_mode, mode):
    (tmp_path / "in.csv").write_bytes(CSV)
    (tmp_path / "in.qarn").write_bytes(QARN)
    target = tmp_path / "out"
    if old_mode is not None:
        target.write_bytes(b"old")
        target.chmod(old_mode)
    previous = os.umask(umask)
    try:
        WRITERS[writer](target)
    finally:
        os.umask(previous)
    assert oct(target.stat().st_mode & 0o7777) == oct(mode)
    assert target.read_bytes() != b"old" and sorted(os.listdir(tmp_path)) == ["in.csv", "in.qarn", "out"]


def test_a_failed_conversion_leaves_no_file_and_keeps_the_old_one(tmp_path):
    target = tmp_path / "out.qarn"
    with pytest.raises(ValueError, match=r"^CSV header error: "):
        qarn.convert(b"\xff\n", target)
    assert list(tmp_path.iterdir()) == []
    target.write_bytes(b"old")
    with pytest.raises(ValueError, match=r"^CSV parse error: "):
        qarn.convert(b"a\n\xff\n", target)
    assert target.read_bytes() == b"old" and list(tmp_path.iterdir()) == [target]


# --------------------------------------------------------------- typing


def test_the_package_is_typed_and_its_stub_matches_the_native_module():
    package = pathlib.Path(qarn.__file__).parent
    assert (package / "py.typed").exists()
    stub = (package / "_native.pyi").read_text()
    for name in ("read", "read_head", "validate", "summarize", "to_csv", "elements", "SliceReader", "Buffer", "FormatError",
                 "PanicException", "convert"):
        assert hasattr(qarn._native, name) and f" {name}" in stub, name
    for function in (qarn.read, qarn.validate, qarn.iter_slices, qarn.convert, qarn.summarize, qarn.Table.to_csv):
        assert "return" in function.__annotations__, function
    assert set(qarn.__all__) <= set(dir(qarn))


@pytest.mark.parametrize(
    "names, unique",
    [
        (["a", "b"], ["a", "b"]),
        (["a", "a", "a"], ["a", "a_2", "a_3"]),
        (["a", "a", "a_2"], ["a", "a_3", "a_2"]),
        (["", "x", ""], ["column_1", "x", "column_3"]),
        (["column_2", ""], ["column_2", "column_2_2"]),
        (["t", "t\x00"], ["t", "t\x00"]),  # apart, though polars' Arrow import stops at a NUL
    ],
)
def test_arrow_and_polars_get_unique_column_names(names, unique):
    pytest.importorskip("polars")
    header = ",".join(names).encode()
    table = qarn.read(qarn.convert(header + b"\n" + b",".join(b"1" for _ in names) + b"\n"))
    assert table.column_names == names  # the file keeps its header's names
    assert table.to_arrow().column_names == unique
    assert table.to_polars().columns == unique


@pytest.mark.parametrize(
    "selected, names",
    [([2, 1], ["a_2", "a"]), ([4, 0], ["column_5", "column_1"]), ([1, 1, 3], ["a", "a_3", "b"]), ([3], ["b"])],
)
def test_a_selection_keeps_the_unique_names_of_the_whole_read(selected, names):
    # A whole read names the columns column_1, a, a_2, b, column_5.
    pytest.importorskip("polars")
    part = qarn.read(qarn.convert(b",a,a,b,\n1,2,3,4,5\n"), columns=selected)
    assert part.to_arrow().column_names == part.to_polars().columns == names
    assert part.to_polars().row(0) == tuple(column + 1 for column in selected)
