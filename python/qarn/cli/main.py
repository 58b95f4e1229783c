"""The entry point: parsing the command line and turning outcomes into exit
statuses (0 success, 1 some file failed, 2 usage, 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from .. import __version__
from . import convert_cmd, head_cmd, overview_cmd, sniff_cmd, to_csv_cmd, validate_cmd
from .errors import FAILED, FAILURES, INTERRUPTED, USAGE, ReaderGone, Terminated, message_of, say, stop_on_termination
from .plan import UsageError


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="qarn",
        description="Convert CSV to QARN, a typed column-oriented binary format, and look inside QARN files.",
        epilog="'qarn COMMAND --help' tells more about each command.",
    )
    top.add_argument("--version", action="version", version=f"qarn {__version__}")
    commands = top.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for command in (convert_cmd, overview_cmd, head_cmd, to_csv_cmd, validate_cmd, sniff_cmd):
        command.register(commands)
    return top


def _quiet_stdout() -> None:
    # The reader of standard output went away (`qarn head f | head -1`):
    # nothing more can be said there, and Python must not complain at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def parsed(argv: Sequence[str] | None) -> argparse.Namespace:
    """The command line's arguments. Files named after options (`qarn
    convert a.csv --jobs 2 b.csv`) join those named before, which argparse
    alone refuses; anything else left over is the usual usage error."""
    top = parser()
    args, extra = top.parse_known_args(argv)
    listed = next((name for name in ("inputs", "files") if isinstance(getattr(args, name, None), list)), None)
    if extra and (listed is None or any(item.startswith("-") and item != "-" for item in extra)):
        top.parse_args(argv)  # exits with the usage message
    if listed is not None:
        getattr(args, listed).extend(extra)
    return args


def main(argv: Sequence[str] | None = None) -> int:
    stop_on_termination()
    try:
        args = parsed(argv)
        return args.run(args)
    except UsageError as error:
        say(f"qarn: {error}")
        return USAGE
    except KeyboardInterrupt:
        say("qarn: interrupted")
        return INTERRUPTED
    except Terminated as terminated:
        say("qarn: terminated")
        return terminated.status
    except ReaderGone:
        _quiet_stdout()
        return FAILED
    except FAILURES as error:  # a bug outside the work on any one file
        say(f"qarn: {message_of(error)}")
        return FAILED
    finally:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _quiet_stdout()
