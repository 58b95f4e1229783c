"""The value types of the format, by id, and the numpy form of each."""

from __future__ import annotations

import numpy as np

BOOL, INT, LONG, FLOAT, DOUBLE, STRING, BYTES, OPAQUE16 = 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0x0C, 0x0D
OPAQUE8 = (0x06, 0x07, 0x08, 0x09)
VARIABLE = (STRING, BYTES)

TYPE_NAMES: dict[int, str] = {
    BOOL: "bool",
    INT: "int",
    LONG: "long",
    FLOAT: "float",
    DOUBLE: "double",
    0x06: "0x06",
    0x07: "0x07",
    0x08: "0x08",
    0x09: "0x09",
    STRING: "string",
    BYTES: "bytes",
    OPAQUE16: "0x0D",
}

# numpy dtypes of the fixed-width types, as they lie in memory.
FIXED_DTYPES: dict[int, np.dtype] = {
    BOOL: np.dtype(np.bool_),
    INT: np.dtype("<i4"),
    LONG: np.dtype("<i8"),
    FLOAT: np.dtype("<f4"),
    DOUBLE: np.dtype("<f8"),
    0x06: np.dtype("<u8"),
    0x07: np.dtype("<u8"),
    0x08: np.dtype("<u8"),
    0x09: np.dtype("<u8"),
    OPAQUE16: np.dtype("S16"),
}


def type_name(type_id: int) -> str:
    return TYPE_NAMES[type_id]
