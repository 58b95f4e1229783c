"""Parquet and Arrow files (IPC files and streams, Feather) as inputs of
`qarn convert`: read a record batch at a time with pyarrow and written with
qarn.write. The options that say how to read CSV do not apply to them."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from ._optional import require
from ._streaming import Sink, Written
from .writing import write

KINDS = {".parquet": "Parquet", ".pq": "Parquet", ".arrow": "Arrow", ".arrows": "Arrow", ".ipc": "Arrow",
         ".feather": "Feather"}  # fmt: skip


class TableFileError(ValueError):
    """A table file that cannot be written as QARN: pyarrow is missing, or
    a column has a type QARN cannot hold."""


def table_file_kind(path: str) -> str | None:
    """"Parquet", "Arrow" or "Feather" for a file named so, else None."""
    return KINDS.get(os.path.splitext(path)[1].lower())


def _parquet_batches(pa: Any, path: str) -> Any:
    parquet = require("pyarrow.parquet", "arrow", "reading a Parquet file")
    file = parquet.ParquetFile(path, memory_map=True)
    return pa.RecordBatchReader.from_batches(file.schema_arrow, file.iter_batches(batch_size=64 * 1024))


def _arrow_batches(pa: Any, path: str) -> Any:
    """An IPC file (Feather 2 is one) a batch at a time from its mapping,
    else an IPC stream; Feather 1, which is neither, whole."""
    source = pa.memory_map(path)
    try:
        ipc = pa.ipc.open_file(source)
    except pa.ArrowInvalid:
        try:
            return pa.ipc.open_stream(pa.memory_map(path))
        except pa.ArrowInvalid:
            feather = require("pyarrow.feather", "arrow", "reading a Feather file")
            return feather.read_table(path)

    def batches() -> Iterator[Any]:
        for index in range(ipc.num_record_batches):
            yield ipc.get_batch(index)

    return pa.RecordBatchReader.from_batches(ipc.schema, batches())


class _Counted:
    """The batches of a reader as they pass, with their rows and missing
    values counted: what a conversion reports."""

    def __init__(self, batches: Any) -> None:
        self._batches = batches
        self.rows = 0
        self.missing = 0

    def __iter__(self) -> Iterator[Any]:
        for batch in self._batches:
            self.rows += batch.num_rows
            self.missing += sum(column.null_count for column in batch.columns)
            yield batch


def table_file_to_qarn(path: str, chunk_size: int, sink: Sink) -> Written:
    """Writes the file's table into `sink` a slice at a time."""
    kind = table_file_kind(path) or "Arrow"
    try:
        pa = require("pyarrow", "arrow", f"reading a {kind} file")
        batches = _parquet_batches(pa, path) if kind == "Parquet" else _arrow_batches(pa, path)
        if isinstance(batches, pa.Table):
            batches = pa.RecordBatchReader.from_batches(batches.schema, batches.to_batches())
        counted = _Counted(batches)
        write(pa.RecordBatchReader.from_batches(batches.schema, counted), sink, chunk_size=chunk_size)
    except (ImportError, TypeError) as error:
        raise TableFileError(str(error)) from None
    return Written(counted.rows, counted.missing, sink.size, sink.head)
