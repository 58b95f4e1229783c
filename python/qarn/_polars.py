"""Tables as polars DataFrames, through Arrow."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._optional import require

if TYPE_CHECKING:
    import polars

    from .table import Table


def table_to_polars(table: Table) -> polars.DataFrame:
    pl = require("polars", "polars", "Table.to_polars()")
    require("pyarrow", "polars", "Table.to_polars()")
    from ._arrow import table_to_arrow

    return pl.from_arrow(table_to_arrow(table), rechunk=False)
