"""The conversion on several threads: exactly the bytes and the failures of
`_qarn.csv_to_qarn`, for every input, count and thread count, with the
interpreter lock released while it works."""

import signal
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from scale import examples

import qarn
from _qarn import csv_to_qarn
from csv_strategies import csv_spellings, tables
from qarn import _native

THREADS = (1, 2, 3, 8)


def outcome(convert, *args):
    try:
        return convert(*args)
    except ValueError as error:
        return f"{type(error).__name__}: {error}"


@settings(max_examples=examples(120), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_every_thread_count_gives_the_single_threaded_result(data):
    names, rows = data.draw(tables())
    csv = data.draw(csv_spellings(names, rows))
    if data.draw(st.booleans()):  # now and then a record that is not UTF-8
        at = data.draw(st.integers(0, len(csv)))
        csv = csv[:at] + b"\xff" + csv[at:]
    chunk_size = data.draw(st.sampled_from([1, 2, 7, 10000]))
    sample_rows = data.draw(st.sampled_from([0, 3, 1000]))
    expected = outcome(csv_to_qarn, csv, chunk_size, sample_rows)
    for threads in THREADS:
        # The native entry directly: qarn.convert keeps small inputs on one thread.
        assert outcome(_native.convert, csv, chunk_size, sample_rows, threads) == expected


_numbers = st.one_of(st.integers(-999, 999).map(str), st.sampled_from(["", "x"]))
# Up to 200 bytes, so that packed lengths take one byte or two, and now and
# then a line end in quotes, which a segment may be cut in.
_texts = st.text("ab\u00e9", max_size=200)
_quoted = st.text("a\n", min_size=1, max_size=20).map(lambda text: f'"{text}"')


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(_numbers, st.one_of(_texts, _quoted), _numbers), min_size=1, max_size=120),
       st.sampled_from([1, 7, 13, 16, 10000]), st.sampled_from([1, 7, 64, 512]))
def test_rows_cut_into_segments_of_any_size_give_the_single_threaded_bytes(rows, chunk_size, segment_bytes):
    # Small segments cut the rows into many converted pieces, a slice's rows
    # taken from several of them, a record cut by a segment's end read again.
    csv = ("n,s,m\n" + "".join(f"{a},{text},{b}\n" for a, text, b in rows)).encode()
    expected = csv_to_qarn(csv, chunk_size, 3)
    for threads in (2, 3):
        assert _native.convert(csv, chunk_size, 3, threads, segment_bytes=segment_bytes) == expected


def big_csv(rows: int) -> bytes:
    lines = [b"id,name,score,flag"]
    lines += [b"%d,n%d,%d.25,%s" % (i, i % 97, i % 1000, b"true" if i % 3 else b"") for i in range(rows)]
    return b"\n".join(lines) + b"\n"


@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("chunk_size", [1, 7, 1000])
def test_the_first_bad_record_is_reported_wherever_it_lies(where, chunk_size):
    csv = bytearray(big_csv(20000))
    at = {"first": 40, "middle": len(csv) // 2, "last": len(csv) - 3}[where]
    csv[at:at] = b"\xc3"
    csv[at + 5000: at + 5000] = b"\xff"  # a later one must not be the one reported
    expected = outcome(csv_to_qarn, bytes(csv), chunk_size, 100)
    assert expected.startswith("ValueError: CSV parse error: ")
    for threads in (2, 3, 8):
        assert outcome(_native.convert, bytes(csv), chunk_size, 100, threads) == expected


@pytest.mark.parametrize("source", ["bytes", "memoryview", "path"])
def test_large_inputs_convert_alike_from_every_source(source, tmp_path):
    csv = big_csv(120000)
    assert len(csv) > sys.modules["qarn.convert"].SMALLEST_PARALLEL_INPUT
    if source == "path":
        path = tmp_path / "big.csv"
        path.write_bytes(csv)
        given_source = path
    else:
        given_source = csv if source == "bytes" else memoryview(csv)
    expected = csv_to_qarn(csv, 5000, 100)
    for threads in (1, 2, 8):
        assert qarn.convert(given_source, chunk_size=5000, sample_rows=100, threads=threads) == expected


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"threads": 0}, ValueError, "threads must be at least 1"),
        ({"threads": "2"}, TypeError, "threads must be an int"),
        ({"chunk_size": 0}, ValueError, "chunk_size must be at least 1"),
        ({"chunk_size": -1}, OverflowError, "negative"),
        ({"sample_rows": 1.5}, TypeError, "cannot be interpreted as an integer"),
    ],
)
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        qarn.convert(b"a\n1\n", **kwargs)


def ticks_during(convert) -> bool:
    """Whether another Python thread ran in the middle third of `convert()`."""
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            for _ in range(200):
                pass

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)  # a thread waiting for the lock gets it soon
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        convert()
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
        sys.setswitchinterval(interval)
    third = (end - start) / 3
    return any(start + third < stamp < end - third for stamp in stamps)


def test_other_python_threads_run_while_a_conversion_works():
    csv = big_csv(400000)
    # On a busy machine the main thread may wait long for the lock before the
    # call starts, so that a tick lands in the middle third by timing alone;
    # a conversion that held or dropped the lock wrongly does so every time.
    assert any(ticks_during(lambda: qarn.convert(csv, threads=2)) for _ in range(3))
    assert any(ticks_during(lambda: qarn.convert(csv, threads=1)) for _ in range(3))
    assert not all(ticks_during(lambda: csv_to_qarn(csv)) for _ in range(3))  # which holds the lock, as it must


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("threads, source", [(1, "bytes"), (2, "path")])
def test_a_signal_handler_stops_a_conversion_into_memory_part_way(threads, source, tmp_path):
    csv = big_csv(1000) + b"7,n7,7.25,true\n" * 5_000_000
    if source == "path":
        (tmp_path / "big.csv").write_bytes(csv)
        csv = str(tmp_path / "big.csv")
    started = time.perf_counter()
    qarn.convert(csv, threads=threads)
    whole = time.perf_counter() - started

    def interrupt(signum, frame):
        raise Interrupted

    def stopped_early() -> bool:
        signal.setitimer(signal.ITIMER_REAL, whole / 20)
        started = time.perf_counter()
        with pytest.raises(Interrupted):
            qarn.convert(csv, threads=threads)
        return time.perf_counter() - started < whole / 2

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        # A conversion that looked for signals only at its end would fail every
        # run; a busy machine may delay one run past the bound by timing alone.
        assert any(stopped_early() for _ in range(3))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_calls_from_many_threads_at_once():
    csvs = [big_csv(30000 + 1000 * i) for i in range(8)]
    expected = [csv_to_qarn(csv, 3000, 50) for csv in csvs]
    results = [None] * 8

    def convert(i):
        results[i] = _native.convert(csvs[i], 3000, 50, 2 + i % 3)

    callers = [threading.Thread(target=convert, args=(i,)) for i in range(8)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert results == expected
