"""Columns of pandas and polars objects, and the values of a mapping, as the
writer takes them: through Arrow, with the checks Arrow's own conversion
leaves out, so that a column is written as it is or refused by name, never
changed on the way."""

from __future__ import annotations

import datetime
import sys
from typing import Any

from ._optional import loaded_class, require
from ._write_columns import Lowered, arrow_column, not_unicode, numpy_column, unsupported

# polars types whose Arrow form is not their values: an Object column goes
# over as the addresses of its Python objects.
_POLARS_UNWRITABLE = {"Object", "Int128", "UInt128"}


def check_polars_types(schema: Any) -> None:
    """TypeError naming the first column of a polars schema that Arrow would
    hand over as something other than its values."""
    for name, dtype in schema.items():
        if type(dtype).__name__ in _POLARS_UNWRITABLE:
            raise unsupported(str(name), dtype)


def pandas_array(pa: Any, name: str, series: Any) -> Any:
    """A pandas Series as an Arrow array. A column of Python objects must
    hold one kind of value: Arrow would make str and bytes all bytes, and
    times with and without a zone all times without one."""
    try:
        array = pa.array(series, from_pandas=True)
    except UnicodeEncodeError:
        raise not_unicode(name, series.tolist(), series.isna().tolist()) from None
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as error:
        raise TypeError(f"column {name!r} cannot be written: {str(error).splitlines()[0]}") from None
    if series.dtype == object and (pa.types.is_binary(array.type) or pa.types.is_timestamp(array.type)):
        _check_one_kind(name, series.dropna().tolist())
    return array


def _check_one_kind(name: str, values: list[Any]) -> None:
    strings = sum(isinstance(value, str) for value in values)
    if 0 < strings < len(values):
        raise TypeError(f"column {name!r} holds both str and bytes values; a column holds one type")
    times = [value for value in values if isinstance(value, datetime.datetime)]
    zoned = sum(value.tzinfo is not None for value in times)
    if 0 < zoned < len(times):
        raise TypeError(f"column {name!r} holds times with and without a time zone; a column holds one type")


def mapped_column(name: str, value: Any) -> Lowered:
    """A value of a mapping given to qarn.write: a numpy array (or anything
    numpy takes), an Arrow array, or a polars or pandas Series, whose nulls
    stay missing rather than becoming NaN."""
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(value, (pa.Array, pa.ChunkedArray)):
        return arrow_column(pa, name, value)
    polars_series = loaded_class("polars", "Series")
    if polars_series is not None and isinstance(value, polars_series):
        pa = require("pyarrow", "polars", "qarn.write() of a polars Series")
        check_polars_types({name: value.dtype})
        return arrow_column(pa, name, value.to_arrow())
    pandas_series = loaded_class("pandas", "Series")
    if pandas_series is not None and isinstance(value, pandas_series):
        pa = require("pyarrow", "pandas", "qarn.write() of a pandas Series")
        return arrow_column(pa, name, pandas_array(pa, name, value))
    return numpy_column(name, value)
