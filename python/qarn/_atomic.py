"""Writing a file so that it is either complete or absent."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Buffer, Iterator
from typing import BinaryIO, Union

Target = Union[str, "os.PathLike[str]", BinaryIO]


@contextlib.contextmanager
def atomic_file(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A file object that becomes `path` only when the block ends without an
    exception; until then it is a temporary file in the same folder, removed
    on failure. An existing file at `path` is replaced in one step."""
    folder = os.path.dirname(os.path.abspath(path))
    name = os.path.basename(path)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        _keep_mode_of(path, temporary)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _keep_mode_of(path: str | os.PathLike[str], temporary: str) -> None:
    # mkstemp makes the file readable by its owner only; give it the mode a
    # plain open() would, or the mode of the file it replaces.
    try:
        mode = os.stat(path).st_mode & 0o777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(temporary, mode)


def write_target(target: Target, data: Buffer) -> None:
    """Writes `data` to a path (atomically) or to a binary file object."""
    if isinstance(target, (str, os.PathLike)):
        with atomic_file(target) as file:
            file.write(data)
    elif hasattr(target, "write"):
        target.write(data)
    else:
        raise TypeError(f"target must be a path or a binary file object, not {type(target).__name__}")
