"""Converting one CSV file (or a Parquet or Arrow file) into one QARN file, with a report of what came of
it. The same function runs in the command line's own process, in its
process pool and on Dask workers, so a job and its report are plain,
picklable data and every failure is a report, not an exception: an
unexpected one, a bug, is reported as an internal error of that file."""

from __future__ import annotations

import functools
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ._atomic import OutputExists, atomic_file
from ._csv_error import CsvError
from ._input_hints import (HEAD_BYTES, delimiter_hint, head_of, hint, input_compression, line_ends_as_bytes,
                           record_start, refusal)
from ._messages import UNEXPECTED, internal_error_message, os_error_message
from ._lost import LostCells
from ._native import read_head
from ._streaming import Counted, Prefixed, Sink, Written, decompressed_at, read_head as read_start
from .convert import CHUNK_SIZE, SAMPLE_ROWS, convert_counting
from ._table_files import table_file_kind, table_file_to_qarn

STDIO = "-"  # as a source: standard input; as a target: standard output


@dataclass(frozen=True)
class ConversionJob:
    source: str  # a CSV path, or "-"
    target: str  # the QARN path, or "-"
    chunk_size: int = CHUNK_SIZE
    sample_rows: int | None = SAMPLE_ROWS  # None: every row
    threads: int | None = None  # None: the library's default
    replace: bool = True  # False: an existing target is an error
    temporary: str | None = None  # chosen beforehand by whoever may have to remove it
    options: tuple[tuple[str, Any], ...] = ()  # keyword arguments of qarn.convert: dialect, encoding, ...


@dataclass(frozen=True)
class FileReport:
    """What became of one input. `error` is the exact message of what went
    wrong and `error_path` the file it is about (the input or the output);
    both are None on success."""

    path: str
    output: str
    rows: int | None = None
    columns: int | None = None
    invalid: int | None = None  # invalid cells: missing ones and misfits
    misfits: int | None = None  # fields their column's type could not take
    records_with_extra_fields: int | None = None
    rejects: str | None = None  # where the misfits and extra fields were listed
    input_bytes: int | None = None
    bytes: int | None = None  # of the output
    seconds: float = 0.0
    error: str | None = None
    error_path: str | None = None
    hint: str = ""  # what to try: after a CSV error, or a table that looks misread
    # After a CSV error, the line and byte where its record truly begins (the
    # message places it at the end of the record before), where known.
    record_start: tuple[int, int] | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def mb_per_second(self) -> float:
        return (self.input_bytes or 0) / self.seconds / 1e6 if self.seconds > 0 else 0.0


class NotCsv(ValueError):
    """An input that would convert, but into nonsense (see _input_hints)."""


class CsvFailure(ValueError):
    """The converter's error, with what the input's first bytes suggest and
    where its record truly begins."""

    def __init__(self, message: str, hint: str, start: tuple[int, int] | None) -> None:
        super().__init__(message)
        self.hint = hint
        self.start = start


def refuse_unless_csv(head: bytes, options: dict[str, Any]) -> None:
    """NotCsv for an input that would convert into nonsense."""
    if (why := refusal(head, options)) is not None:
        raise NotCsv(why)


def csv_failure(error: CsvError, source: object, head: bytes, options: dict[str, Any]) -> CsvFailure:
    """The converter's error on `source` (a path, or what was read), with
    what its first bytes `head` suggest and where the record truly begins."""
    start = None
    # Standard input is not held, so its bytes cannot be looked at again.
    if error.record is not None and isinstance(source, str) and line_ends_as_bytes(options):
        assert error.byte is not None and error.line is not None
        try:
            start = record_start(_text_at(source, input_compression(source, head, options)), error.byte, error.line)
        except ValueError:
            pass  # the compressed file no longer reads as it did: the converter's own place
    return CsvFailure(str(error), hint(head, options), start)


def _text_at(path: str, compression: str | None) -> Callable[[int], bytes]:
    """Reads some of a file's text from an offset: of its bytes, or of
    what they decompress into."""

    def read_at(offset: int) -> bytes:
        if compression is not None:
            return decompressed_at(path, compression, offset, HEAD_BYTES)
        with open(path, "rb") as file:
            file.seek(offset)
            return file.read(HEAD_BYTES)

    return read_at


