"""Exit statuses and the one-line messages of the command line."""

from __future__ import annotations

import signal
import sys
from collections.abc import Buffer
from types import FrameType

from .._csv_error import CsvError, is_csv_error
from .._file_conversion import CsvFailure
from .._messages import UNEXPECTED, internal_error_message, os_error_message
from .._native import FormatError

OK = 0
FAILED = 1  # some file failed; the others were still done
USAGE = 2
INTERRUPTED = 128 + signal.SIGINT


class Terminated(BaseException):
    """SIGTERM, or SIGHUP (the terminal closed), raised where the program
    stands so that its temporary files are removed on the way out, as for
    Ctrl-C."""

    def __init__(self, signum: int = signal.SIGTERM) -> None:
        super().__init__(signum)
        self.status = 128 + signum


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


def stop_on_termination() -> None:
    """Raise Terminated on SIGTERM and SIGHUP, unless SIGHUP is ignored
    (as under nohup), which it then stays."""
    signal.signal(signal.SIGTERM, _raise_terminated)
    hangup = getattr(signal, "SIGHUP", None)
    if hangup is not None and signal.getsignal(hangup) is signal.SIG_DFL:
        signal.signal(hangup, _raise_terminated)


def say(line: str) -> None:
    # One write with its line end, so that an interruption never leaves a
    # line without one for the next to run on.
    sys.stderr.write(line + "\n")
    sys.stderr.flush()


def failure_line(path: str, message: str) -> str:
    return f"qarn: {path}: {message}"


def report_failure(path: str, message: str) -> None:
    say(failure_line(path, message))


def csv_error_for_people(message: str, hint: str = "", start: tuple[int, int] | None = None) -> str:
    """A CSV error as one line that says each thing once, where it is first
    (the converter's names the stage twice and the field three times):
    "record 3 (line 4, field 0, byte 125): not valid UTF-8; <hint>", with
    the line and byte where the record begins when `start` has them."""
    error = CsvError(message)
    if not is_csv_error(message) or error.record is None or error.detail is None:
        return f"{message}; {hint}" if hint else message
    detail = "not valid UTF-8" if error.detail.startswith("invalid utf-8: ") else error.detail
    line, byte = start or (error.line, error.byte)
    where = "the header row" if error.stage == "header" else f"record {error.record}"
    text = f"{where} (line {line}, field {error.field}, byte {byte}): {detail}"
    return f"{text}; {hint}" if hint else text


# Failures of a file that a person can act on; the message says what.
EXPECTED = (OSError, ValueError, MemoryError, LookupError)

# Everything a command reports as the failure of the file it works on, the
# unexpected (a bug) included, so that no traceback is ever printed.
FAILURES = UNEXPECTED


def message_of(error: BaseException) -> str:
    """The text a user sees for a failure: the exception's own message (a
    ValueError's "CSV parse error: ...", a FormatError's "QARN read error:
    ..."), the system's words for an OSError, or for anything unexpected
    that it is an internal error."""
    if not isinstance(error, EXPECTED):
        return internal_error_message(error)
    if isinstance(error, OSError):
        return os_error_message(error)
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, CsvFailure):
        return csv_error_for_people(str(error), error.hint, error.start)
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    if isinstance(error, FormatError) and error.offset == 0 and "magic number mismatch" in str(error):
        return f"{error}; not a QARN file: `qarn convert` makes one of a CSV file"
    return str(error)


class ReaderGone(BaseException):
    """Standard output was closed by its reader (`qarn head f | head -1`).
    Not a failure of a file, so it passes the commands' handlers of those."""


def write_out(data: Buffer | str) -> None:
    """Writes to standard output; a reader that went away is ReaderGone,
    which is not an expected failure of a file."""
    try:
        if isinstance(data, str):
            sys.stdout.write(data)
            sys.stdout.flush()
        else:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise ReaderGone from None
