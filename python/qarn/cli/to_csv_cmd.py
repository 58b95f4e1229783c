"""`qarn to-csv`: a QARN file back to CSV, the same text as Table.to_csv."""

from __future__ import annotations

import argparse

from .._atomic import atomic_file
from .._csv_rows import csv_pieces
from .._file_conversion import STDIO
from .._messages import os_error_message
from .errors import FAILED, FAILURES, OK, message_of, report_failure, write_out


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "to-csv",
        help="write a QARN file back as CSV",
        description="Writes a QARN file as CSV, one table slice at a time, to standard output or to a file "
        "(written under a temporary name and renamed once complete). The text converts back to the same file.",
    )
    parser.add_argument("file", metavar="FILE.qarn")
    parser.add_argument("-o", "--output", metavar="OUT.csv", default=STDIO, help="the CSV file (default: standard output)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.output == STDIO:
        try:
            for piece in csv_pieces(args.file):
                write_out(piece)
        except FAILURES as error:
            report_failure(args.file, message_of(error))
            return FAILED
        return OK
    try:
        pieces = csv_pieces(args.file)
        first = next(pieces)  # a file that cannot be read fails before an output is made
    except FAILURES as error:
        report_failure(args.file, message_of(error))
        return FAILED
    try:
        with atomic_file(args.output) as file:
            file.write(first)
            for piece in pieces:
                file.write(piece)
    except OSError as error:
        report_failure(args.output, os_error_message(error, writing_file=True))
        return FAILED
    except FAILURES as error:
        report_failure(args.file, message_of(error))
        return FAILED
    return OK
