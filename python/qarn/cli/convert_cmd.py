"""`qarn convert`: CSV files to QARN files, one at a time, in a pool of
worker processes, or on a Dask cluster."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Generator
from dataclasses import replace
from pathlib import Path
from typing import Any

from .._file_conversion import STDIO, ConversionJob, FileReport, run_job, shown_source, shown_target
from .._atomic import remove_temporary, temporary_name
from .._column_types import native_column_types
from ..convert import CHUNK_SIZE, SAMPLE_ROWS, convert
from . import render
from . import dialect_options
from .errors import FAILED, OK, csv_error_for_people, failure_line, message_of, report_failure, say
from .options import positive, sample_rows
from .plan import Plan, UsageError, plan
from .pool import WorkerPool
from .progress import Progress

DESCRIPTION = """\
Converts CSV files to QARN. Each input IN.csv becomes IN.qarn beside it,
unless -o or --out-dir says otherwise; '-' reads standard input (and then
writes standard output unless -o names a file). Every output is written
under a temporary name in its folder and renamed once complete, so a failed
or interrupted conversion leaves no partial file and an existing output is
only ever replaced by a complete new one. One summary line per file goes to
standard error (none with --quiet), and a total for several files; a failed
file gets one line 'qarn: PATH: message' and the others are still converted
(exit status 1). Parquet (.parquet) and Arrow (.arrow, .feather) inputs
are converted too when pyarrow is installed, a record batch at a time; the
options for reading CSV do not apply to them."""

PARALLEL = """\
--jobs and --threads: --jobs N converts N files at once in separate
processes, the way to go for many files. --threads N splits the conversion
of one file over N threads, for a single large file."""


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "convert",
        help="convert CSV files to QARN",
        description=DESCRIPTION,
        epilog=PARALLEL,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("inputs", nargs="+", metavar="IN.csv", help="CSV files; '-' for standard input")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT.qarn", help="the output of a single input; '-' for standard output")
    where.add_argument(
        "--out-dir",
        metavar="DIR",
        help="write the outputs into DIR (created if missing); inputs from several folders keep their folders "
        "relative to the one they share, so a/x.csv and b/x.csv become DIR/a/x.qarn and DIR/b/x.qarn",
    )
    parser.add_argument(
        "--chunk-size", type=positive, default=CHUNK_SIZE, metavar="N", help="rows per table slice (default %(default)s)"
    )
    parser.add_argument(
        "--sample-rows",
        type=sample_rows,
        default=SAMPLE_ROWS,
        metavar="N",
        help="rows read to choose column types (default %(default)s), or 'all': every row, in a pass of its own",
    )
    spread = parser.add_mutually_exclusive_group()
    spread.add_argument(
        "--jobs",
        type=positive,
        metavar="N",
        help="files converted at once, each in its own process (default: the usable CPUs, "
        "or 1 when the inputs are under 128 MiB together)",
    )
    spread.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run one task per file on this dask.distributed scheduler; the workers must see the same paths",
    )
    parser.add_argument("--threads", type=positive, metavar="N", help="threads for the conversion of each file (for a single large one)")
    parser.add_argument("--no-clobber", action="store_true", help="never replace an existing output (that file fails)")
    dialect_options.register(parser)
    lost = parser.add_argument_group("cells that do not fit (misfits) and fields beyond the last column")
    lost.add_argument(
        "--rejects",
        metavar="FILE",
        help="write them to FILE as CSV (record, line, byte, column, text); with several inputs FILE must "
        "hold {name}, which becomes each input's name without its suffix",
    )
    lost.add_argument("--strict", action="store_true", help="the first of them fails the file, which is not written")
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no summary line per converted file that kept every cell; failures, files that lost cells "
        "and the closing total are still printed",
    )
    parser.set_defaults(run=run)


def _reading_options(args: argparse.Namespace) -> dict[str, Any]:
    """The reading options, checked once for all files: a bad one is a
    usage error, not the failure of every file."""
    options = dialect_options.convert_options(args)
    try:
        # Columns are named and numbered only by a file's header.
        native_column_types(options.get("column_types"))
        convert(b"", **{name: value for name, value in options.items() if name not in ("compression", "column_types")})
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    return options


def _rejects_path(job: ConversionJob, template: str) -> str:
    """Where --rejects puts a job's rejects: {name} is its input's name
    without its last suffix."""
    return template.replace("{name}", "stdin" if job.source == STDIO else Path(job.source).stem)


def _with_rejects(jobs: list[ConversionJob], template: str | None) -> list[ConversionJob]:
    """The jobs writing their rejects where --rejects says, each to a file of
    its own that is none of the inputs and outputs."""
    if template is None:
        return jobs
    if template == STDIO:
        raise UsageError("--rejects needs a file name, not '-'")
    if len(jobs) > 1 and "{name}" not in template:
        raise UsageError("--rejects with several inputs must hold {name}, as in rejects/{name}.csv")
    taken = {os.path.abspath(path): f"{path} is an input" for job in jobs for path in [job.source] if path != STDIO}
    taken.update({os.path.abspath(job.target): f"{job.target} is an output" for job in jobs if job.target != STDIO})
    result = []
    for job in jobs:
        path = _rejects_path(job, template)
        key = os.path.abspath(path)
        if key in taken:
            raise UsageError(f"--rejects would write {path}, but {taken[key]}")
        taken[key] = f"the rejects of {job.source} go there too; tell them apart with a folder in --rejects"
        result.append(replace(job, options=(*job.options, ("rejects", path))))
    return result


def _plan(args: argparse.Namespace) -> Plan:
    template = ConversionJob(
        source="",
        target="",
        chunk_size=args.chunk_size,
        sample_rows=args.sample_rows,
        threads=args.threads,
        replace=not args.no_clobber,
        options=tuple(_reading_options(args).items()) + ((("strict", True),) if args.strict else ()),
    )
    result = plan(args.inputs, template, output=args.output, out_dir=args.out_dir)
    result.jobs = _with_rejects(result.jobs, args.rejects)
    if any(job.target == STDIO for job in result.jobs) and sys.stdout.isatty():
        raise UsageError("standard output is a terminal: redirect it, or name a file with -o")
    if args.scheduler is not None:
        if any(STDIO in (job.source, job.target) for job in result.jobs):
            raise UsageError("--scheduler converts files: standard input and output cannot go to a cluster")
        result.jobs = [
            replace(job, source=os.path.abspath(job.source), target=os.path.abspath(job.target)) for job in result.jobs
        ]
    else:
        result.jobs = [
            job if job.target == STDIO else replace(job, temporary=temporary_name(job.target)) for job in result.jobs
        ]
    return result


# Inputs smaller than this together are converted in this process: starting
# a worker process per core, and handing each file to one, costs more than
# the second core saves on them (40 files of 1 MB: 0.44 s in two workers,
# 0.23 s here).
_POOL_BYTES = 128 << 20


def _default_workers(jobs: list[ConversionJob]) -> int:
    if sum(_input_size(job) for job in jobs) < _POOL_BYTES:
        return 1
    return os.process_cpu_count() or 1


def _input_size(job: ConversionJob) -> int:
    try:
        return os.stat(job.source).st_size if job.source != STDIO else 0
    except OSError:
        return 0  # it fails at once, with the reason


def summary_line(report: FileReport) -> str:
    """What became of a file: missing cells (empty fields and null markers)
    apart from misfits (text its column's type could not take) and records
    with fields beyond the last column; then, where cells were lost, how to
    keep them."""
    misfits, extra = report.misfits or 0, report.records_with_extra_fields or 0
    cells = [f"{(report.invalid or 0) - misfits:,} missing"]
    if misfits:
        cells.append(render.plural(misfits, "misfit"))
    if extra:
        cells.append(render.plural(extra, "record") + " with extra fields")
    line = (
        f"{shown_source(report.path)} -> {shown_target(report.output)}: "
        f"{render.plural(report.rows or 0, 'row')}, {render.plural(report.columns or 0, 'column')}, "
        f"{', '.join(cells)}, "
        f"{render.size(report.input_bytes or 0)} -> {render.size(report.bytes or 0)}, "
        f"{render.rate(report.mb_per_second)}"
    )
    if misfits or extra:
        listed = f"listed in {report.rejects}" if report.rejects else "--rejects FILE lists them"
        line += "\n" + render.how_to_keep(listed, misfits)
    if report.hint:
        line += f"\n  hint: {report.hint}"
    return line


def _lost_cells(report: FileReport) -> bool:
    return bool(report.misfits or report.records_with_extra_fields)


def _total_line(reports: list[FileReport], seconds: float) -> str:
    failed = sum(not report.ok for report in reports)
    done = [report for report in reports if report.ok]
    size = sum(report.input_bytes or 0 for report in done)
    speed = size / seconds / 1e6 if seconds > 0 else 0.0
    line = (
        f"{render.plural(len(done), 'file')} converted, {failed} failed: "
        f"{render.size(size)} of CSV in {seconds:.2f} s, {render.rate(speed)}"
    )
    losing = [report for report in done if _lost_cells(report)]
    if losing:
        misfits = sum(report.misfits or 0 for report in losing)
        extra = sum(report.records_with_extra_fields or 0 for report in losing)
        lost = [render.plural(misfits, "misfit")] if misfits else []
        lost += [render.plural(extra, "record") + " with extra fields"] if extra else []
        line += f"; {render.plural(len(losing), 'file')} lost cells: {', '.join(lost)}"
    return line


def _reports(
    args: argparse.Namespace, jobs: list[ConversionJob], client: Any
) -> Generator[FileReport, None, None]:
    if client is not None:
        from ..dask import iter_reports

        if args.threads is None:
            jobs = [replace(job, threads=1) for job in jobs]  # the tasks share the cores
        yield from iter_reports(jobs, client=client)
        return
    workers = min(args.jobs or _default_workers(jobs), len(jobs))
    if workers <= 1:
        for job in jobs:
            yield run_job(job)
        return
    # Largest first, so that one big file does not start last and run alone.
    jobs = sorted(jobs, key=_input_size, reverse=True)
    if args.threads is None:
        jobs = [replace(job, threads=1) for job in jobs]  # the processes share the cores
    with WorkerPool(workers) as pool:
        yield from pool.run(jobs)


def _show(progress: Progress, report: FileReport, quiet: bool) -> None:
    if report.ok:
        # Quiet or not, a file that lost cells says so.
        if not quiet or _lost_cells(report):
            progress.line(summary_line(report))
    else:
        message = csv_error_for_people(report.error or "", report.hint, report.record_start)
        progress.line(failure_line(report.error_path or report.path, message))
    progress.advance(report.input_bytes or 0)


def _connect(address: str, stack: contextlib.ExitStack) -> Any:
    """A client of the scheduler, closed with `stack`; OSError (including a
    time-out) or ImportError when there is none to be had."""
    from ..dask import connect

    return stack.enter_context(connect(address))


def run(args: argparse.Namespace) -> int:
    result = _plan(args)
    with contextlib.ExitStack() as stack:
        client = None
        if args.scheduler is not None:
            try:
                client = _connect(args.scheduler, stack)
            except (ImportError, OSError) as error:
                report_failure(args.scheduler, message_of(error))
                return FAILED
        return _run(args, result, client)


def _run(args: argparse.Namespace, result: Plan, client: Any) -> int:
    status = OK
    for path, why in result.refused:
        report_failure(path, why)
        status = FAILED
    jobs = result.jobs
    total = sum(_input_size(job) for job in jobs)
    reports: list[FileReport] = []
    start = time.perf_counter()
    try:
        with Progress(len(jobs), total) as progress:
            # Closed on the way out, so that an interrupted pool stops its
            # workers before their temporary files are removed below.
            with contextlib.closing(_reports(args, jobs, client)) as stream:
                for report in stream:
                    _show(progress, report, args.quiet)
                    reports.append(report)
    finally:
        # Workers are stopped by now; what they left half-written goes.
        for job in jobs:
            remove_temporary(job.temporary)
    if len(jobs) + len(result.refused) > 1:
        say(_total_line(reports, time.perf_counter() - start))
    if any(not report.ok for report in reports):
        status = FAILED
    return status
