"""Putting a finished file in place: written under a temporary name in the
target's folder and renamed, so that the target is complete or untouched.

The temporary name can be chosen before the work starts (`temporary_name`)
so that a process that supervises the writer can remove it if the writer is
killed."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
from collections.abc import Buffer


class OutputExists(FileExistsError):
    """The target exists and was not to be replaced."""

    MESSAGE = "exists and --no-clobber was given"


def temporary_name(target: str) -> str:
    """A hidden name beside `target`, unique to one attempt at writing it."""
    folder, name = os.path.split(target)
    return os.path.join(folder, f".{name}.{secrets.token_hex(6)}.part")


def publish(data: Buffer, target: str, temporary: str, *, replace: bool = True) -> None:
    """Writes `data` to `temporary` (which must not exist), flushes it to
    disk and renames it to `target`. With `replace=False` an existing target
    is left alone and OutputExists raised. On any failure or interruption the
    temporary file is removed and the target is as it was."""
    if not replace and os.path.lexists(target):
        raise OutputExists(errno.EEXIST, OutputExists.MESSAGE, target)
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with open(descriptor, "wb", closefd=True) as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        if replace:
            _keep_mode(target, temporary)
            os.replace(temporary, target)
        else:
            _rename_unless_exists(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _keep_mode(target: str, temporary: str) -> None:
    # A replaced file keeps its permissions; a new one has those that the
    # umask gives (os.open applied it already).
    with contextlib.suppress(FileNotFoundError):
        os.chmod(temporary, os.stat(target).st_mode & 0o7777)


def _rename_unless_exists(temporary: str, target: str) -> None:
    """A rename that fails when the target exists, even if it appeared after
    the check in `publish`: a hard link cannot replace a file."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise OutputExists(errno.EEXIST, OutputExists.MESSAGE, target) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        # A file system without hard links: the check above is all there is.
        if os.path.lexists(target):
            raise OutputExists(errno.EEXIST, OutputExists.MESSAGE, target) from None
        os.rename(temporary, target)
        return
    os.unlink(temporary)
