"""The writer's 2^31 limits through the public function. They need more than
2 GiB of string data in one slice, so they run only with --run-slow."""

import pytest

from _qarn import csv_to_qarn

pytestmark = pytest.mark.slow


def test_a_slice_holding_more_than_2_gib_of_strings():
    row = b"x" * (1 << 20) + b"\n"  # 1 MiB strings: 2048 of them pass 2^31 bytes
    data = b"h\n" + row * 2100
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data, chunk_size=5000)
    assert str(info.value) == "QARN write error: too many values in array"
    del data
    # The same rows in slices of 1000 fit.
    out = csv_to_qarn(b"h\n" + row * 2100, chunk_size=1000)
    assert len(out) > 2100 << 20


def test_a_field_longer_than_2_gib():
    data = b"h,n\n" + b"x" * (1 << 31) + b",1\n"
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data)
    assert str(info.value) == "QARN write error: string too long"


def test_a_header_name_longer_than_2_gib():
    data = b"a," + b"n" * (1 << 31) + b"\n1,2\n"
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data)
    assert str(info.value) == "QARN write error: string too long"
