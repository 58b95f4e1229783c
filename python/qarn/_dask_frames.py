"""A folder of QARN files as one Dask DataFrame, and a Dask DataFrame as a
folder of QARN files. Each partition is a file, or a run of whole table
slices of a large one; only the columns a computation uses are decoded."""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from . import _native
from ._logical import column_type_names
from ._optional import require
from .reading import read, slices
from .summary import summarize
from .writing import CHUNK_SIZE, TABLE_END, write

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

BLOCKSIZE = 256 << 20

# (path, first slice, slices): None for the whole file.
Part = tuple[str, int, int | None]


def _natural(path: str) -> list[Any]:
    """part.2 before part.10."""
    return [int(piece) if piece.isdigit() else piece for piece in re.split(r"(\d+)", path)]


def _paths(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        if os.path.isdir(pattern):
            pattern = os.path.join(pattern, "*.qarn")
        found = sorted(glob.glob(pattern), key=_natural) if glob.has_magic(pattern) else [pattern]
    else:
        found = [os.fspath(path) for path in paths_or_glob]
    if not found:
        raise FileNotFoundError(f"no QARN files match {os.fspath(paths_or_glob)!r}")  # type: ignore[arg-type]
    return [os.path.abspath(path) for path in found]


def _parts(path: str, blocksize: int | None) -> list[Part]:
    """The whole file, or runs of slices of about `blocksize` bytes."""
    size = os.path.getsize(path)
    if blocksize is None or size <= blocksize:
        return [(path, 0, None)]
    count = summarize(path).num_slices
    if count <= 1:
        return [(path, 0, None)]
    groups = -(-size // blocksize)
    per_group = max(1, -(-count // groups))
    return [(path, first, min(per_group, count - first)) for first in range(0, max(count, 1), per_group)]


def _head(path: str) -> dict[str, Any]:
    """The file header and metadata (and "head_bytes", their size), from
    the start of the file read in growing pieces until it holds them."""
    size = os.path.getsize(path)
    wanted = 1 << 16
    with open(path, "rb") as file:
        while True:
            try:
                return _native.read_head(file.read(wanted))
            except _native.FormatError:
                if wanted >= size:
                    raise
                wanted *= 4
                file.seek(0)


def _schema(head: dict[str, Any]) -> tuple[list[str], list[str]]:
    return list(head["names"]), column_type_names(head)


def _read_part(part: Part, expected: tuple[list[str], list[str]], columns: Sequence[str] | None = None) -> pandas.DataFrame:
    path, first, count = part
    head = _head(path)
    if _schema(head) != expected:
        names, types = _schema(head)
        raise ValueError(
            f"{path}: its columns {list(zip(names, types))} are not those of the first file {list(zip(*expected))}"
        )
    wanted = None if columns is None else list(columns)
    if count is None:
        return read(path, columns=wanted).to_pandas()
    pd = require("pandas", "dask", "qarn.dask.read_qarn")
    frames = [table.to_pandas() for table in slices(path, columns=wanted, first=first, count=count)]
    return pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]


def read_qarn(
    paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    columns: Sequence[str] | None = None,
    blocksize: int | None = BLOCKSIZE,
) -> dask.dataframe.DataFrame:
    """QARN files as one Dask DataFrame, their rows in the order of the
    paths (a glob or a folder: in name order, part.2 before part.10).

    One partition per file; a file larger than `blocksize` bytes is split
    into runs of whole table slices of about that size (None: never).
    Only `columns` (default: all) are decoded, and of those only the ones
    a computation uses: the others' values are stepped over in the file.
    The columns and their types come from the first file's header, read
    without its values; every file must have the same. Invalid cells are
    missing values; dtypes are those of `Table.to_pandas()`."""
    dd = require("dask.dataframe", "dask", "qarn.dask.read_qarn")
    paths = _paths(paths_or_glob)
    with open(paths[0], "rb") as file:
        empty = file.read(_head(paths[0])["head_bytes"]) + TABLE_END
    meta = read(empty, columns=None if columns is None else list(columns)).to_pandas()
    expected = _schema(_native.read_head(empty))
    parts = [part for path in paths for part in _parts(path, blocksize)]
    dask = require("dask", "dask", "qarn.dask.read_qarn")
    # The partitions' strings are Arrow strings already; Dask's conversion
    # of object columns to strings would only spoil `bytes` columns.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(
            _read_part,
            parts,
            args=[expected],
            columns=None if columns is None else list(columns),
            meta=meta,
            label="read-qarn",
            enforce_metadata=False,
        )


def _write_part(frame: pandas.DataFrame, path: str, chunk_size: int) -> str:
    write(frame, path, chunk_size=chunk_size)
    return path


def to_qarn(ddf: dask.dataframe.DataFrame, folder: str | os.PathLike[str], *, chunk_size: int = CHUNK_SIZE) -> list[str]:
    """Writes each partition as `folder`/part.N.qarn (N from 0), on the
    workers, with qarn.write: each file is complete or absent. The index is
    not written. Returns the paths, in partition order. The folder is made
    when missing; files of an earlier, longer write are left as they are."""
    dask = require("dask", "dask", "qarn.dask.to_qarn")
    target = os.path.abspath(folder)
    os.makedirs(target, exist_ok=True)
    tasks = [
        dask.delayed(_write_part)(part, os.path.join(target, f"part.{number}.qarn"), chunk_size)
        for number, part in enumerate(ddf.to_delayed())
    ]
    return list(dask.compute(*tasks))
