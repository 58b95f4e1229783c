"""Tables as polars DataFrames, through Arrow. String columns go over as
Arrow string views, the layout polars keeps strings in, so that polars takes
them without converting or copying them."""

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

    return pl.from_arrow(table_to_arrow(table, string_view=True), rechunk=False)
