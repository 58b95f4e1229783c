"""A small, strict reader of QARN files, used by the tests to assert output.

It decodes every section the writer produces and fails loudly on anything
out of place (wrong magic, unknown ids, trailing bytes), so a test that only
decodes already checks the framing byte for byte.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"\x4e\x7c"
FILE_HEADER, TABLE_METADATA, TABLE_SLICE, COLUMN_SLICE, TABLE_END = 1, 2, 3, 4, 5

BOOL, INT, LONG, FLOAT, DOUBLE, STRING, BYTES = 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0x0C
TYPE_NAMES = {BOOL: "bool", INT: "int", LONG: "long", DOUBLE: "double", STRING: "string"}
FIXED_FORMATS = {BOOL: "<?", INT: "<i", LONG: "<q", FLOAT: "<f", DOUBLE: "<d"}
OPAQUE_WIDTHS = {0x06: 8, 0x07: 8, 0x08: 8, 0x09: 8, 0x0D: 16}

PLAIN, RUN_LENGTH, BIT_ARRAY = 1, 2, 3


class DecodeError(AssertionError):
    pass


@dataclass
class Property:
    name: str
    type_id: int
    value: object
    default: object = None
    has_default: bool = False


@dataclass
class ColumnSlice:
    type_id: int
    encoding: int
    values: list
    properties: dict[str, tuple[int, list]] = field(default_factory=dict)

    @property
    def invalid(self) -> list[bool] | None:
        """The "IsInvalid" bits, or None when the property is absent."""
        entry = self.properties.get("IsInvalid")
        return None if entry is None else entry[1]


@dataclass
class QarnFile:
    version: tuple[int, int]
    table_properties: list[Property]
    column_properties: list[Property]  # definitions, in order
    column_values: list[list[tuple[bool, object]]]  # per column, per definition
    slices: list[list[ColumnSlice]]

    @property
    def column_names(self) -> list[str]:
        return [values[0][1] for values in self.column_values]

    @property
    def column_types(self) -> list[str]:
        return [TYPE_NAMES[values[1][1][0]] for values in self.column_values]

    def rows(self) -> list[list]:
        """All rows in order; an invalid value is None."""
        out = []
        for table_slice in self.slices:
            columns = [
                [None if bad else value for value, bad in zip(c.values, c.invalid or [False] * len(c.values))]
                for c in table_slice
            ]
            out.extend(map(list, zip(*columns)))
        return out


class _Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise DecodeError(f"truncated at byte {self.pos}: wanted {n}")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def byte(self) -> int:
        return self.take(1)[0]

    def count(self) -> int:
        (n,) = struct.unpack("<i", self.take(4))
        if n < 0:
            raise DecodeError(f"negative count {n} at byte {self.pos - 4}")
        return n

    def name(self) -> str:
        return self.take(self.count()).decode("utf-8")

    def packed_length(self) -> int:
        value, shift = 0, 0
        for i in range(5):
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return value
        raise DecodeError("packed length longer than 5 bytes")

    def section(self, expected: int) -> None:
        at = self.pos
        if self.take(2) != MAGIC:
            raise DecodeError(f"bad magic at byte {at}")
        found = self.byte()
        if found != expected:
            raise DecodeError(f"section {found} at byte {at}, expected {expected}")

    def peek_section(self) -> int:
        if self.data[self.pos : self.pos + 2] != MAGIC:
            raise DecodeError(f"bad magic at byte {self.pos}")
        return self.data[self.pos + 2]

    def fixed(self, type_id: int, n: int) -> list:
        if type_id in FIXED_FORMATS:
            fmt = FIXED_FORMATS[type_id]
            size = struct.calcsize(fmt)
            raw = self.take(size * n)
            if type_id == BOOL and any(b > 1 for b in raw):
                raise DecodeError("bool byte other than 0 or 1")
            return [struct.unpack_from(fmt, raw, i * size)[0] for i in range(n)]
        if type_id in OPAQUE_WIDTHS:
            width = OPAQUE_WIDTHS[type_id]
            return [self.take(width) for _ in range(n)]
        raise DecodeError(f"unknown type id {type_id:#x}")

    def unpacked_value(self, type_id: int):
        if type_id in (STRING, BYTES):
            raw = self.take(self.count())
            return raw.decode("utf-8") if type_id == STRING else raw
        return self.fixed(type_id, 1)[0]

    def packed_values(self, type_id: int, n: int) -> list:
        if type_id not in (STRING, BYTES):
            return self.fixed(type_id, n)
        total = self.count()
        end = self.pos + total
        values = []
        for _ in range(n):
            raw = self.take(self.packed_length())
            values.append(raw.decode("utf-8") if type_id == STRING else raw)
        if self.pos != end:
            raise DecodeError(f"packed total {total} does not match the elements")
        return values

    def encoded_array(self) -> tuple[int, int, list]:
        encoding = self.byte()
        type_id = self.byte()
        if encoding == PLAIN:
            return encoding, type_id, self.packed_values(type_id, self.count())
        if encoding == RUN_LENGTH:
            represented = self.count()
            runs = self.take(self.count())
            run_values = self.packed_values(type_id, self.count())
            values = [v for v, r in zip(run_values, runs) for _ in range(r + 1)]
            if len(values) != represented:
                raise DecodeError("run-length total does not match the runs")
            return encoding, type_id, values
        if encoding == BIT_ARRAY:
            if type_id != BOOL:
                raise DecodeError("bit array of a type other than bool")
            bits = self.count()
            raw = self.take((bits + 7) // 8)
            values = [bool(raw[i // 8] & (0x80 >> (i % 8))) for i in range(bits)]
            if bits % 8 and raw[-1] & (0xFF >> (bits % 8)):
                raise DecodeError("unused bits of a bit array are not zero")
            return encoding, type_id, values
        raise DecodeError(f"unknown encoding {encoding}")


def _property(r: _Reader, with_value: bool) -> Property:
    name = r.name()
    type_id = r.byte()
    value = None
    if with_value:
        if r.byte() != 1:
            raise DecodeError("table property without a value")
        value = r.unpacked_value(type_id)
    prop = Property(name, type_id, value)
    flag = r.byte()
    if flag not in (0, 1):
        raise DecodeError(f"default flag {flag}")
    if flag:
        prop.has_default, prop.default = True, r.unpacked_value(type_id)
    return prop


def _metadata(r: _Reader):
    table_properties = [_property(r, True) for _ in range(r.count())]
    column_count = r.count()
    definitions = [_property(r, False) for _ in range(r.count())]
    columns = []
    for _ in range(column_count):
        values = []
        for d in definitions:
            flag = r.byte()
            if flag not in (0, 1):
                raise DecodeError(f"value flag {flag}")
            values.append((bool(flag), r.unpacked_value(d.type_id) if flag else None))
        columns.append(values)
    return table_properties, definitions, columns


def _column_slice(r: _Reader) -> ColumnSlice:
    r.section(COLUMN_SLICE)
    encoding, type_id, values = r.encoded_array()
    column = ColumnSlice(type_id, encoding, values)
    for _ in range(r.count()):
        name = r.name()
        _, prop_type, prop_values = r.encoded_array()
        column.properties[name] = (prop_type, prop_values)
    return column


def decode(data: bytes) -> QarnFile:
    """Decodes a whole file; raises DecodeError on anything malformed."""
    r = _Reader(data)
    r.section(FILE_HEADER)
    version = (r.byte(), r.byte())
    r.section(TABLE_METADATA)
    table_properties, definitions, columns = _metadata(r)
    slices = []
    while r.peek_section() == TABLE_SLICE:
        r.section(TABLE_SLICE)
        slices.append([_column_slice(r) for _ in range(r.count())])
    r.section(TABLE_END)
    if r.pos != len(data):
        raise DecodeError(f"{len(data) - r.pos} bytes after the table end")
    return QarnFile(version, table_properties, definitions, columns, slices)


def same_value(a, b) -> bool:
    """Equality that tells NaNs and the signs of zero apart by bit pattern."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b and type(a) is type(b)


def float_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


__all__ = ["decode", "QarnFile", "ColumnSlice", "Property", "DecodeError", "same_value", "float_bits"]


def text_table(data: bytes) -> tuple[list[str], list[list[str]]]:
    """Header and rows of a file whose columns are all `string`, with empty
    fields as ''; the stored values themselves, regardless of "IsInvalid"."""
    qarn = decode(data)
    rows = []
    for table_slice in qarn.slices:
        assert all(c.type_id == STRING for c in table_slice)
        rows.extend(map(list, zip(*(c.values for c in table_slice))))
    return qarn.column_names, rows
