"""`qarn validate`: silent when every file is a valid QARN file."""

from __future__ import annotations

import argparse

from ..reading import validate
from .errors import FAILED, FAILURES, OK, message_of, report_failure


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "validate",
        help="check QARN files",
        description="Checks each file completely. Prints nothing and exits with 0 when every file is valid; "
        "otherwise one line 'qarn: PATH: QARN read error: ...' per invalid file, and exit status 1.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE.qarn")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    status = OK
    for path in args.files:
        try:
            validate(path)
        except FAILURES as error:
            report_failure(path, message_of(error))
            status = FAILED
    return status
