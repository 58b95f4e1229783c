"""Turning what a caller passes as a source into bytes the native code reads."""

from __future__ import annotations

import contextlib
import io
import mmap
import os
import stat
from collections.abc import Buffer, Iterator
from typing import BinaryIO, Union

Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", BinaryIO]


@contextlib.contextmanager
def open_source(source: Source) -> Iterator[Buffer]:
    """Yields the source's bytes: a buffer as it is, a path mapped into
    memory (not copied), a binary file object read from where it stands."""
    if isinstance(source, (bytes, bytearray)):
        yield source
    elif isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            yield from _file_object(file)  # mapped, unless a pipe (/dev/stdin, <(...)): read
    elif isinstance(source, Buffer):  # memoryviews, mmap objects and arrays, read in place
        view = memoryview(source)
        yield view if view.c_contiguous else view.tobytes()
    elif hasattr(source, "read"):
        yield from _file_object(source)
    else:
        raise TypeError(
            f"source must be bytes, bytearray, memoryview, a path or a binary file object, not {type(source).__name__}"
        )


def _mapped(file: BinaryIO, start: int = 0) -> Iterator[Buffer]:
    if os.fstat(file.fileno()).st_size <= start:
        yield b""  # an empty file cannot be mapped
        return
    with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
        view = memoryview(mapping)[start:]
        try:
            yield view
        finally:
            view.release()


class MappedFile:
    """A file on disk mapped to be read front to back, a piece at a time and
    for as long as its reader lives: the pages read past are given back, so
    that resident memory does not grow with the file, and a file cut short
    by another program is found before the mapping past its new end is
    touched (which would end the process with SIGBUS)."""

    def __init__(self, file: BinaryIO, mapping: mmap.mmap) -> None:
        self._file = file
        self._mapping = mapping
        self._size = len(mapping)
        self._released = 0

    def check_whole(self) -> None:
        """OSError when the file is now shorter than when it was mapped."""
        if os.fstat(self._file.fileno()).st_size < self._size:
            raise OSError("the file was cut short while it was read")

    def release_before(self, position: int) -> None:
        """Drops the pages before `position` from the process; they are read
        from the file again if ever touched."""
        end = position - position % mmap.ALLOCATIONGRANULARITY
        if end > self._released and hasattr(mmap, "MADV_DONTNEED"):
            self._mapping.madvise(mmap.MADV_DONTNEED, self._released, end - self._released)
            self._released = end


@contextlib.contextmanager
def open_for_pieces(source: Source) -> Iterator[tuple[Buffer, MappedFile | None]]:
    """`open_source`, with the mapping of a path to watch as it is read."""
    if not isinstance(source, (str, os.PathLike)):
        with open_source(source) as data:
            yield data, None
        return
    with open(source, "rb") as file:
        status = os.fstat(file.fileno())
        if not stat.S_ISREG(status.st_mode) or status.st_size == 0:
            with open_source(file) as data:
                yield data, None
            return
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapping:
            view = memoryview(mapping)
            try:
                yield view, MappedFile(file, mapping)
            finally:
                view.release()


def plain_file(file: object) -> bool:
    """Whether the object's read() gives exactly the bytes of the file behind
    its descriptor: a file opened with open(path, "rb") or unbuffered. A
    wrapper with a descriptor of its own (gzip.open over a file, a custom
    reader that transforms what it reads) is read through read()."""
    if type(file) in (io.BufferedReader, io.BufferedRandom):
        file = file.raw  # type: ignore[attr-defined]
    return type(file) is io.FileIO


def _file_object(file: BinaryIO) -> Iterator[Buffer]:
    """A file object's bytes from where it stands, mapped when it is a plain
    file on disk, so that a large one is not read into memory; it is left at
    its end, as reading it would leave it."""
    if isinstance(file, io.BytesIO):
        start = file.tell()
        view = file.getbuffer()
        try:
            yield view[start:]
        finally:
            view.release()
        file.seek(0, os.SEEK_END)
        return
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object must be opened in binary mode, not text mode")
    regular = False
    if plain_file(file):
        try:
            regular = stat.S_ISREG(os.fstat(file.fileno()).st_mode) and file.seekable()
        except OSError:
            regular = False
    if regular:
        start = file.tell()
        yield from _mapped(file, start)
        file.seek(0, os.SEEK_END)
        return
    data = file.read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"the file object must be opened in binary mode, got {type(data).__name__} from read()")
    yield data
