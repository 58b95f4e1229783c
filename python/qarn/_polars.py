"""Tables as polars DataFrames, through Arrow: polars lays out the string
columns in its own memory, which it reuses from one table to the next."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._optional import require

if TYPE_CHECKING:
    import polars

    from .table import Table


def table_to_polars(table: Table) -> polars.DataFrame:
    pl = require("polars", "polars", "Table.to_polars()")
    require("pyarrow", "polars", "Table.to_polars()")
    return pl.from_arrow(table.to_arrow(), rechunk=False)
