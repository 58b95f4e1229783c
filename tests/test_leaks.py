"""Every success and failure path of both native modules, thousands of
times: the heap and the reference counts of the arguments must not grow."""

import ctypes
import ctypes.util
import functools
import gc
import sys

import pytest

from _qarn import csv_to_qarn
from qarn import _native

REPEATS = 3000


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc); the
    conversion's own buffers come from here."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


class Index:
    def __index__(self):
        return 3


class BadIndex:
    def __index__(self):
        raise ValueError("nope")


GOOD = b"a,b,c\n" + b"".join(b"%d,x%d,%d.5\n" % (i, i, i) for i in range(300))
PATHS = {
    "success": ((GOOD,), {"chunk_size": 7}),
    "success with index objects": ((GOOD, Index(), Index()), {}),
    "empty input": ((b"",), {}),
    "header error": ((b"a\xff\n1\n",), {}),
    "parse error in the sample": ((b"a\n1\n\xff\n",), {}),
    "parse error after the sample": ((GOOD + b"\xff\n",), {"sample_rows": 5, "chunk_size": 10}),
    "chunk_size zero": ((GOOD, 0), {}),
    "too many positional": ((GOOD, 1, 1, 1), {}),
    "unknown keyword": ((GOOD,), {"rows": 1}),
    "duplicate argument": ((GOOD,), {"csv_bytes": GOOD}),
    "missing csv_bytes": ((), {"chunk_size": 1}),
    "csv_bytes not bytes": (("text",), {}),
    "count not an int": ((GOOD, None), {}),
    "count negative": ((GOOD, 1, -1), {}),
    "count too large": ((GOOD, 2**64), {}),
    "index raises": ((GOOD, BadIndex()), {}),
}


def quietly(function, *args, **kwargs) -> None:
    """Calls `function`, taking the errors its failure paths raise."""
    try:
        function(*args, **kwargs)
    except (ValueError, TypeError, OverflowError, MemoryError):  # a FormatError is a ValueError
        pass


def assert_no_growth(call, arguments) -> None:
    """`call()` thousands of times leaves the heap, the count of Python
    objects and the reference counts of `arguments` as they were."""
    for _ in range(200):
        call()  # warm up caches, interned strings and free lists
    gc.collect()
    refcounts = [sys.getrefcount(argument) for argument in arguments]
    blocks_before = sys.getallocatedblocks()
    heap_before = _heap_in_use()
    for _ in range(REPEATS):
        call()
    gc.collect()
    heap_after = _heap_in_use()
    blocks_after = sys.getallocatedblocks()
    assert [sys.getrefcount(argument) for argument in arguments] == refcounts
    # Python objects: a leaked exception, message or result would add one a call.
    assert blocks_after - blocks_before < REPEATS // 10
    if heap_before is not None:
        # A leak of even 16 bytes a call would show as 48 KB here.
        assert heap_after - heap_before < 32 * 1024, f"heap grew by {heap_after - heap_before} bytes"


@pytest.mark.parametrize("path", sorted(PATHS))
def test_no_growth(path):
    args, kwargs = PATHS[path]
    assert_no_growth(lambda: quietly(csv_to_qarn, *args, **kwargs), [*args, *kwargs.values()])


