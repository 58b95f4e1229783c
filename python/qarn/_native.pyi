"""The native parts of the qarn package (private: use the `qarn` API)."""

from typing import Any

from collections.abc import Buffer as _Buffer, Callable, Sequence

class FormatError(ValueError):
    offset: int

class PanicException(BaseException): ...

class Buffer:
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

ValuesTuple = tuple[int, Buffer | None, Buffer | None, Buffer | None, int]

def read(
    source: _Buffer,
    selected: _Buffer | None = None,
    allocate: Callable[[int], Any] | None = None,
    threads: int = 1,
    views: bool = False,
) -> dict[str, Any]: ...
def read_head(source: _Buffer, /) -> dict[str, Any]: ...
def validate(source: _Buffer, /) -> None: ...
def to_csv(
    names: list[str],
    columns: list[tuple[int, Any, Any, Any, int, Any]],
    rows: int,
    /,
    *,
    delimiter: str = ",",
    quotechar: str | None = '"',
    escapechar: str | None = None,
    doublequote: bool = True,
    lineterminator: str = "\n",
    header: bool = True,
) -> Buffer: ...
def string_views(columns: list[tuple[_Buffer, _Buffer, int, _Buffer]], threads: int, /) -> None: ...
def utf8_valid(data: _Buffer, /) -> bool: ...
def elements(offsets: _Buffer, data: _Buffer, width: int, as_text: bool, /) -> list[Any]: ...

class SliceReader:
    head: dict[str, Any]
    position: int
    def __init__(self, source: _Buffer) -> None: ...
    def next_slice(self, selected: _Buffer | None = None) -> dict[str, Any] | None: ...

def summarize(source: _Buffer, /) -> dict[str, Any]: ...
# With report=True: (the file, misfits per column, records with extra fields,
# up to `rejects` rejects as (record, line, byte, column name, text), or None).
# With a `sink`, the file goes to it a piece at a time (each a memoryview,
# released after the call) and the result is (rows, invalid cells, misfits
# per column, records with extra fields, rejects or None); `data` may then be
# a `readinto` callable, read a window of `window_bytes` at a time.
def convert(
    data: _Buffer | Callable[[memoryview], int | None],
    chunk_size: int,
    sample_rows: int | None,
    threads: int,
    *,
    delimiter: str = ",",
    quotechar: str | None = '"',
    escapechar: str | None = None,
    doublequote: bool = True,
    newlines_in_values: bool = True,
    skipinitialspace: bool = False,
    comment: str | None = None,
    skip_rows: int = 0,
    header: bool = True,
    column_names: list[str] | None = None,
    null_values: list[str] | None = None,
    column_type: str | None = None,
    column_types: list[tuple[str | int, str]] | None = None,
    parse_dates: bool = False,
    report: bool = False,
    rejects: int | None = None,
    decimal: str = ".",
    thousands: str | None = None,
    thousands_columns: Sequence[int] | None = None,
    sink: Callable[[memoryview], int | None] | None = None,
    window_bytes: int = 0,
    segment_bytes: int = 0,
) -> Any: ...
# The dialect of a sample of UTF-8 CSV text (the start of an input, in whole
# lines; all of it when `whole`), with `tail` the end of a longer input: a
# dict of the dialect's fields ("delimiter", "quotechar", "escapechar",
# "newlines_in_values", "skipinitialspace", "comment", "header", "skip_rows", "skip_footer",
# "null_values"), "columns", and what the confidence is made of ("margin",
# "consistency", "header_certain").
def sniff_text(data: _Buffer, *, whole: bool = False, tail: _Buffer | None = None) -> dict[str, Any]: ...
# One of the sniffer's matchers on bytes, for its tests: "text" (a field as
# it reads it), "cell" (its kind), "shape", "number", "date", "fraction",
# "field_start", "quote_then_text", "quotes_needed" (bool) or "blank_lines"
# (where each run ends).
def sniff_pattern(pattern: str, data: _Buffer, /, *, delimiter: str = ",", quote: str = '"') -> Any: ...
# The text as UTF-8 (the input itself when it is ASCII), or where its first undefined byte lies.
def transcode(data: _Buffer, table: _Buffer, /) -> _Buffer | int: ...
# Columns as (source kind, utc, [(offset, length, validity, values, data)]),
# written as QARN bytes: the file's head when `head`, table slices of
# `chunk_size` rows, the table end when `end`. `first_row` numbers the rows
# in messages.
def write_table(
    names: list[str],
    columns: list[tuple[int, bool, list[tuple[int, int, _Buffer | None, _Buffer | None, _Buffer | None]]]],
    rows: int,
    chunk_size: int,
    first_row: int,
    *,
    head: bool,
    end: bool,
) -> bytes: ...
