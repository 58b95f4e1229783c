"""Tables as pyarrow Tables, sharing the decoded buffers where Arrow's
layout allows."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from ._logical import DATE, TIMESTAMP_UTC
from ._optional import require
from .types import BOOL, BYTES, DOUBLE, FLOAT, INT, LONG, OPAQUE8, OPAQUE16, STRING

if TYPE_CHECKING:
    import pyarrow

    from .table import Column, Table

_INT32_LIMIT = 2**31 - 1


def validity_bitmap(pa: object, column: Column) -> tuple[object | None, int]:
    """Arrow's validity bitmap (1 for a value, first row in the lowest bit)."""
    if column._invalid is None:
        return None, 0
    invalid = column.invalid
    nulls = int(np.count_nonzero(invalid))
    if nulls == 0:
        return None, 0
    bitmap = np.packbits(~invalid, bitorder="little")
    return pa.py_buffer(bitmap), nulls


def column_to_arrow(column: Column) -> pyarrow.Array:
    pa = require("pyarrow", "arrow", "Table.to_arrow()")
    parts = column._values
    rows = len(column)
    validity, nulls = validity_bitmap(pa, column)
    type_id = parts.type_id
    if column.logical_type == DATE:
        # date32 counts days in 32 bits; every date there is fits.
        days = np.frombuffer(parts.fixed, dtype="<i8").astype(np.int32)
        return pa.Array.from_buffers(pa.date32(), rows, [validity, pa.py_buffer(days)], nulls)
    if column.logical_type is not None:
        arrow_type = pa.timestamp("us", tz="UTC" if column.logical_type == TIMESTAMP_UTC else None)
        return pa.Array.from_buffers(arrow_type, rows, [validity, pa.py_buffer(parts.fixed)], nulls)
    if type_id == BOOL:
        bits = np.packbits(np.frombuffer(parts.fixed, dtype=np.uint8), bitorder="little")
        return pa.Array.from_buffers(pa.bool_(), rows, [validity, pa.py_buffer(bits)], nulls)
    fixed_types = {INT: pa.int32(), LONG: pa.int64(), FLOAT: pa.float32(), DOUBLE: pa.float64()}
    fixed_types.update({t: pa.uint64() for t in OPAQUE8})
    fixed_types[OPAQUE16] = pa.binary(16)
    if type_id in fixed_types:
        return pa.Array.from_buffers(fixed_types[type_id], rows, [validity, pa.py_buffer(parts.fixed)], nulls)
    offsets = parts.offsets()
    small = len(parts.data) <= _INT32_LIMIT
    if type_id == STRING:
        arrow_type = pa.string() if small else pa.large_string()
    elif type_id == BYTES:
        arrow_type = pa.binary() if small else pa.large_binary()
    else:  # pragma: no cover - every type id is handled above
        raise ValueError(f"unknown type id {type_id}")
    if small and offsets.dtype != np.int32:
        offsets = offsets.astype(np.int32)
    elif not small and offsets.dtype != np.int64:
        offsets = offsets.astype(np.int64)
    offsets_buffer = pa.py_buffer(offsets)
    return pa.Array.from_buffers(arrow_type, rows, [validity, offsets_buffer, pa.py_buffer(parts.data)], nulls)


def table_to_arrow(table: Table) -> pyarrow.Table:
    pa = require("pyarrow", "arrow", "Table.to_arrow()")
    arrays = [column_to_arrow(column) for column in table]
    return pa.Table.from_arrays(arrays, names=table._unique_names())
