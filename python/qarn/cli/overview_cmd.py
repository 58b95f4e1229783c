"""`qarn inspect`: what a QARN file holds, or what a CSV file would become,
at a glance or as JSON."""

from __future__ import annotations

import argparse
import json
from typing import Any

from .._csv_error import CsvError
from .._file_conversion import csv_failure, refuse_unless_csv
from .._input_hints import head_of
from .._lost import LostCells
from ..convert import SAMPLE_ROWS, convert_counting
from ..summary import FileSummary, summarize
from . import dialect_options, render
from .errors import FAILED, FAILURES, OK, message_of, report_failure, write_out
from .options import non_negative, sample_rows
from .rows import first_rows_json, first_rows_text, json_default

QARN_START = b"N|\x01"  # every QARN file begins with its file header section


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "inspect",
        help="describe a QARN file (rows, slices, columns, first rows), or what a CSV file would become",
        description="Shows a QARN file's version, rows, table slices and size, each column with its type, "
        "its invalid cells and the share of the file it takes, and the first rows. Given a CSV file (with "
        "the reading options of 'qarn convert'), converts it in memory and shows each column's type, its "
        "missing cells (empty or a null marker) and its misfits (text its type could not take), the "
        "records with fields beyond the last column, and the first rows.",
    )
    parser.add_argument("file", metavar="FILE")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.add_argument("--rows", type=non_negative, default=10, metavar="N", help="first rows shown (default 10)")
    parser.add_argument(
        "--sample-rows", type=sample_rows, default=SAMPLE_ROWS, metavar="N", help="of a CSV file: as for 'qarn convert'"
    )
    dialect_options.register(parser)
    parser.set_defaults(run=run)


def as_json(summary: FileSummary, rows: list[list[Any]]) -> dict[str, Any]:
    return {
        "version": list(summary.version),
        "file_size": summary.file_size,
        "num_rows": summary.num_rows,
        "num_slices": summary.num_slices,
        "slice_rows": summary.slice_rows,
        "metadata_bytes": summary.metadata_bytes,
        "invalid_count": summary.invalid_count,
        "table_properties": summary.table_properties,
        "columns": [
            {
                "name": column.name,
                "type": column.type,
                "invalid_count": column.invalid_count,
                "bytes": column.bytes,
                "share": column.bytes / summary.file_size,
            }
            for column in summary.columns
        ],
        "rows": rows,
    }


def as_text(path: str, summary: FileSummary, rows: str | None) -> str:
    major, minor = summary.version
    lines = [
        f"{path}: QARN {major}.{minor}, {render.plural(summary.num_rows, 'row')} in "
        f"{render.plural(summary.num_slices, 'slice')}, {render.size(summary.file_size)}",
        "",
    ]
    table = [
        [column.name, column.type, f"{column.invalid_count:,}", render.percent(column.bytes, summary.file_size)]
        for column in summary.columns
    ]
    table.append(["(header and metadata)", "", "", render.percent(summary.metadata_bytes, summary.file_size)])
    lines.append(render.aligned(["column", "type", "invalid", "share"], table, [False, False, True, True]))
    if rows is not None:
        lines += ["", rows]
    return "\n".join(lines)


def csv_as_json(summary: FileSummary, lost: LostCells, rows: list[list[Any]]) -> dict[str, Any]:
    return {
        "num_rows": summary.num_rows,
        "missing_count": summary.invalid_count - lost.misfits,
        "misfit_count": lost.misfits,
        "records_with_extra_fields": lost.records_with_extra_fields,
        "columns": [
            {"name": column.name, "type": column.type, "missing_count": column.invalid_count - misfits,
             "misfit_count": misfits}
            for column, misfits in zip(summary.columns, lost.misfits_by_column)
        ],  # fmt: skip
        "rows": rows,
    }


def csv_as_text(path: str, summary: FileSummary, lost: LostCells, rows: str | None) -> str:
    extra = f", {render.plural(lost.records_with_extra_fields, 'record')} with extra fields"
    lines = [
        f"{path}: CSV, {render.plural(summary.num_rows, 'row')}, {render.plural(len(summary.columns), 'column')}, "
        f"{summary.invalid_count - lost.misfits:,} missing, {render.plural(lost.misfits, 'misfit')}"
        + (extra if lost.records_with_extra_fields else ""),
    ]
    if lost:
        lines.append(render.how_to_keep("'qarn convert --rejects FILE' lists them", lost.misfits))
    lines.append("")
    table = [
        [column.name, column.type, f"{column.invalid_count - misfits:,}", f"{misfits:,}"]
        for column, misfits in zip(summary.columns, lost.misfits_by_column)
    ]
    lines.append(render.aligned(["column", "type", "missing", "misfits"], table, [False, False, True, True]))
    if rows is not None:
        lines += ["", rows]
    return "\n".join(lines)


def _is_qarn(path: str) -> bool:
    """Named .qarn, or beginning as a QARN file does: anything else is CSV."""
    if path.lower().endswith(".qarn"):
        return True
    with open(path, "rb") as file:
        return file.read(len(QARN_START)) == QARN_START


def _describe_csv(args: argparse.Namespace) -> str:
    options = dialect_options.convert_options(args)
    head = head_of(args.file)
    refuse_unless_csv(head, options)
    try:
        data, lost = convert_counting(args.file, sample_rows=args.sample_rows, **options)
    except CsvError as error:
        # Said as `qarn convert` says it, with the same hint.
        raise csv_failure(error, args.file, head, options) from None
    summary = summarize(data)
    if args.json:
        document = csv_as_json(summary, lost, first_rows_json(data, args.rows))
        return json.dumps(document, ensure_ascii=False, indent=2, default=json_default)
    rows = first_rows_text(data, args.rows) if args.rows and summary.num_rows else None
    return csv_as_text(args.file, summary, lost, rows)


def run(args: argparse.Namespace) -> int:
    try:
        if not _is_qarn(args.file):
            write_out(_describe_csv(args) + "\n")
            return OK
        summary = summarize(args.file)
        if args.json:
            document = as_json(summary, first_rows_json(args.file, args.rows))
            text = json.dumps(document, ensure_ascii=False, indent=2, default=json_default)
        else:
            rows = first_rows_text(args.file, args.rows) if args.rows and summary.num_rows else None
            text = as_text(args.file, summary, rows)
    except FAILURES as error:
        report_failure(args.file, message_of(error))
        return FAILED
    write_out(text + "\n")
    return OK

