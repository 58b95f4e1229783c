"""Columns lowered to what the native writer takes: a source kind, whether
timestamps are in UTC, and pieces of buffers (offset, length, validity,
values, data) in Arrow's memory layout, from Arrow arrays without a copy
and from numpy arrays with as few as their types allow."""

from __future__ import annotations

from typing import Any

import numpy as np

# The native writer's source kinds, by number.
BOOL_BYTES, BOOL_BITS = 0, 1
INT8, INT16, INT32, INT64, UINT8, UINT16, UINT32, UINT64 = range(2, 10)
FLOAT32, FLOAT64 = 10, 11
STRING32, STRING64, BINARY32, BINARY64 = 12, 13, 14, 15
DATE32, DATE64 = 16, 17
TIMESTAMP_KINDS = {"s": 18, "ms": 19, "us": 20, "ns": 21}

Piece = tuple[int, int, Any, Any, Any]
Lowered = tuple[int, bool, list[Piece]]

WHAT_FITS = "bool, integers, floats, strings, binary, dates and timestamps"

_NUMERIC = {
    "i": {1: INT8, 2: INT16, 4: INT32, 8: INT64},
    "u": {1: UINT8, 2: UINT16, 4: UINT32, 8: UINT64},
    "f": {4: FLOAT32, 8: FLOAT64},
}


def unsupported(name: str, type_name: object) -> TypeError:
    return TypeError(f"column {name!r} has type {type_name}, which QARN files cannot hold ({WHAT_FITS})")


# ------------------------------------------------------------------ Arrow


def _arrow_kind(pa: Any, name: str, arrow_type: Any) -> tuple[int, bool, Any]:
    """The kind of a column of this type, its zone flag, and the type to cast
    to first (None when its buffers serve as they are)."""
    t = pa.types
    simple = [
        (t.is_boolean, BOOL_BITS), (t.is_int8, INT8), (t.is_int16, INT16), (t.is_int32, INT32),
        (t.is_int64, INT64), (t.is_uint8, UINT8), (t.is_uint16, UINT16), (t.is_uint32, UINT32),
        (t.is_uint64, UINT64), (t.is_float32, FLOAT32), (t.is_float64, FLOAT64), (t.is_string, STRING32),
        (t.is_large_string, STRING64), (t.is_binary, BINARY32), (t.is_large_binary, BINARY64),
        (t.is_date32, DATE32),
    ]  # fmt: skip
    for test, kind in simple:
        if test(arrow_type):
            return kind, False, None
    if t.is_timestamp(arrow_type):
        return TIMESTAMP_KINDS[arrow_type.unit], arrow_type.tz is not None, None
    casts = [
        (t.is_float16, pa.float32()), (t.is_date64, pa.date32()), (t.is_string_view, pa.large_string()),
        (t.is_binary_view, pa.large_binary()), (t.is_fixed_size_binary, pa.binary()),
    ]  # fmt: skip
    for test, target in casts:
        if test(arrow_type):
            return _arrow_kind(pa, name, target)[0], False, target
    if t.is_dictionary(arrow_type):
        kind, utc, _ = _arrow_kind(pa, name, arrow_type.value_type)
        return kind, utc, arrow_type.value_type
    if t.is_null(arrow_type):
        return STRING32, False, pa.string()
    raise unsupported(name, arrow_type)


def check_arrow_type(pa: Any, name: str, arrow_type: Any) -> None:
    """TypeError naming the column when no column of this type can be written."""
    _arrow_kind(pa, name, arrow_type)


def arrow_column(pa: Any, name: str, column: Any) -> Lowered:
    """An Arrow Array or ChunkedArray, each chunk a piece of its own buffers."""
    kind, utc, cast_to = _arrow_kind(pa, name, column.type)
    if cast_to is not None:
        try:
            column = column.cast(cast_to)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:  # a date64 that is not a whole day
            raise ValueError(f"column {name!r} cannot be written: {str(error).splitlines()[0]}") from None
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    pieces = []
    for chunk in chunks:
        if len(chunk) == 0:
            continue
        buffers = chunk.buffers()
        validity = buffers[0] if chunk.null_count > 0 else None
        data = buffers[2] if len(buffers) > 2 else None
        pieces.append((chunk.offset, len(chunk), validity, buffers[1], data))
    return kind, utc, pieces


# ------------------------------------------------------------------ numpy


def _validity(missing: np.ndarray) -> Any:
    """Arrow's validity bits for a mask of missing rows, or None for none."""
    if not missing.any():
        return None
    return np.packbits(~missing, bitorder="little")


