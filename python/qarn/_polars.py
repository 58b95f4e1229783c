"""Tables as polars DataFrames, through Arrow. polars keeps its strings as
views (16 bytes per value that point into shared data); we lay those out
natively, on the threads the table was read with, so that polars takes the
decoded data as it is rather than copying every value."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _native
from ._arrow import column_to_arrow, validity_bitmap
from ._optional import require
from .table import VIEW_WIDTH
from .types import BYTES, STRING

if TYPE_CHECKING:
    import polars

    from .table import Column, Table

# View offsets are 32 bits wide: a column with more data keeps Arrow's
# plain layout, which polars then copies.
_MOST_VIEWED_DATA = 2**31 - 1


def _viewed(column: Column) -> bool:
    parts = column._values
    return parts.type_id in (STRING, BYTES) and column.logical_type is None and len(parts.data) <= _MOST_VIEWED_DATA


def _read_as_views(column: Column) -> bool:
    return column._values.offset_width == VIEW_WIDTH


def _view_array(pa: Any, column: Column, views: Any) -> Any:
    view_type = pa.string_view() if column._values.type_id == STRING else pa.binary_view()
    validity, nulls = validity_bitmap(pa, column)
    buffers = [validity, views, pa.py_buffer(column._values.data)]
    return pa.Array.from_buffers(view_type, len(column), buffers, nulls)


def table_to_polars(table: Table) -> polars.DataFrame:
    pl = require("polars", "polars", "Table.to_polars()")
    pa = require("pyarrow", "polars", "Table.to_polars()")
    columns = list(table)
    # Read as views already (qarn.read_polars), or laid out now.
    view_of = {
        i: pa.py_buffer(column._values.offsets_buffer) for i, column in enumerate(columns) if _read_as_views(column)
    }
    viewed = [i for i, column in enumerate(columns) if i not in view_of and _viewed(column)]
    if viewed and hasattr(pa, "string_view"):
        # In Arrow's pool, which keeps freed pages mapped for the next table.
        views = [pa.allocate_buffer(16 * len(columns[i])) for i in viewed]
        parts = [columns[i]._values for i in viewed]
        laid_out = [(p.offsets_buffer, p.data, p.offset_width, v) for p, v in zip(parts, views, strict=True)]
        _native.string_views(laid_out, table._threads)
        view_of.update(zip(viewed, views, strict=True))
    arrays = [
        _view_array(pa, column, view_of[i]) if i in view_of else column_to_arrow(column)
        for i, column in enumerate(columns)
    ]
    # polars' import from Arrow tells names apart only up to a NUL
    # character; named afterwards, they stay whole and apart.
    frame = pl.from_arrow(pa.Table.from_arrays(arrays, names=[str(i) for i in range(len(arrays))]), rechunk=False)
    frame.columns = table._unique_names()
    return frame
