"""Reading on several threads gives the table one thread gives, into malloc'd
memory and into Arrow's pool alike, and reports the same first defect."""

import gc
import threading
import time

import numpy as np
import pyarrow as pa
import pytest

import _qarn
import qarn
from qarn_builder import INT, LONG, STRING, ColumnDef, bit_array, build, column_slice, plain, run_length


def mixed_csv(rows: int) -> bytes:
    """Enough strings, numbers, flags and empty cells that decoding them is
    spread over threads."""
    lines = ["id,name,score,ok,note,when"]
    for i in range(rows):
        name = "" if i % 5 == 0 else f"name{i * 31 % 97}" + ("é" if i % 3 == 0 else "")
        score = "" if i % 7 == 0 else ("n/a" if i > 2000 and i % 991 == 3 else f"{i * 0.25}")
        lines.append(f'{i},{name},{score},{"true" if i % 2 else "false"},"a note, number {i}",2024-01-{i % 28 + 1:02}')
    return ("\n".join(lines) + "\n").encode()


QARN = _qarn.csv_to_qarn(mixed_csv(60_000), 7_000)


@pytest.mark.parametrize("columns", [None, ["note", "id", "ok"], ["score"]])
@pytest.mark.parametrize("into_pool", [True, False])
def test_every_thread_count_reads_the_same_table(columns, into_pool, monkeypatch):
    if not into_pool:
        monkeypatch.setattr("qarn.reading.arrow_allocator", lambda: None)
    gc.collect()
    held = pa.total_allocated_bytes()
    one = qarn.read(QARN, columns=columns, threads=1)
    for threads in (2, 3, 16):
        spread = qarn.read(QARN, columns=columns, threads=threads)
        assert spread.to_arrow().equals(one.to_arrow())
        assert [c.invalid.tobytes() for c in spread] == [c.invalid.tobytes() for c in one]
    del one, spread
    gc.collect()
    assert pa.total_allocated_bytes() == held


def test_run_length_columns_grow_and_slice_properties_join_alike():
    # Run-length columns grow as they are decoded, on whichever thread has
    # them; each column's further properties come from that thread.
    rows = 200 * 256
    def one_slice(k: int) -> list[bytes]:
        flags = [i % 1000 == k for i in range(rows)]
        return [
            column_slice(run_length(STRING, [(f"run {k} {i}", 256) for i in range(200)]),
                         [("IsInvalid", bit_array(flags)), ("Note", plain(STRING, [str(k)] * rows))]),
            column_slice(run_length(INT, [(i, 256) for i in range(200)]), [("Code", plain(INT, [k] * rows))]),
            column_slice(plain(INT, list(range(rows)))),
        ]
    data = build([ColumnDef("s", STRING), ColumnDef("n", INT), ColumnDef("m", INT)], [one_slice(0), one_slice(1)])
    one = qarn.read(data, threads=1)
    spread = qarn.read(data, threads=3)
    assert spread.to_arrow().equals(one.to_arrow())
    for k in (0, 1):
        for column in ("s", "n"):
            ours, theirs = spread.slice_properties(k, column), one.slice_properties(k, column)
            assert list(ours) == list(theirs)
            assert all(ours[key].tolist() == theirs[key].tolist() for key in ours)


@pytest.mark.parametrize("needle", [b"a note, number 59990", b"name62", b"@@"])
def test_a_defect_is_reported_as_on_one_thread(needle):
    data = bytearray(QARN)
    for text in (needle, b"name62") if needle == b"@@" else (needle,):
        data[QARN.rfind(text) if text != b"name62" else QARN.find(text)] = 0xFF
    with pytest.raises(qarn.FormatError) as one:
        qarn.read(bytes(data), threads=1)
    for read, threads in [(qarn.read, 2), (qarn.read, 4), (qarn.read_polars, 1), (qarn.read_polars, 2)]:
        with pytest.raises(qarn.FormatError) as spread:
            read(bytes(data), threads=threads)
        assert (str(spread.value), spread.value.offset) == (str(one.value), one.value.offset)


def test_a_buffer_that_changes_while_read_gives_a_whole_table_or_an_error():
    # Two files of one length, of two and three columns, swapped under a
    # read that does not hold the interpreter lock: every thread must go by
    # the head read once, or columns would be decoded into slots made for
    # others.
    n = 100_000
    longs = plain(LONG, range(n))
    two = build([ColumnDef("x" * 13, LONG), ColumnDef("y", LONG)],
                [[column_slice(longs), column_slice(longs, [("PPP", longs)])]])
    three = build([ColumnDef("x", LONG), ColumnDef("y", LONG), ColumnDef("z", LONG)], [[column_slice(longs)] * 3])
    assert len(two) == len(three)
    buffer, stop = bytearray(two), threading.Event()

    def swap():
        while not stop.is_set():
            for data in (three, two):
                buffer[:] = data
                time.sleep(0.0003)

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        for _ in range(1000):
            try:
                table = qarn.read(buffer, threads=2)
            except (qarn.FormatError, UnicodeDecodeError):
                continue
            assert all(len(column) == table.num_rows for column in table.to_arrow().columns)
    finally:
        stop.set()
        swapper.join()


@pytest.mark.parametrize("columns", [None, ["note", "id", "name"]])
def test_polars_string_views_are_laid_out_alike_on_any_thread_count(columns):
    # 120,000 strings: two threads split a column between them.
    pl = pytest.importorskip("polars")
    plain = pl.from_arrow(qarn.read(QARN, columns=columns, threads=1).to_arrow())
    for threads in (1, 2, 3):
        for frame in (qarn.read(QARN, columns=columns, threads=threads).to_polars(),
                      qarn.read_polars(QARN, columns=columns, threads=threads)):
            assert frame.equals(plain)
            assert frame["note"].eq_missing(plain["note"]).all() and frame["name"].eq_missing(plain["name"]).all()


@pytest.mark.parametrize(
    "rows",
    [[0], [65_535], [131_072], [131_073], [0, 100_000, 0, 1, 50_000], [7] * 500],
    ids=["empty", "one-thread", "two-even", "two-odd", "zero-row-among-large", "many-tiny"],
)
def test_string_views_split_rows_over_threads_without_gaps_or_overlaps(rows):
    # Each column's elements cycle through every length up to 20 bytes.
    def column(count):
        lengths = [i % 21 for i in range(count)]
        offsets = np.concatenate(([0], np.cumsum(lengths))).astype(np.int64)
        data = bytes(range(97, 123)) * (int(offsets[-1]) // 26 + 1)
        return offsets.tobytes(), data[: int(offsets[-1])], 8, bytearray(16 * count)

    laid_out = {}
    for threads in (1, 2, 3, 7):
        columns = [column(count) for count in rows]
        qarn._native.string_views(columns, threads)
        laid_out[threads] = [bytes(views) for *_, views in columns]
    assert laid_out[2] == laid_out[3] == laid_out[7] == laid_out[1]
    first = laid_out[1][0]
    assert len(first) == 0 or first[16:32] == b"\x01\x00\x00\x00a" + bytes(11)
