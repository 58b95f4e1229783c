"""Builds QARN files by hand, for tests of what the converter never writes:
every value type, run-length and bit arrays, properties with defaults,
extra column properties and further value properties."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

BOOL, INT, LONG, FLOAT, DOUBLE, STRING, BYTES, OPAQUE16 = 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0x0C, 0x0D
OPAQUE8 = (0x06, 0x07, 0x08, 0x09)
_FORMATS = {BOOL: "<?", INT: "<i", LONG: "<q", FLOAT: "<f", DOUBLE: "<d", **{t: "<Q" for t in OPAQUE8}}


def count(n: int) -> bytes:
    return struct.pack("<i", n)


def name(text: str) -> bytes:
    raw = text.encode()
    return count(len(raw)) + raw


def packed_length(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _raw(type_id: int, value) -> bytes:
    if type_id == STRING:
        return value.encode()
    if type_id in (BYTES, OPAQUE16):
        return bytes(value)
    return struct.pack(_FORMATS[type_id], value)


def single(type_id: int, value) -> bytes:
    """A metadata value in the unpacked form."""
    raw = _raw(type_id, value)
    return count(len(raw)) + raw if type_id in (STRING, BYTES) else raw


def packed(type_id: int, values) -> bytes:
    if type_id in (STRING, BYTES):
        body = b"".join(packed_length(len(raw)) + raw for raw in (_raw(type_id, v) for v in values))
        return count(len(body)) + body
    return b"".join(_raw(type_id, v) for v in values)


def plain(type_id: int, values) -> bytes:
    return bytes([1, type_id]) + count(len(values)) + packed(type_id, values)


def run_length(type_id: int, runs: list[tuple[object, int]]) -> bytes:
    """Runs of (value, repetitions), each 1 to 256."""
    run_bytes = bytes(r - 1 for _, r in runs)
    return (
        bytes([2, type_id])
        + count(sum(r for _, r in runs))
        + count(len(run_bytes))
        + run_bytes
        + count(len(runs))
        + packed(type_id, [v for v, _ in runs])
    )


def bit_array(flags) -> bytes:
    raw = bytearray((len(flags) + 7) // 8)
    for i, flag in enumerate(flags):
        if flag:
            raw[i // 8] |= 0x80 >> (i % 8)
    return bytes([3, BOOL]) + count(len(flags)) + bytes(raw)


def column_slice(values: bytes, properties: list[tuple[str, bytes]] = ()) -> bytes:
    body = values + count(len(properties)) + b"".join(name(n) + array for n, array in properties)
    return b"\x4e\x7c\x04" + body


@dataclass
class Property:
    name: str
    type_id: int
    value: object = None
    default: object = None


@dataclass
class ColumnDef:
    name: str
    type_id: int
    extra: list[Property] = field(default_factory=list)  # name, type and value of extra properties
    without: tuple[str, ...] = ()  # properties the column holds no value for


def _entry(prop: Property, with_value: bool) -> bytes:
    out = name(prop.name) + bytes([prop.type_id])
    if with_value:
        out += b"\x01" + single(prop.type_id, prop.value)
    if prop.default is None:
        return out + b"\x00"
    return out + b"\x01" + single(prop.type_id, prop.default)


def build(columns: list[ColumnDef], slices: list[list[bytes]], table_properties: list[Property] | None = None,
          definition_defaults: dict[str, object] | None = None, definitions: list[Property] | None = None) -> bytes:
    """A whole file. Column property definitions are derived the way the
    writer derives them ("Name", "DataType", then extras by first appearance),
    unless `definitions` gives them in an order of its own."""
    if table_properties is None:
        table_properties = [Property("TableColumns", INT, len(columns))]
    if definitions is None:
        definitions = _derived_definitions(columns, definition_defaults or {})
    out = b"\x4e\x7c\x01\x01\x00\x4e\x7c\x02"
    out += count(len(table_properties)) + b"".join(_entry(p, True) for p in table_properties)
    out += count(len(columns)) + count(len(definitions)) + b"".join(_entry(d, False) for d in definitions)
    for column in columns:
        values = {"Name": column.name, "DataType": bytes([column.type_id])}
        for extra in column.extra:
            values.setdefault(extra.name, extra.value)
        for definition in definitions:
            if definition.name in values and definition.name not in column.without:
                out += b"\x01" + single(definition.type_id, values[definition.name])
            else:
                out += b"\x00"
    for table_slice in slices:
        out += b"\x4e\x7c\x03" + count(len(table_slice)) + b"".join(table_slice)
    return out + b"\x4e\x7c\x05"


def _derived_definitions(columns: list[ColumnDef], defaults: dict[str, object]) -> list[Property]:
    definitions: list[Property] = []
    if columns:
        definitions = [Property("Name", STRING, default=defaults.get("Name")),
                       Property("DataType", BYTES, default=defaults.get("DataType"))]
    for column in columns:
        for extra in column.extra:
            if all(d.name != extra.name for d in definitions):
                definitions.append(Property(extra.name, extra.type_id, default=defaults.get(extra.name)))
    return definitions
