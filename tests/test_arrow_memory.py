"""With pyarrow loaded, a table's columns live in Arrow's memory pool: they
read the same, count there while anything holds them, and go back to it."""

import gc

import pytest

import qarn
from _qarn import csv_to_qarn
from qarn import _native

pa = pytest.importorskip("pyarrow")

CSV = b"n,s,x\n" + b"".join(b"%d,text %d,%s\n" % (i, i % 7, b"" if i % 5 else b"%d.25" % i) for i in range(20_000))
QARN = csv_to_qarn(CSV, 3000)


def _plain(raw):
    return [(values[0], *(None if part is None else bytes(part) for part in values[1:4]), values[4],
             None if invalid is None else bytes(invalid)) for values, invalid in raw["columns"]]


@pytest.mark.parametrize("allocate", [bytearray, pa.allocate_buffer], ids=["bytearray", "arrow"])
def test_columns_decoded_into_lent_blocks_are_the_same(allocate):
    assert _plain(_native.read(QARN, None, allocate)) == _plain(_native.read(QARN))


@pytest.mark.parametrize("allocate", [lambda size: bytearray(size // 2), lambda size: b"\0" * size],
                         ids=["too short", "read-only"])
def test_a_block_the_allocator_cannot_lend_is_a_memory_error(allocate):
    with pytest.raises(MemoryError):
        _native.read(QARN, None, allocate)


def test_a_table_lives_in_the_pool_until_the_last_holder_lets_go():
    gc.collect()
    before = pa.total_allocated_bytes()
    table = qarn.read(QARN)
    held = pa.total_allocated_bytes() - before
    assert held >= 20_000 * (4 + 4 + 8 + 1)  # values, string offsets and the invalid flags of x at least
    arrow = table.to_arrow()
    del table
    gc.collect()
    # All but the invalid flags, which Arrow takes as a bitmap of its own.
    assert held - 20_000 - 64 <= pa.total_allocated_bytes() - before <= held - 20_000
    assert arrow.column("s")[3].as_py() == "text 3"
    del arrow
    gc.collect()
    assert pa.total_allocated_bytes() == before
