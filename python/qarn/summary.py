"""What a QARN file holds, found without decoding its values."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from . import _native
from ._source import Source, open_source
from ._logical import column_type_names


@dataclass(frozen=True)
class ColumnSummary:
    name: str
    type: str
    invalid_count: int
    bytes: int  # of the column's slice sections


@dataclass(frozen=True)
class FileSummary:
    version: tuple[int, int]
    file_size: int
    num_rows: int
    num_slices: int
    slice_rows: list[int]
    metadata_bytes: int  # the file header and the table metadata
    columns: list[ColumnSummary]
    table_properties: dict[str, Any] = field(default_factory=dict)

    @property
    def invalid_count(self) -> int:
        return sum(column.invalid_count for column in self.columns)


def summarize(source: Source) -> FileSummary:
    """Rows, slices, and per column its type, invalid cells and size. The
    framing of the whole file and its "IsInvalid" flags are checked; the
    values are stepped over, so it costs a fraction of a full read."""
    with open_source(source) as data:
        raw = _native.summarize(data)
        size = memoryview(data).nbytes
    columns = [
        ColumnSummary(name, type_name, invalid, size_in_file)
        for name, type_name, invalid, size_in_file in zip(
            raw["names"], column_type_names(raw), raw["invalid_counts"], raw["column_bytes"]
        )
    ]
    properties: dict[str, Any] = {}
    for name, _type_id, value, _default in raw["table_properties"]:
        properties.setdefault(name, value)
    return FileSummary(
        version=tuple(raw["version"]),
        file_size=size,
        num_rows=sum(raw["slice_rows"]),
        num_slices=len(raw["slice_rows"]),
        slice_rows=raw["slice_rows"],
        metadata_bytes=raw["metadata_bytes"],
        columns=columns,
        table_properties=properties,
    )
