"""The types a caller chooses for columns, as the converter takes them."""

from __future__ import annotations

from typing import Any

TYPES = ("bool", "int", "long", "float", "double", "string", "date", "timestamp")

# One type for every column, a list by position (None: inferred), or a dict
# by name or position (negative from the end).
ColumnTypes = str | list[str | None] | dict[str | int, str]


def _checked(type_name: object, where: str) -> str:
    if type_name not in TYPES:
        raise ValueError(f"column_types{where} must be one of {', '.join(TYPES)}, not {type_name!r}")
    return str(type_name)


def native_column_types(column_types: object) -> dict[str, Any]:
    """The converter's keywords for `column_types`: `column_type` for every
    column, `column_types` as (name or position, type) pairs."""
    if column_types is None:
        return {}
    if isinstance(column_types, str):
        return {"column_type": _checked(column_types, "")}
    if isinstance(column_types, dict):
        pairs = []
        for column, type_name in column_types.items():
            if isinstance(column, bool) or not isinstance(column, (str, int)):
                raise TypeError(f"column_types keys are column names or positions, not {column!r}")
            pairs.append((column, _checked(type_name, f"[{column!r}]")))
        return {"column_types": pairs}
    if isinstance(column_types, (list, tuple)):
        return {
            "column_types": [
                (position, _checked(type_name, f"[{position}]"))
                for position, type_name in enumerate(column_types)
                if type_name is not None
            ]
        }
    raise TypeError(f"column_types must be a type name, a list or a dict, not {type(column_types).__name__}")
