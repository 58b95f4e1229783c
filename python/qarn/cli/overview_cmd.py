"""`qarn inspect`: what a QARN file holds, at a glance or as JSON."""

from __future__ import annotations

import argparse
import json
from typing import Any

from ..summary import FileSummary, summarize
from . import render
from .errors import FAILED, FAILURES, OK, message_of, report_failure, write_out
from .options import non_negative
from .rows import first_rows_json, first_rows_text, json_default


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "inspect",
        help="describe a QARN file: rows, slices, columns and the first rows",
        description="Shows a QARN file's version, rows, table slices and size, each column with its type, "
        "its invalid cells and the share of the file it takes, and the first rows.",
    )
    parser.add_argument("file", metavar="FILE.qarn")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.add_argument("--rows", type=non_negative, default=10, metavar="N", help="first rows shown (default 10)")
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


def run(args: argparse.Namespace) -> int:
    try:
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

