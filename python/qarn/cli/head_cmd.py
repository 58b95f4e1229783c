"""`qarn head`: the first rows of a QARN file, aligned or as CSV."""

from __future__ import annotations

import argparse

from .._columns import keys_from_text
from .._csv_rows import csv_pieces
from ..reading import column_names
from .errors import FAILED, FAILURES, OK, message_of, report_failure, write_out
from .options import column_list, non_negative
from .rows import first_rows_text


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "head",
        help="print the first rows of a QARN file",
        description="Prints the first rows of a QARN file as an aligned table, or as CSV with --csv. "
        "Only the table slices that hold those rows are read.",
    )
    parser.add_argument("file", metavar="FILE.qarn")
    parser.add_argument("-n", "--rows", type=non_negative, default=10, metavar="N", help="rows to print (default 10)")
    parser.add_argument(
        "--columns",
        type=column_list,
        metavar="A,B",
        help="only these columns, in this order: names, or positions from 0 (negative ones from the end: "
        "--columns=-1,0); a field that is a column's exact name is that column, even if it looks like a number",
    )
    parser.add_argument("--csv", action="store_true", help="print CSV (as qarn to-csv writes it)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        columns = None if args.columns is None else keys_from_text(args.columns, column_names(args.file))
        if args.csv:
            for piece in csv_pieces(args.file, columns=columns, rows=args.rows):
                write_out(piece)
        else:
            text = first_rows_text(args.file, args.rows, columns)
            write_out(text + "\n" if text else "")
    except FAILURES as error:
        report_failure(args.file, message_of(error))
        return FAILED
    return OK
