"""The words a person reads for a failure that is not the exception's own
message: the system's for an OSError, and for a fault of the package itself
(a broken invariant, or any exception nobody expected), that it is one."""

from __future__ import annotations

import errno

from ._native import PanicException

# What a conversion job or a command reports as an internal error instead of
# letting it end the run: everything but interruptions and exits, which
# derive from BaseException and pass through.
UNEXPECTED = (Exception, PanicException)


def os_error_message(error: OSError, *, writing_file: bool = False) -> str:
    """The system's words for an error; for a full disk met while writing a
    file (which is then removed), that nothing was left behind."""
    message = error.strerror or str(error)
    if writing_file and error.errno in (errno.ENOSPC, errno.EDQUOT):
        message += "; nothing was written"
    return message


def internal_error_message(error: BaseException) -> str:
    """"internal error: ..." with what went wrong, and that it is a bug. A
    panic's message names the broken invariant; any other exception is
    named by its type, as its message alone may say little."""
    detail = str(error)
    if not isinstance(error, PanicException) or not detail:
        detail = f"{type(error).__name__}: {detail}" if detail else type(error).__name__
    return f"internal error: {detail} (a bug in qarn; please report it)"
