"""Turning what a caller passes as a source into bytes the native code reads."""

from __future__ import annotations

import contextlib
import mmap
import os
from collections.abc import Buffer, Iterator
from typing import BinaryIO, Union

Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", BinaryIO]


@contextlib.contextmanager
def open_source(source: Source) -> Iterator[Buffer]:
    """Yields the source's bytes: a buffer as it is, a path mapped into
    memory (not copied), a binary file object read from where it stands."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        yield source
    elif isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            yield from _mapped(file)
    elif isinstance(source, Buffer):  # mmap objects and arrays too, read in place
        yield source
    elif hasattr(source, "read"):
        data = source.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"the file object must be opened in binary mode, got {type(data).__name__} from read()")
        yield data
    else:
        raise TypeError(
            f"source must be bytes, bytearray, memoryview, a path or a binary file object, not {type(source).__name__}"
        )


def _mapped(file: BinaryIO) -> Iterator[Buffer]:
    if os.fstat(file.fileno()).st_size == 0:
        yield b""  # an empty file cannot be mapped
        return
    with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
        view = memoryview(mapping)
        try:
            yield view
        finally:
            view.release()