QARN = csv_to_qarn(GOOD, 50)  # int, string and double columns in six slices
RAW = _native.read(QARN)
NAMES = RAW["names"]
COLUMNS = [(*values, invalid) for values, invalid in RAW["columns"]]  # as to_csv takes them
_, _, OFFSETS, TEXT, WIDTH = RAW["columns"][1][0]
TEXT_BYTES = bytes(memoryview(TEXT))
FLAGS = b"\x01\x00\x01"
# Room for the views of every string in TEXT; that column 300 times over
# has rows enough for two threads.
VIEWS = bytearray(16 * (len(OFFSETS) // WIDTH))
MANY_VIEWED = [(OFFSETS, TEXT, WIDTH, bytearray(VIEWS)) for _ in range(300)]
CUT = QARN[: len(QARN) // 2]  # slices, then a FormatError part way
NOT_QARN = b"\x4e\x7c\x09"  # a FormatError at byte 0
# Enough strings that a read spreads its columns over threads; then one
# that is not UTF-8, which a thread finds and the calling thread again.
SPREAD = csv_to_qarn(b"a,b\n" + b"".join(b"x%d,y%d\n" % (i, i) for i in range(30_000)))
SPREAD_BAD = SPREAD.replace(b"y29999", b"y\xff9999")


LOST = b"a,b,d\n1,x,2024-03-01T10:00Z\n" + b"y,2,2024-03-01,extra\n" * 40  # misfits after the sample
REPORTING = functools.partial(_native.convert, report=True, parse_dates=True, decimal=",", thousands=".")
DATES = _native.read(_native.convert(LOST, 7, 20, 1, parse_dates=True))
DATE_COLUMNS = [(*values, invalid, "timestamp[us, tz=UTC]") for values, invalid in DATES["columns"]]


def keep_rejects(rejects) -> None:
    pass


def refuse_rejects(rejects) -> None:
    raise ValueError("the sink is full")


def refuse_memory(size):
    raise MemoryError


def slices(source, flags=None) -> None:
    reader = _native.SliceReader(source)
    while reader.next_slice(flags) is not None:
        pass


WRITE = functools.partial(_native.write_table, head=True, end=True)
LONGS = bytes(range(256)) * (300 * 8 // 256 + 1)
U64 = (2**64 - 1).to_bytes(8, "little") * 2
OFFSETS32 = b"\x00\x00\x00\x00\x02\x00\x00\x00"
WRITE_COLUMNS = [
    (5, False, [(0, 100, None, LONGS, None), (100, 200, b"\x0f" * 40, LONGS, None)]),
    (12, False, [(0, 300, None, b"".join((3 * i).to_bytes(4, "little") for i in range(301)), b"abc" * 300)]),
]

NATIVE_PATHS = {
    "read": (_native.read, (QARN,)),
    "read selected": (_native.read, (QARN, FLAGS)),
    "read format error": (_native.read, (CUT, FLAGS)),
    "read wrong flags": (_native.read, (QARN, b"\x01")),
    "read into blocks": (_native.read, (QARN, None, bytearray)),
    "read into blocks format error": (_native.read, (CUT, FLAGS, bytearray)),
    "read into blocks refused": (_native.read, (QARN, None, refuse_memory)),
    "read into blocks too short": (_native.read, (QARN, None, lambda size: bytearray(size // 2))),
    "read on threads": (_native.read, (SPREAD, None, None, 2)),
    "read on threads into blocks": (_native.read, (SPREAD, None, bytearray, 2)),
    "read on threads format error": (_native.read, (SPREAD_BAD, None, bytearray, 2)),
    "string_views": (_native.string_views, (MANY_VIEWED, 2)),
    "string_views out of order": (_native.string_views, ([(OFFSETS, TEXT_BYTES[:10], WIDTH, VIEWS)], 2)),
    "string_views too few views": (_native.string_views, ([(OFFSETS, TEXT, WIDTH, VIEWS[:16])], 1)),
    "read_head": (_native.read_head, (QARN,)),
    "read_head format error": (_native.read_head, (NOT_QARN,)),
    "summarize": (_native.summarize, (QARN,)),
    "summarize format error": (_native.summarize, (CUT,)),
    "validate": (_native.validate, (QARN,)),
    "validate format error": (_native.validate, (CUT,)),
    "slices": (slices, (QARN, FLAGS)),
    "slices format error": (slices, (CUT,)),
    "slices not a file": (slices, (NOT_QARN,)),
    "convert": (_native.convert, (GOOD, 7, 20, 1)),
    "convert threads": (_native.convert, (GOOD * 8, 7, 20, 2)),
    "convert parse error": (_native.convert, (GOOD + b"\xff\n", 10, 5, 1)),
    "convert parse error threads": (_native.convert, (GOOD * 8 + b"\xff\n", 10, 5, 2)),
    "convert chunk_size zero": (_native.convert, (GOOD, 0, 20, 1)),
    "convert not bytes": (_native.convert, ("text", 7, 20, 1)),
    "convert reporting": (functools.partial(REPORTING, rejects=5), (LOST, 7, 1, 1)),
    "convert rejects to a sink": (functools.partial(REPORTING, rejects=keep_rejects), (LOST, 7, 1, 2)),
    "convert rejects sink raises": (functools.partial(REPORTING, rejects=refuse_rejects), (LOST, 7, 1, 1)),
    "convert bad column type": (functools.partial(_native.convert, column_types=[("a", "nope")]), (LOST, 7, 1, 1)),
    "to_csv dates": (_native.to_csv, (DATES["names"], DATE_COLUMNS, 41)),
    "to_csv": (_native.to_csv, (NAMES, COLUMNS, 300)),
    "to_csv too many rows": (_native.to_csv, (NAMES, COLUMNS, 301)),
    "to_csv bad column": (_native.to_csv, (NAMES, [COLUMNS[0][:3]], 3)),
    "to_csv dialect": (functools.partial(_native.to_csv, delimiter=".", quotechar=None, escapechar="\\"),
                       (NAMES, COLUMNS, 300)),
    "to_csv cannot write": (functools.partial(_native.to_csv, delimiter="x", quotechar=None), (NAMES, COLUMNS, 300)),
    "to_csv bad option": (functools.partial(_native.to_csv, lineterminator="\n\n"), (NAMES, COLUMNS, 300)),
    "elements": (_native.elements, (OFFSETS, TEXT, WIDTH, True)),
    "elements as bytes": (_native.elements, (OFFSETS, TEXT, WIDTH, False)),
    "elements out of order": (_native.elements, (OFFSETS, TEXT_BYTES[:10], WIDTH, True)),
    "elements bad width": (_native.elements, (OFFSETS, TEXT, 3, True)),
    "sniff_text": (functools.partial(_native.sniff_text, whole=True), (GOOD + b'"x\xff\ny",z\n',)),
    "sniff_text with a tail": (functools.partial(_native.sniff_text, tail=b"x\nnote\n"), (GOOD + b"\xc3\n",)),
    "sniff_pattern": (_native.sniff_pattern, ("blank_lines", GOOD + b"\n \n\n")),
    "sniff_pattern unknown": (_native.sniff_pattern, ("nope", GOOD)),
    "elements not text": (_native.elements, (OFFSETS, b"\xff" * len(TEXT_BYTES), WIDTH, True)),
    "write_table": (WRITE, (["n", "s"], WRITE_COLUMNS, 300, 7, 0)),
    "write_table value error": (WRITE, (["u"], [(9, False, [(0, 2, None, U64, None)])], 2, 7, 0)),
    "write_table not utf-8": (WRITE, (["s"], [(12, False, [(0, 1, None, OFFSETS32, b"\xff\xff")])], 1, 7, 0)),
    "write_table short buffer": (WRITE, (["n"], [(5, False, [(0, 400, None, LONGS, None)])], 400, 7, 0)),
    "write_table bad piece": (WRITE, (["n"], [(5, False, [(0, 1)])], 1, 7, 0)),
    "write_table bad kind": (WRITE, (["n"], [(99, False, [])], 0, 7, 0)),
    "write_table names": (WRITE, ([], WRITE_COLUMNS, 300, 7, 0)),
}


@pytest.mark.parametrize("path", sorted(NATIVE_PATHS))
def test_no_growth_in_the_package_module(path):
    function, args = NATIVE_PATHS[path]
    assert_no_growth(lambda: quietly(function, *args), args)


def test_results_are_released():
    gc.collect()
    before = _heap_in_use()
    for _ in range(50):
        out = csv_to_qarn(GOOD * 50, chunk_size=100)
        del out
    gc.collect()
    after = _heap_in_use()
    if before is not None:
        assert after - before < 64 * 1024
