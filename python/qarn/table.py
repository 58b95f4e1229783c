"""A QARN table read into memory: its metadata and its columns as numpy arrays."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np

from . import _native
from ._atomic import write_target
from ._columns import ColumnIndex
from ._csv_encoding import encode, other_encoding
from ._logical import NUMPY_DTYPES, column_properties, logical_type, shown_type, within_range
from ._text import plural
from .types import FIXED_DTYPES, VARIABLE, type_name

if TYPE_CHECKING:
    import pandas
    import polars
    import pyarrow


@dataclass(frozen=True)
class PropertyDefinition:
    """A column property as the metadata defines it once for all columns."""

    name: str
    type: str
    default: Any = None
    has_default: bool = False


# The offset width the native reader gives string columns laid out as views
# (qarn.read_polars): 16 bytes per element in `offsets_buffer`, and only
# the elements longer than 12 bytes in `data`.
VIEW_WIDTH = 16


class Values:
    """One array of values as the native reader decoded it: fixed-width
    values back to back, or `string` / `bytes` elements as offsets and data
    (or as views, for polars)."""

    __slots__ = ("type_id", "fixed", "offsets_buffer", "data", "offset_width", "_length")

    def __init__(self, parts: tuple[int, Any, Any, Any, int]) -> None:
        self.type_id, self.fixed, self.offsets_buffer, self.data, self.offset_width = parts
        if self.offset_width == VIEW_WIDTH:
            self._length = len(self.offsets_buffer) // VIEW_WIDTH
        elif self.type_id in VARIABLE:
            self._length = len(self.offsets_buffer) // self.offset_width - 1
        else:
            self._length = len(self.fixed) // FIXED_DTYPES[self.type_id].itemsize

    def __len__(self) -> int:
        return self._length

    def offsets(self) -> np.ndarray:
        """int32 offsets while the data stays below 2 GiB, else int64."""
        return np.frombuffer(self.offsets_buffer, dtype=np.int32 if self.offset_width == 4 else np.int64)

    def numpy(self) -> np.ndarray:
        if self.type_id not in VARIABLE:
            return np.frombuffer(self.fixed, dtype=FIXED_DTYPES[self.type_id])
        items = _native.elements(self.offsets_buffer, self.data, self.offset_width, self.type_id != 0x0C)
        array = np.empty(len(items), dtype=object)
        array[:] = items
        array.flags.writeable = False  # like the arrays of the other types, shared and read-only
        return array


class Column:
    """One column of a table: its name, type, values and invalid flags."""

    def __init__(self, name: str, type_id: int, values: Values, invalid: Any, properties: dict[str, Any]) -> None:
        self.name = name
        self.type_id = type_id
        self._values = values
        self._invalid = invalid
        self.properties = properties

    @cached_property
    def logical_type(self) -> str | None:
        """"date32[day]", "timestamp[us]" or "timestamp[us, tz=UTC]" for a
        `long` column of dates or timestamps, else None (also when a valid
        value lies outside years 0001 to 9999: then the integers are read)."""
        logical = logical_type(self.type_id, self.properties)
        if logical is None:
            return None
        stored = self._values.numpy()
        valid = stored if self._invalid is None else stored[~self.invalid]
        return logical if within_range(logical, valid) else None

    @property
    def type(self) -> str:
        """"bool", "int", "long", "float", "double", "string", "bytes", "date", "timestamp",
        or "0x06" ... "0x09", "0x0D"."""
        return shown_type(self.type_id, self.logical_type)

    def __len__(self) -> int:
        return len(self._values)

    @cached_property
    def values(self) -> np.ndarray:
        """One array for the whole column. Invalid rows hold what the file
        stores for them (the type's default, for converted files). Dates are
        datetime64[D], timestamps datetime64[us] (in UTC where they have a
        zone)."""
        values = self._values.numpy()
        return values if self.logical_type is None else values.view(NUMPY_DTYPES[self.logical_type])

    @cached_property
    def invalid(self) -> np.ndarray:
        """One flag per row, True where the row's value is invalid."""
        if self._invalid is None:
            flags = np.zeros(len(self), dtype=np.bool_)
            flags.flags.writeable = False
            return flags
        return np.frombuffer(self._invalid, dtype=np.bool_)

    @property
    def invalid_count(self) -> int:
        return 0 if self._invalid is None else int(np.count_nonzero(self.invalid))

    def __repr__(self) -> str:
        return f"<qarn.Column {self.name!r}: {self.type}, {plural(len(self), 'row')}, {self.invalid_count:,} invalid>"


class Table:
    """A table read from a QARN file.

    `len(table)` is the number of columns, as iterating over the table and
    indexing it go over columns; `num_rows` counts rows.
    """

    def __init__(self, raw: dict[str, Any], selected: list[int], threads: int = 1) -> None:
        self._threads = threads  # for laying out what other libraries take
        self.version: tuple[int, int] = raw["version"]
        self.slice_rows: list[int] = raw["slice_rows"]
        self.table_properties: dict[str, Any] = {}
        self.table_property_defaults: dict[str, Any] = {}
        for name, _type_id, value, default in raw["table_properties"]:
            if name in self.table_properties:
                continue  # the first entry of a name is the one that counts
            self.table_properties[name] = value
            if default is not None:
                self.table_property_defaults[name] = default
        self.column_property_definitions = [
            PropertyDefinition(name, type_name(type_id), default, default is not None)
            for name, type_id, default in raw["definitions"]
        ]
        self._file_columns: list[int] = selected
        self._file_names: list[str] = raw["names"]
        self._slice_properties: dict[tuple[int, int], list] = raw["slice_properties"]
        self._slice_has_invalid: bytes = raw["slice_has_invalid"]
        self._file_column_count = len(raw["names"])
        self._slice_starts = np.concatenate(([0], np.cumsum(self.slice_rows, dtype=np.int64)))
        self._columns = [self._make_column(raw, index) for index in selected]
        self._index = ColumnIndex([column.name for column in self._columns])

    def _make_column(self, raw: dict[str, Any], index: int) -> Column:
        values, invalid = raw["columns"][index]
        properties = column_properties(raw["definitions"], raw["column_values"][index])
        return Column(raw["names"][index], raw["types"][index], Values(values), invalid, properties)

    # ------------------------------------------------------------ shape

    @property
    def column_names(self) -> list[str]:
        return [column.name for column in self._columns]

    def _unique_names(self) -> list[str]:
        """The names made unique as for a read of every column, so that a
        name means one column of the file whatever the selection; a column
        selected twice gets a further suffix."""
        from ._unique_names import unique_names

        whole = unique_names(self._file_names)
        return unique_names([whole[index] for index in self._file_columns], reserved=whole)

    @property
    def column_types(self) -> list[str]:
        return [column.type for column in self._columns]

    @property
    def num_rows(self) -> int:
        return int(self._slice_starts[-1])

    @property
    def num_slices(self) -> int:
        return len(self.slice_rows)

    @property
    def num_columns(self) -> int:
        return len(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    def __iter__(self) -> Iterator[Column]:
        return iter(self._columns)

    def __contains__(self, name: object) -> bool:
        return name in self._index

    def __getitem__(self, key: int | str) -> Column:
        return self._columns[self._index.position(key)]

    def column(self, key: int | str) -> Column:
        return self[key]

    def __repr__(self) -> str:
        columns = ", ".join(f"{c.name}: {c.type}" for c in self._columns)
        return f"<qarn.Table {plural(self.num_rows, 'row')}, {plural(self.num_slices, 'slice')}; {columns}>"

    # -------------------------------------------------- slice properties

    def slice_properties(self, slice_index: int, column: int | str) -> dict[str, np.ndarray]:
        """The value properties of one column in one table slice, by name:
        "IsInvalid" as a bool array when the slice has it, and every other
        ("ErrorCode", "HasReplacedValue", ...) as an array of its own type."""
        if not -self.num_slices <= slice_index < self.num_slices:
            raise IndexError(f"slice {slice_index} out of range for {plural(self.num_slices, 'slice')}")
        slice_index %= self.num_slices
        position = self._index.position(column)
        file_column = self._file_columns[position]
        result: dict[str, np.ndarray] = {}
        if self._slice_has_invalid[slice_index * self._file_column_count + file_column]:
            start, stop = self._slice_starts[slice_index], self._slice_starts[slice_index + 1]
            result["IsInvalid"] = self._columns[position].invalid[start:stop]
        for name, _encoding, values in self._slice_properties.get((slice_index, file_column), []):
            result.setdefault(name, Values(values).numpy())
        return result

    # -------------------------------------------------------- conversion

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow Table; invalid cells are nulls. Column names are made
        unique: a later use of a name gets `_2`, `_3`, ... after it, and an
        empty name is `column_N` (N its position from 1)."""
        from ._arrow import table_to_arrow

        return table_to_arrow(self)

    def to_pandas(self) -> pandas.DataFrame:
        """A pandas DataFrame with nullable dtypes; invalid cells are missing."""
        from ._pandas import table_to_pandas

        return table_to_pandas(self)

    def to_polars(self) -> polars.DataFrame:
        """A polars DataFrame; invalid cells are nulls. Column names are made
        unique as by to_arrow(). The decoded data is shared, not copied:
        string and bytes columns are laid out as polars keeps them, on the
        threads the table was read with. qarn.read_polars() gives the same
        frame sooner, decoding strings straight into that layout."""
        from ._polars import table_to_polars

        return table_to_polars(self)

    def _csv_columns(self) -> list[tuple[Any, ...]]:
        """The columns as the native CSV writer takes them (also used to
        write the first rows only, or a file one slice at a time)."""
        columns = []
        for column in self._columns:
            parts = column._values
            columns.append(
                (parts.type_id, parts.fixed, parts.offsets_buffer, parts.data, parts.offset_width, column._invalid,
                 column.logical_type)
            )  # fmt: skip
        return columns

    def to_csv(
        self,
        target: str | os.PathLike[str] | BinaryIO | None = None,
        *,
        delimiter: str = ",",
        quotechar: str | None = '"',
        escapechar: str | None = None,
        doublequote: bool = True,
        lineterminator: str = "\n",
        encoding: str = "utf-8",
        header: bool = True,
    ) -> bytes | None:
        """The table as CSV: the bytes, or written to `target` (a path,
        replaced only once complete, or a binary file object) and None.

        By default the text converts back to the same file. The options
        name the dialect as Python's `csv` module does: a field is quoted
        (`quotechar`, None for none), or its special characters escaped
        (`escapechar`), only where it would not read back as it is; quotes
        inside are doubled, or escaped when `doublequote` is False.
        `lineterminator` is "\\n", "\\r\\n" or "\\r"; `header` False leaves
        out the names. A field the dialect cannot write so that it reads
        back raises ValueError naming the cell, as does a character
        `encoding` cannot encode."""
        other = other_encoding(encoding)
        text = _native.to_csv(
            self.column_names,
            self._csv_columns(),
            self.num_rows,
            delimiter=delimiter,
            quotechar=quotechar,
            escapechar=escapechar,
            doublequote=doublequote,
            lineterminator=lineterminator,
            header=header,
        )
        if other is not None:
            text = encode(text, other, self, header)
        if target is None:
            return bytes(text)
        write_target(target, text)
        return None