def not_unicode(name: str, items: Any, missing: Any) -> ValueError:
    """The error for a string column holding a lone surrogate, at its row."""
    row = next(i for i, (item, gone) in enumerate(zip(items, missing))
               if not gone and isinstance(item, str) and not _encodes(item))  # fmt: skip
    return ValueError(f"column {name!r} holds a string that is not valid Unicode (a lone surrogate) at row {row}")


def _encodes(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _elements(name: str, items: list[Any], missing: np.ndarray) -> Lowered:
    """Strings or bytes objects (None where `missing`) as one piece of
    64-bit offsets and their data."""
    present = [item for item, gone in zip(items, missing) if not gone]
    if all(isinstance(item, str) for item in present):
        kind = STRING64
        try:
            encoded = [b"" if gone else item.encode("utf-8") for item, gone in zip(items, missing)]
        except UnicodeEncodeError:
            raise not_unicode(name, items, missing) from None
    elif all(isinstance(item, (bytes, bytearray, memoryview)) for item in present):
        kind = BINARY64
        encoded = [b"" if gone else bytes(item) for item, gone in zip(items, missing)]
    else:
        odd = next(item for item in present if not isinstance(item, (str, bytes, bytearray, memoryview)))
        raise unsupported(name, f"object holding {type(odd).__name__}")
    offsets = np.zeros(len(encoded) + 1, dtype=np.int64)
    np.cumsum([len(item) for item in encoded], out=offsets[1:])
    return kind, False, [(0, len(encoded), _validity(missing), offsets, b"".join(encoded))]


# The unit a datetime64 array is stored in, by its own unit: days for
# dates, the same unit where the writer takes it, else the nearest one.
_STORED_UNIT = {"Y": "D", "M": "D", "W": "D", "D": "D", "h": "s", "m": "s", "s": "s",
                "ms": "ms", "us": "us", "ns": "ns", "ps": "ns", "fs": "ns", "as": "ns"}  # fmt: skip


def _stored_times(name: str, values: np.ndarray) -> np.ndarray:
    """A datetime64 array in a unit the writer takes, of one step, in this
    machine's byte order: the same instants, or ValueError for one that
    cannot be held exactly (finer than nanoseconds, or beyond the range of
    the unit it goes into)."""
    stored = np.dtype(f"datetime64[{_STORED_UNIT[np.datetime_data(values.dtype)[0]]}]")
    if values.dtype == stored:
        return values
    try:
        converted = values.astype(stored)
    except OverflowError:
        raise ValueError(f"column {name!r} holds a time out of the range of {stored}") from None
    # Only a unit finer than nanoseconds loses anything when it converts.
    same = (converted == values) | np.isnat(values)
    if not same.all():
        row = int(np.argmin(same))
        raise ValueError(f"column {name!r} holds {values[row]} at row {row}, which is not whole nanoseconds")
    return converted


def numpy_column(name: str, array: Any) -> Lowered:
    """A one-dimensional numpy array (masked arrays: masked rows are missing;
    datetime64: NaT is missing; object arrays: None is)."""
    missing = np.ma.getmaskarray(array) if isinstance(array, np.ma.MaskedArray) else None
    values = np.ma.getdata(array) if missing is not None else np.asarray(array)
    if values.ndim != 1:
        raise ValueError(f"column {name!r} has {values.ndim} dimensions; a column has one")
    if missing is None:
        missing = np.zeros(len(values), dtype=np.bool_)
    dtype = values.dtype
    if dtype.kind in "USO":
        items = values.tolist()
        if dtype.kind == "O":
            missing = missing | np.fromiter((item is None for item in items), dtype=np.bool_, count=len(items))
        return _elements(name, items, missing)
    if dtype.kind == "M":
        values = _stored_times(name, values)
        missing = missing | np.isnat(values)
        unit = np.datetime_data(values.dtype)[0]
        kind = DATE64 if unit == "D" else TIMESTAMP_KINDS[unit]
        values = values.view(np.int64)
    elif dtype.kind == "b":
        kind = BOOL_BYTES
    elif dtype.kind in _NUMERIC:
        if dtype == np.float16:
            values, dtype = values.astype(np.float32), np.dtype(np.float32)
        kind = _NUMERIC[dtype.kind].get(dtype.itemsize, -1)
        if kind < 0:
            raise unsupported(name, dtype)
    else:
        raise unsupported(name, dtype)
    values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("="))
    pieces = [(0, len(values), _validity(missing), values, None)] if len(values) else []
    return kind, False, pieces
