"""The naive baseline: stdlib csv plus hand-written typed column packing.

What a Python user would write without a columnar library: decode the text,
parse it with the csv module, infer each column's type from the first rows,
and pack the columns into typed buffers with `array`. Empty cells are nulls
(a validity byte per row). A value that does not fit the inferred type widens
the whole column (int32 -> int64 -> double -> text).
"""

from __future__ import annotations

import csv
import io
import struct
from array import array

SAMPLE_ROWS = 1000
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
_BOOL = {"true": 1, "false": 0}
# Type codes, ordered from narrowest to widest.
BOOL, INT32, INT64, DOUBLE, STRING = range(5)
TYPE_NAMES = ("bool", "int32", "int64", "double", "string")


def _kind(v: str) -> int:
    if v.lower() in _BOOL:
        return BOOL
    try:
        i = int(v)
        return INT32 if INT32_MIN <= i <= INT32_MAX else INT64
    except ValueError:
        pass
    try:
        float(v)
        return DOUBLE
    except ValueError:
        return STRING


def infer(values) -> int:
    kinds = {_kind(v) for v in values if v != ""}
    if not kinds:
        return STRING
    if kinds == {BOOL}:
        return BOOL
    if BOOL in kinds or STRING in kinds:
        return STRING
    return max(kinds)


def _pack(kind: int, col) -> bytes:
    if kind == BOOL:
        return array("b", [_BOOL[v.lower()] if v else 0 for v in col]).tobytes()
    if kind in (INT32, INT64):
        return array("i" if kind == INT32 else "q",
                     [int(v) if v else 0 for v in col]).tobytes()
    if kind == DOUBLE:
        return array("d", [float(v) if v else 0.0 for v in col]).tobytes()
    blobs = [v.encode() for v in col]
    offsets = array("q", [0])
    pos = 0
    for b in blobs:
        pos += len(b)
        offsets.append(pos)
    return offsets.tobytes() + b"".join(blobs)


def convert(data: bytes):
    """CSV bytes -> (rows, columns, packed file bytes, column type names)."""
    rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline="")))
    header, body = rows[0], rows[1:]
    width = len(header)
    body = [r if len(r) == width else (r + [""] * width)[:width] for r in body]
    out = [struct.pack("<qq", len(body), width)]
    kinds = []
    for j, col in enumerate(zip(*body) if body else [()] * width):
        kind = infer(col[:SAMPLE_ROWS])
        while True:
            try:
                payload = _pack(kind, col)
                break
            except (ValueError, KeyError, OverflowError):
                kind += 1
        kinds.append(TYPE_NAMES[kind])
        validity = bytes(v != "" for v in col)
        name = header[j].encode()
        out.append(struct.pack("<bqqq", kind, len(name), len(validity),
                               len(payload)))
        out += [name, validity, payload]
    return len(body), width, b"".join(out), kinds
