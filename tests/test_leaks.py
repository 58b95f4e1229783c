"""Every success and failure path, thousands of times: the heap and the
reference counts of the arguments must not grow."""

import ctypes
import ctypes.util
import gc
import sys

import pytest

from _qarn import csv_to_qarn

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


def call(args, kwargs):
    try:
        csv_to_qarn(*args, **kwargs)
    except (ValueError, TypeError, OverflowError):
        pass


@pytest.mark.parametrize("path", sorted(PATHS))
def test_no_growth(path):
    args, kwargs = PATHS[path]
    for _ in range(200):
        call(args, kwargs)  # warm up caches, interned strings and free lists
    gc.collect()
    refcounts = [sys.getrefcount(a) for a in args] + [sys.getrefcount(v) for v in kwargs.values()]
    blocks_before = sys.getallocatedblocks()
    heap_before = _heap_in_use()
    for _ in range(REPEATS):
        call(args, kwargs)
    gc.collect()
    heap_after = _heap_in_use()
    blocks_after = sys.getallocatedblocks()
    assert [sys.getrefcount(a) for a in args] + [sys.getrefcount(v) for v in kwargs.values()] == refcounts
    # Python objects: a leaked exception, message or result would add one a call.
    assert blocks_after - blocks_before < REPEATS // 10
    if heap_before is not None:
        # A leak of even 16 bytes a call would show as 48 KB here.
        assert heap_after - heap_before < 32 * 1024, f"heap grew by {heap_after - heap_before} bytes"


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
