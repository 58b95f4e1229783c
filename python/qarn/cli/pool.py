"""Converting many files at once in worker processes (the conversion holds
the interpreter lock, so threads would not run two at a time).

Jobs go to the workers in the order given; reports come back as the files
finish. Interrupted, the pool kills its workers at once, so that the caller
can remove their temporary files knowing no worker still writes one."""

from __future__ import annotations

import contextlib
import multiprocessing
import signal
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool

from .._file_conversion import ConversionJob, FileReport, run_job

WORKER_DIED = "the conversion process ended before it finished (out of memory or killed)"


def _in_worker() -> None:
    # Ctrl-C reaches every process of the terminal's group; only the parent
    # acts on it, by killing the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _context() -> multiprocessing.context.BaseContext:
    # Workers are forked from a server process that has imported the
    # conversion once, so each starts at once; forking this process instead
    # would copy its threads' state (the progress bar has one).
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["qarn._file_conversion"])
    return context


class WorkerPool:
    def __init__(self, workers: int) -> None:
        self._executor = ProcessPoolExecutor(max_workers=workers, mp_context=_context(), initializer=_in_worker)

    def run(self, jobs: Iterable[ConversionJob]) -> Iterator[FileReport]:
        """The report of every job, in the order the jobs finish. A job
        whose worker died is reported as failed, and so is every job after
        it that the broken pool could no longer run."""
        futures: dict[Future[FileReport], ConversionJob] = {
            self._executor.submit(run_job, job): job for job in jobs
        }
        for future in as_completed(futures):
            job = futures[future]
            try:
                yield future.result()
            except BrokenProcessPool:
                yield FileReport(job.source, job.target, error=WORKER_DIED, error_path=job.source)

    def stop(self) -> None:
        """Drops the jobs not yet started and kills the workers."""
        self._executor.shutdown(wait=False, cancel_futures=True)
        workers = multiprocessing.active_children()
        for process in workers:
            with contextlib.suppress(OSError):
                process.kill()
        for process in workers:
            process.join()

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, *rest: object) -> None:
        if exc_type is None:
            self._executor.shutdown(wait=True)
        else:
            self.stop()
