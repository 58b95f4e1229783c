"""Tables as pandas DataFrames with nullable dtypes: an invalid cell is
missing, and a NaN that the file holds stays NaN."""

from __future__ import annotations

import importlib.util
from typing import TYPE_CHECKING, Any

import numpy as np

from ._arrow_memory import owned_copy
from ._logical import DATE, TIMESTAMP_UTC
from ._optional import require
from .types import BOOL, BYTES, DOUBLE, FLOAT, INT, LONG, OPAQUE8, STRING

if TYPE_CHECKING:
    import pandas

    from .table import Column, Table


def _masked(pd: Any, column: Column) -> Any:
    """A nullable array of a fixed-width column, else None. Only the type
    is looked at first: `column.values` of a string column would make a
    Python object of every value."""
    type_id = column.type_id
    if type_id == BOOL:
        kind = pd.arrays.BooleanArray
    elif type_id in (INT, LONG) or type_id in OPAQUE8:
        kind = pd.arrays.IntegerArray
    elif type_id in (FLOAT, DOUBLE):
        kind = pd.arrays.FloatingArray
    else:
        return None
    # pandas gets arrays of its own: the decoded ones are shared, read-only,
    # with the table and whatever else was made from it. A mask with nothing
    # set is fresh zeroed memory, which the kernel maps lazily.
    mask = np.zeros(len(column), dtype=np.bool_) if column._invalid is None else owned_copy(column.invalid)
    return kind(owned_copy(column.values), mask)


def _strings(pd: Any, column: Column) -> Any:
    if column.type_id == STRING and importlib.util.find_spec("pyarrow") is not None:
        from ._arrow import column_to_arrow

        return pd.StringDtype("pyarrow").__from_arrow__(column_to_arrow(column))
    values = column.values.copy()  # an object array of its own
    values[column.invalid] = None
    if column.type_id == STRING:
        return pd.array(values, dtype=pd.StringDtype())
    return pd.array(values, dtype=object)


def _datetimes(pd: Any, column: Column) -> Any:
    """datetime64 with NaT where invalid: seconds for dates (pandas has no
    date type), microseconds for timestamps, in UTC where they have a zone."""
    unit = "datetime64[s]" if column.logical_type == DATE else "datetime64[us]"
    if column._invalid is None:
        values = column.values.astype(unit)  # an array of its own
    else:
        # NaT before the change of unit: what an invalid row stores need not
        # be a day that seconds can hold.
        values = column.values.copy()
        values[column.invalid] = np.array("NaT", dtype=values.dtype)
        values = values.astype(unit, copy=False)
    array = pd.array(values)
    return array.tz_localize("UTC") if column.logical_type == TIMESTAMP_UTC else array


def column_to_pandas(pd: Any, column: Column) -> Any:
    if column.logical_type is not None:
        return _datetimes(pd, column)
    masked = _masked(pd, column)
    if masked is not None:
        return masked
    if column.type_id in (STRING, BYTES):
        return _strings(pd, column)
    # The 16-byte type, as bytes objects of all 16 bytes (numpy's S16 would
    # drop trailing zero bytes).
    raw = bytes(column._values.fixed)
    values = np.empty(len(column), dtype=object)
    values[:] = [raw[16 * i : 16 * i + 16] for i in range(len(column))]
    values[column.invalid] = None
    return pd.array(values, dtype=object)


def table_to_pandas(table: Table) -> pandas.DataFrame:
    pd = require("pandas", "pandas", "Table.to_pandas()")
    data = {}
    for position, column in enumerate(table):
        data[position] = column_to_pandas(pd, column)
    frame = pd.DataFrame(data, copy=False)
    frame.columns = table.column_names  # names may repeat
    return frame
