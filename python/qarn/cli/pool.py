"""Converting many files at once in worker processes, each file on one
thread of its own process: the Python around each conversion (writing,
summing up) does not queue for one interpreter lock, and a worker that dies
takes no other file down with it.

Jobs go to the workers in the order given; reports come back as the files
finish. A worker that dies (killed, or out of memory) breaks the pool: the
jobs that may have been running in it are run again one at a time at the
end, so that a second death names its file, and the others go on in a new
pool. Interrupted, the pool kills its workers at once, so that the caller
can remove their temporary files knowing no worker still writes one."""

from __future__ import annotations

import contextlib
import multiprocessing
import signal
from collections.abc import Generator, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool

from .._atomic import remove_temporary
from .._file_conversion import ConversionJob, FileReport, internal_failure, run_job, shown_source
from .._messages import UNEXPECTED

WORKER_DIED = "the conversion process died (killed, or out of memory)"


def _in_worker() -> None:
    # Ctrl-C, and the terminal closing, reach every process of the
    # terminal's group; only the parent acts on them, by killing the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)


def _context() -> multiprocessing.context.BaseContext:
    # Workers are forked from a server process that has imported the
    # conversion once, so each starts at once; forking this process instead
    # would copy its threads' state (the progress bar has one).
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["qarn._file_conversion"])
    return context


class WorkerPool:
    def __init__(self, workers: int) -> None:
        self._workers = workers
        self._executor = self._new_executor(workers)

    @staticmethod
    def _new_executor(workers: int) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(max_workers=workers, mp_context=_context(), initializer=_in_worker)

    def _renew(self, workers: int) -> None:
        self._executor.shutdown(wait=True)
        self._executor = self._new_executor(workers)

    def run(self, jobs: Iterable[ConversionJob]) -> Iterator[FileReport]:
        """The report of every job, in the order the jobs finish."""
        pending = list(jobs)
        suspects: list[ConversionJob] = []
        while pending:
            unfinished = yield from self._round(pending)
            # The executor hands jobs out in order, so the ones a dead
            # worker could have held are the first unfinished ones.
            suspects += unfinished[: self._workers + 1]
            pending = unfinished[self._workers + 1 :]
            if unfinished:
                self._renew(self._workers)
        for job in suspects:
            self._renew(1)
            unfinished = yield from self._round([job])
            if unfinished:
                yield FileReport(job.source, job.target, error=WORKER_DIED, error_path=shown_source(job.source))

    def _round(self, jobs: list[ConversionJob]) -> Generator[FileReport, None, list[ConversionJob]]:
        """Runs the jobs on the current executor; returns those it could
        not finish because the pool broke, in the order given."""
        futures: dict[Future[FileReport], int] = {self._executor.submit(run_job, job): i for i, job in enumerate(jobs)}
        unfinished: list[int] = []
        for future in as_completed(futures):
            try:
                report = future.result()
            except BrokenProcessPool:
                unfinished.append(futures[future])
                continue
            except UNEXPECTED as error:  # run_job reports its own: this one came from carrying the job or its report
                report = internal_failure(jobs[futures[future]], error)
            yield report
        if unfinished:
            self._executor.shutdown(wait=True)  # every worker is gone, so what they wrote can go
            for index in unfinished:
                remove_temporary(jobs[index].temporary)
        return [jobs[index] for index in sorted(unfinished)]

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
