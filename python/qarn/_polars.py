"""Tables as polars DataFrames, through Arrow. String columns go over as
Arrow string views, the layout polars keeps strings in, so that polars takes
them without converting or copying them."""

from __future__ import annotations

from typing import TYPE_CHECKING

from . import _native
from ._optional import require
from ._unique_names import unique_names
from .types import STRING

if TYPE_CHECKING:
    import polars
    import pyarrow

    from .table import Column, Table

_MAX_VIEW_DATA = 2**31 - 1  # views hold 32-bit offsets


def _column_to_arrow(pa: object, column: Column) -> pyarrow.Array:
    from ._arrow import column_to_arrow, validity_bitmap

    parts = column._values
    if column.type_id != STRING or len(parts.data) > _MAX_VIEW_DATA:
        return column_to_arrow(column)
    views = _native.string_views(parts.offsets_buffer, parts.data, parts.offset_width)
    bitmap, nulls = validity_bitmap(pa, column)
    return pa.Array.from_buffers(pa.string_view(), len(column), [bitmap, pa.py_buffer(views),
                                                                 pa.py_buffer(parts.data)], nulls)


def table_to_polars(table: Table) -> polars.DataFrame:
    pl = require("polars", "polars", "Table.to_polars()")
    pa = require("pyarrow", "polars", "Table.to_polars()")
    arrays = [_column_to_arrow(pa, column) for column in table]
    return pl.from_arrow(pa.Table.from_arrays(arrays, names=unique_names(table.column_names)), rechunk=False)
