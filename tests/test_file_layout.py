"""Exact bytes of whole files: the framing, the table metadata and the way
records are cut into slices."""

import struct

import pytest

from _qarn import csv_to_qarn
from qarn_decoder import decode

FILE_HEADER = bytes.fromhex("4e7c01 0100")
TABLE_END = bytes.fromhex("4e7c05")


def count(n: int) -> bytes:
    return struct.pack("<i", n)


def name(text: str) -> bytes:
    raw = text.encode()
    return count(len(raw)) + raw


def metadata(columns: list[tuple[str, int]]) -> bytes:
    """The TableMetadata section this system writes for these columns."""
    out = bytes.fromhex("4e7c02") + count(1) + name("TableColumns") + b"\x02\x01" + count(len(columns)) + b"\x00"
    out += count(len(columns))
    if not columns:
        return out + count(0)
    out += count(2) + name("Name") + b"\x0a\x00" + name("DataType") + b"\x0c\x00"
    for column_name, type_id in columns:
        out += b"\x01" + name(column_name) + b"\x01" + count(1) + bytes([type_id])
    return out


WORKED_EXAMPLE = bytes.fromhex(
    "4e7c01 0100"
    "4e7c02 01000000 0c000000" + b"TableColumns".hex() + "02 01 02000000 00"
    "02000000 02000000"
    "04000000" + b"Name".hex() + "0a 00"
    "08000000" + b"DataType".hex() + "0c 00"
    "01 01000000 61  01 01000000 0a"
    "01 01000000 62  01 01000000 02"
    "4e7c03 02000000"
    "4e7c04 010a 02000000 04000000 0178 0179 00000000"
    "4e7c04 0102 02000000 01000000 02000000 00000000"
    "4e7c05"
)


def test_worked_example_byte_for_byte():
    assert len(WORKED_EXAMPLE) == 143
    assert csv_to_qarn(b"a,b\nx,1\ny,2\n") == WORKED_EXAMPLE


@pytest.mark.parametrize(
    "data, columns",
    [
        (b"", []),
        (b"\n", []),
        (b"\r\n\r\n", []),
        (b"\n\r\r\n\n", []),
        (b"\xef\xbb\xbf", []),
        (b"\xef\xbb\xbf\n\n", []),
        (b"a,b\n", [("a", 0x0A), ("b", 0x0A)]),
        (b"a,b", [("a", 0x0A), ("b", 0x0A)]),
        (b"\n\na\r\n", [("a", 0x0A)]),
        (b"a,a,,\n", [("a", 0x0A), ("a", 0x0A), ("", 0x0A), ("", 0x0A)]),
        ('h\u00e9,"x,y"\n'.encode(), [("h\u00e9", 0x0A), ("x,y", 0x0A)]),
    ],
)
def test_files_without_records(data, columns):
    assert csv_to_qarn(data) == FILE_HEADER + metadata(columns) + TABLE_END


def test_empty_header_name_is_written_with_length_zero():
    out = csv_to_qarn(b",b\n")
    assert b"\x01" + count(0) + b"\x01" + count(1) + b"\x0a" in out


def slice_sizes(data: bytes, **kwargs) -> list[int]:
    return [len(s[0].values) for s in decode(csv_to_qarn(data, **kwargs)).slices]


def numbered(n: int) -> bytes:
    return b"n\n" + b"".join(b"%d\n" % i for i in range(n))


@pytest.mark.parametrize(
    "records, kwargs, sizes",
    [
        (25, {"chunk_size": 10}, [10, 10, 5]),
        (20, {"chunk_size": 10}, [10, 10]),
        (1, {"chunk_size": 10}, [1]),
        (3, {"chunk_size": 1}, [1, 1, 1]),
        (500, {"chunk_size": 300, "sample_rows": 1000}, [300, 200]),
        (500, {"chunk_size": 300, "sample_rows": 0}, [300, 200]),
        (500, {"chunk_size": 300, "sample_rows": 299}, [300, 200]),
        (500, {"chunk_size": 300, "sample_rows": 301}, [300, 200]),
        (500, {"chunk_size": 2**64 - 1}, [500]),
        (20001, {}, [10000, 10000, 1]),
        (0, {"chunk_size": 1}, []),
    ],
)
def test_records_are_cut_into_slices(records, kwargs, sizes):
    assert slice_sizes(numbered(records), **kwargs) == sizes


@pytest.mark.parametrize("sample_rows", [0, 1, 7, 299, 300, 301, 1000, 2**64 - 1])
@pytest.mark.parametrize("chunk_size", [1, 3, 300, 2**64 - 1])
def test_sample_size_changes_only_the_types(sample_rows, chunk_size):
    data = b"n,s\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(700))
    result = decode(csv_to_qarn(data, chunk_size=chunk_size, sample_rows=sample_rows))
    expected_type = "string" if sample_rows == 0 else "int"
    assert result.column_types == [expected_type, "string"]
    convert = int if expected_type == "int" else str
    assert result.rows() == [[convert(i), "x%d" % i] for i in range(700)]
    assert [len(s[0].values) for s in result.slices] == slice_sizes(data, chunk_size=chunk_size, sample_rows=0)


def test_metadata_counts_header_fields_not_record_fields():
    result = decode(csv_to_qarn(b"a,b,c\n1\n1,2,3,4,5\n"))
    assert result.table_properties[0].name == "TableColumns"
    assert result.table_properties[0].value == 3
    assert result.column_names == ["a", "b", "c"]
    assert result.rows() == [[1, None, None], [1, 2, 3]]
