"""Dates and timestamps: `long` columns whose "LogicalType" property says
what their integers count. Any reader of the format sees the integers; this
package reads them as dates and times. A property on a column of another
type, or with a value it does not know, is left alone."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from .types import LONG, type_name

PROPERTY = "LogicalType"
DATE = "date32[day]"  # days since 1970-01-01
TIMESTAMP = "timestamp[us]"  # microseconds since 1970-01-01T00:00, no zone
TIMESTAMP_UTC = "timestamp[us, tz=UTC]"  # the same in UTC

_NAMES = {DATE: "date", TIMESTAMP: "timestamp", TIMESTAMP_UTC: "timestamp"}
NUMPY_DTYPES = {DATE: np.dtype("datetime64[D]"), TIMESTAMP: np.dtype("datetime64[us]"),
                TIMESTAMP_UTC: np.dtype("datetime64[us]")}  # fmt: skip


# What each can hold: years 0001 to 9999, the days from 0001-01-01 to
# 10000-01-01 (exclusive) counted from 1970-01-01, or their microseconds.
_FIRST_DAY, _DAY_AFTER_LAST = -719162, 2932897
_MICROS_PER_DAY = 86_400_000_000
RANGES = {
    DATE: (_FIRST_DAY, _DAY_AFTER_LAST),
    TIMESTAMP: (_FIRST_DAY * _MICROS_PER_DAY, _DAY_AFTER_LAST * _MICROS_PER_DAY),
    TIMESTAMP_UTC: (_FIRST_DAY * _MICROS_PER_DAY, _DAY_AFTER_LAST * _MICROS_PER_DAY),
}


def logical_type(type_id: int, properties: Mapping[str, Any]) -> str | None:
    value = properties.get(PROPERTY)
    return value if type_id == LONG and value in _NAMES else None


def within_range(logical: str, values: np.ndarray) -> bool:
    """Whether every value is a date or time the type can hold: a file from
    elsewhere may say dates of integers that are none, which are then read
    as the integers they are rather than wrapped or overflowed."""
    if values.size == 0:
        return True
    low, high = RANGES[logical]
    return bool(values.min() >= low and values.max() < high)


def shown_type(type_id: int, logical: str | None) -> str:
    """"date" or "timestamp" for those, else the stored type's name."""
    return _NAMES[logical] if logical is not None else type_name(type_id)


def column_properties(definitions: Sequence[Any], values: Sequence[Any]) -> dict[str, Any]:
    """A column's properties by name, the first definition of a name winning."""
    properties: dict[str, Any] = {}
    for definition, value in zip(definitions, values):
        name = definition[0]
        if value is not None and name not in properties:
            properties[name] = value
    return properties


def column_type_names(head: Mapping[str, Any]) -> list[str]:
    """Each column's shown type, from the metadata the native reader gives
    (its "types", "definitions" and "column_values")."""
    return [
        shown_type(type_id, logical_type(type_id, column_properties(head["definitions"], values)))
        for type_id, values in zip(head["types"], head["column_values"])
    ]
