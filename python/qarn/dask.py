"""QARN on a dask.distributed cluster: `read_qarn` opens a folder of QARN
files as one Dask DataFrame, `to_qarn` writes one as a folder of them, and
`convert_many` converts many CSV files: one task per
file, each worker reading its input and writing its output itself (on
storage that every worker and the caller see under the same paths), so no
file's content goes through the scheduler.

    from distributed import Client
    import qarn.dask

    client = Client("tcp://scheduler:8786")
    for report in qarn.dask.convert_many(paths, "/shared/qarn", client=client):
        print(report.path, report.rows, report.bytes, report.error)

A task whose worker dies is run again on another worker (Dask does this by
itself); its output is written under a temporary name and renamed once
complete, so it is complete or absent, never partial.
"""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Iterable, Iterator
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING

from ._dask_frames import read_qarn, to_qarn
from ._file_conversion import ConversionJob, FileReport, internal_failure, run_job
from ._native import PanicException
from ._optional import require
from ._targets import check_one_input_each, outputs_in
from .convert import CHUNK_SIZE, SAMPLE_ROWS

if TYPE_CHECKING:
    import distributed
else:
    distributed = require("distributed", "dask", "qarn.dask")

__all__ = ["FileReport", "connect", "convert_many", "iter_reports", "read_qarn", "to_qarn"]


@contextlib.contextmanager
def connect(address: str) -> Iterator[distributed.Client]:
    """A client of the scheduler at `address`, closed at the end."""
    client = distributed.Client(address)
    try:
        yield client
    finally:
        client.close()


def _task_key(job: ConversionJob) -> str:
    # Readable on the dashboard, unique per submission.
    return f"qarn-convert-{Path(job.source).name}-{uuid.uuid4().hex}"


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def iter_reports(jobs: Iterable[ConversionJob], *, client: distributed.Client | None = None) -> Iterator[FileReport]:
    """Submits one task per job (largest inputs first) and yields the
    reports as the tasks finish. A task that could not run at all (its
    workers kept dying) is reported as failed with Dask's reason."""
    client = client or distributed.default_client()
    futures: dict[distributed.Future, ConversionJob] = {}
    for job in jobs:
        # Each attempt picks its own temporary name on its worker.
        job = replace(job, temporary=None)
        future = client.submit(run_job, job, key=_task_key(job), pure=False, priority=_size(job.source))
        futures[future] = job
    try:
        for future in distributed.as_completed(futures):
            job = futures[future]
            try:
                yield future.result()
            except PanicException as error:  # run_job reports its own; a bug met on the way there or back
                yield internal_failure(job, error)
            except Exception as error:  # noqa: BLE001 - the cluster's failure (its workers kept dying), as Dask names it
                yield FileReport(job.source, job.target, error=f"{type(error).__name__}: {error}", error_path=job.source)
    finally:
        client.cancel(list(futures))


def convert_many(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    client: distributed.Client | None = None,
    chunk_size: int = CHUNK_SIZE,
    sample_rows: int = SAMPLE_ROWS,
    threads: int = 1,
    replace_existing: bool = True,
) -> list[FileReport]:
    """Converts each CSV path into `out_dir` on the cluster of `client` (by
    default the current client) and returns one report per path, in the
    order given: path, output, rows, columns, invalid cells, input and
    output bytes, seconds, and the error (None on success). Paths are made
    absolute here: the workers must see them under the same names. Each
    task converts on `threads` threads (one: the cluster's parallelism is
    its tasks).
    DIR/NAME.csv becomes `out_dir`/NAME.qarn when every path is in one
    folder; paths from several folders keep their folders relative to the
    one they share (a/x.csv and b/x.csv become `out_dir`/a/x.qarn and
    `out_dir`/b/x.qarn). Two paths that would still write one output (x.csv
    and x.txt) raise ValueError before anything is submitted."""
    sources = [os.path.abspath(path) for path in paths]
    targets = outputs_in(os.path.abspath(out_dir), sources)
    check_one_input_each(zip(sources, targets))
    jobs = [
        ConversionJob(source, target, chunk_size, sample_rows, threads, replace=replace_existing)
        for source, target in zip(sources, targets)
    ]
    by_source = {report.path: report for report in iter_reports(jobs, client=client)}
    return [by_source[job.source] for job in jobs]