class TargetFailed(Exception):
    """Writing the output failed, with this OSError."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


def _convert(job: ConversionJob, sink: Sink) -> tuple[Written, LostCells, int]:
    """Converts the job's input into the sink: a file read a block at a
    time (qarn.convert maps it where it needs it whole), standard input
    likewise, counted as it is read."""
    if job.source != STDIO and table_file_kind(job.source) is not None:
        return table_file_to_qarn(job.source, job.chunk_size, sink), LostCells(), os.stat(job.source).st_size
    source: Counted | str
    if job.source == STDIO:
        head = read_start(sys.stdin.buffer, HEAD_BYTES)
        source = Counted(Prefixed(head, sys.stdin.buffer))
    else:
        source = job.source
        head = head_of(job.source)
    options = dict(job.options)
    refuse_unless_csv(head, options)
    try:
        result, lost = convert_counting(
            source, chunk_size=job.chunk_size, sample_rows=job.sample_rows, threads=job.threads, sink=sink,
            **options
        )
    except CsvError as error:
        raise csv_failure(error, source, head, options) from None
    assert isinstance(result, Written)
    return result, lost, source.count if isinstance(source, Counted) else os.stat(job.source).st_size


def _convert_into_target(job: ConversionJob) -> tuple[Written, LostCells, int]:
    """Converts the job, writing each slice as it is made: into standard
    output, or a temporary file renamed to the target once complete.
    TargetFailed when writing failed."""
    sink: Sink | None = None
    converted = None
    try:
        if job.target == STDIO:
            sink = Sink(sys.stdout.buffer.write)
            converted = _convert(job, sink)
            sys.stdout.buffer.flush()
            return converted
        folder = os.path.dirname(job.target)
        if folder:
            os.makedirs(folder, exist_ok=True)
        with atomic_file(job.target, temporary=job.temporary, replace=job.replace) as file:
            sink = Sink(file.write)
            converted = _convert(job, sink)
        return converted
    except OSError as error:
        if sink is None or sink.failed or converted is not None:
            raise TargetFailed(error) from None
        raise


def shown_source(path: str) -> str:
    return "<stdin>" if path == STDIO else path


def shown_target(path: str) -> str:
    return "<stdout>" if path == STDIO else path


def run_job(job: ConversionJob) -> FileReport:
    """Converts one file. Interruptions (KeyboardInterrupt, SystemExit) pass
    through, after the temporary file is removed."""
    try:
        return _run(job)
    except UNEXPECTED as error:
        return internal_failure(job, error)


def internal_failure(job: ConversionJob, error: BaseException) -> FileReport:
    """The report of a job that met a bug (ours) rather than a bad input."""
    return FileReport(job.source, job.target, error=internal_error_message(error), error_path=shown_source(job.source))


def _run(job: ConversionJob) -> FileReport:
    start = time.perf_counter()
    report = functools.partial(FileReport, job.source, job.target)
    if not job.replace and job.target != STDIO and os.path.lexists(job.target):
        return report(error=OutputExists.MESSAGE, error_path=job.target)  # before any work; checked again at the end
    rejects = dict(job.options).get("rejects")
    if rejects is not None:
        if not job.replace and os.path.lexists(rejects):
            return report(error=OutputExists.MESSAGE, error_path=rejects)
        try:
            os.makedirs(os.path.dirname(rejects) or ".", exist_ok=True)
        except OSError as error:
            return report(error=os_error_message(error), error_path=rejects)
    try:
        result, lost, size = _convert_into_target(job)
    except TargetFailed as failure:
        if isinstance(failure.error, OutputExists):
            return report(error=failure.error.strerror, error_path=shown_target(job.target))
        message = os_error_message(failure.error, writing_file=job.target != STDIO)
        return report(error=message, error_path=shown_target(job.target))
    except OSError as error:
        return report(error=os_error_message(error), error_path=str(error.filename or shown_source(job.source)))
    except MemoryError:
        return report(error="out of memory", error_path=shown_source(job.source))
    except ValueError as error:
        return report(
            error=str(error),
            error_path=shown_source(job.source),
            hint=getattr(error, "hint", ""),
            record_start=getattr(error, "start", None),
        )
    seconds = time.perf_counter() - start
    names = read_head(result.head)["names"]
    return report(
        rows=result.rows,
        columns=len(names),
        invalid=result.invalid_cells,
        misfits=lost.misfits,
        records_with_extra_fields=lost.records_with_extra_fields,
        rejects=rejects,
        hint=delimiter_hint(list(names), dict(job.options)),
        input_bytes=size,
        bytes=result.bytes,
        seconds=seconds,
    )
