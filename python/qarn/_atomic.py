"""Writing a file so that it is either complete or absent: the bytes go to a
hidden temporary file beside the target, flushed to disk, then renamed.

The temporary name can be chosen before the work starts (`temporary_name`)
so that a process that supervises the writer can remove it if the writer is
killed (`remove_temporary`)."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import secrets
from collections.abc import Buffer, Callable, Iterator
from typing import BinaryIO, Union

Target = Union[str, "os.PathLike[str]", BinaryIO]

# Permission bits only: the system drops set-user-id and set-group-id from a
# file whose contents are rewritten, so new contents do not inherit them.
_KEPT_MODE = 0o777

_NAME_ATTEMPTS = 100

# File objects whose write() is done with its argument when it returns.
_COPYING_FILES = (io.BufferedWriter, io.BufferedRandom, io.FileIO, io.BytesIO)


class OutputExists(FileExistsError):
    """The target exists and was not to be replaced."""

    MESSAGE = "exists and --no-clobber was given"


def _exists(target: str) -> OutputExists:
    return OutputExists(errno.EEXIST, OutputExists.MESSAGE, target)


def written_path(target: str | os.PathLike[str]) -> str:
    """The file a write to `target` replaces: through a symbolic link, the
    file it names, as open() writes there."""
    target = os.fspath(target)
    return os.path.realpath(target) if os.path.islink(target) else target


def temporary_name(target: str | os.PathLike[str]) -> str:
    """A hidden name beside the file that `target` names, unique to one
    attempt at writing it."""
    folder, name = os.path.split(written_path(target))
    return os.path.join(folder, f".{name}.{secrets.token_hex(6)}.part")


def remove_temporary(temporary: str | None) -> None:
    """Removes what a writer left under a temporary name, if anything."""
    if temporary is not None:
        with contextlib.suppress(OSError):  # mostly: never made, or renamed already
            os.unlink(temporary)


def _create(target: str, temporary: str | None) -> tuple[int, str]:
    # 0o666 and the umask give a new file the mode a plain open() would,
    # without reading the umask (which cannot be read without setting it,
    # a race with other threads).
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    try:
        if temporary is not None:
            return os.open(temporary, flags, 0o666), temporary
        for _ in range(_NAME_ATTEMPTS):
            candidate = temporary_name(target)
            with contextlib.suppress(FileExistsError):
                return os.open(candidate, flags, 0o666), candidate
    except OSError as error:
        # The hidden name means nothing to whoever asked for the target.
        raise type(error)(error.errno, error.strerror, target) from None
    raise FileExistsError(errno.EEXIST, "no unused temporary name", target)


@contextlib.contextmanager
def atomic_file(
    target: str | os.PathLike[str], *, temporary: str | None = None, replace: bool = True
) -> Iterator[BinaryIO]:
    """A file object that becomes `target` only when the block ends without
    an exception; until then it is `temporary` (which must not exist; by
    default a fresh hidden name beside the target), removed on any failure
    or interruption. A replaced target keeps its permissions. With
    `replace=False` an existing target is left alone and OutputExists
    raised, also when it appears while the file is being written."""
    target = os.fspath(target)
    if not replace and os.path.lexists(target):
        raise _exists(target)  # known before any work; checked again at the end
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    target = written_path(target)
    descriptor, temporary = _create(target, temporary)
    try:
        with open(descriptor, "wb", closefd=True) as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        if replace:
            _keep_mode(target, temporary)
            os.replace(temporary, target)
        else:
            _rename_unless_exists(temporary, target)
    except BaseException:
        remove_temporary(temporary)
        raise


def _keep_mode(target: str, temporary: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.chmod(temporary, os.stat(target).st_mode & _KEPT_MODE)


def _rename_unless_exists(temporary: str, target: str) -> None:
    """A rename that fails when the target exists, even if it appeared after
    the first check: a hard link cannot replace a file."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise _exists(target) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        # A file system without hard links: the check before is all there is.
        if os.path.lexists(target):
            raise _exists(target) from None
        os.rename(temporary, target)
        return
    os.unlink(temporary)


def publish(data: Buffer, target: str | os.PathLike[str], temporary: str | None = None, *, replace: bool = True) -> None:
    """Writes `data` to `target` through `atomic_file`."""
    with atomic_file(target, temporary=temporary, replace=replace) as file:
        file.write(data)


@contextlib.contextmanager
def target_writer(target: Target) -> Iterator[Callable[[Buffer], object]]:
    """The write function of a path's file (atomic: it becomes the path
    only when the block ends without an exception) or of a binary file
    object."""
    if isinstance(target, (str, os.PathLike)):
        with atomic_file(target) as file:
            yield file.write
    elif type(target) in _COPYING_FILES:
        yield target.write
    elif hasattr(target, "write"):
        # Any other writer may keep what it is given: it gets bytes of its
        # own, not a view of a buffer that is reused.
        yield lambda piece: target.write(bytes(piece))
    else:
        raise TypeError(f"target must be a path or a binary file object, not {type(target).__name__}")


def write_target(target: Target, data: Buffer) -> None:
    """Writes `data` to a path (atomically) or to a binary file object."""
    if isinstance(target, (str, os.PathLike)):
        publish(data, target)
    elif hasattr(target, "write"):
        target.write(data)
    else:
        raise TypeError(f"target must be a path or a binary file object, not {type(target).__name__}")
