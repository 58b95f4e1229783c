"""The first rows of a QARN file, as text cells for an aligned table or as
typed values for JSON."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .._logical import TIMESTAMP, TIMESTAMP_UTC

from .._csv_rows import leading_slices, table_csv
from .._source import Source
from ..reading import Columns
from . import render

NUMERIC = {"int", "long", "float", "double", "0x06", "0x07", "0x08", "0x09"}


def first_rows_text(source: Source, rows: int, columns: Columns = None) -> str:
    """An aligned table of the first rows, each cell as the CSV would spell
    it (an invalid cell is blank), numbers to the right."""
    pieces: list[bytes] = []
    types: list[str] = []
    for table, take in leading_slices(source, columns=columns, rows=rows):
        pieces.append(bytes(table_csv(table, take, header=not pieces)))
        types = table.column_types
    header, body = render.parse_csv(b"".join(pieces))
    return render.aligned(header, body, [kind in NUMERIC for kind in types])


def _json_value(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)  # "nan", "inf", "-inf": JSON has no such numbers
    return value


def json_default(value: Any) -> Any:
    """For json.dumps: what it cannot write itself (bytes, numpy scalars)."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, np.generic):
        return _json_value(value.item())
    raise TypeError(f"{type(value).__name__} is not JSON")


def _iso_texts(column: Any, values: np.ndarray) -> list[str]:
    """Dates as YYYY-MM-DD; timestamps to the second, with a fraction where
    one has one, and Z in UTC."""
    if column.logical_type not in (TIMESTAMP, TIMESTAMP_UTC):
        return [str(value) for value in values.tolist()]
    zone = "Z" if column.logical_type == TIMESTAMP_UTC else ""
    texts = []
    for value in values:
        text = str(np.datetime_as_string(value, unit="us"))
        seconds, fraction = text.split(".")
        fraction = fraction.rstrip("0")
        texts.append(seconds + ("." + fraction if fraction else "") + zone)
    return texts


def first_rows_json(source: Source, rows: int, columns: Columns = None) -> list[list[Any]]:
    """The first rows as lists of values; an invalid cell is None."""
    result: list[list[Any]] = []
    for table, take in leading_slices(source, columns=columns, rows=rows):
        cells = []
        for column in table:
            values = column.values[:take]
            if values.dtype.kind == "S":  # the 16-byte type: raw bytes
                values = np.array([bytes(value) for value in values], dtype=object)
            elif values.dtype.kind == "M":  # dates and times: ISO text as to_csv writes it, with Z in UTC
                values = np.array(_iso_texts(column, values), dtype=object)
            invalid = column.invalid[:take]
            cells.append([None if bad else _json_value(value) for value, bad in zip(values.tolist(), invalid.tolist())])
        result.extend(list(row) for row in zip(*cells))
        if not cells:
            result.extend([] for _ in range(take))
    return result
