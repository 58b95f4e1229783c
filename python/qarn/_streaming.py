"""The two ends of a streamed conversion: an input read a block at a time
(a file, a pipe, a file object, or any of these decompressed as it is
read) and an output written as each table slice is made."""

from __future__ import annotations

import bz2
import contextlib
import io
import lzma
import os
import stat
import zipfile
import zlib
from collections.abc import Buffer, Callable, Iterator
from dataclasses import dataclass
from typing import Any, BinaryIO

from ._compression import MAGIC_NUMBERS, inflater, only_member, suffix_compression
from ._optional import require
from ._source import plain_file

# Compressed input is handed to the decompressor this much at a time.
_COMPRESSED_BLOCK = 1 << 16

ReadInto = Callable[[memoryview], "int | None"]


@dataclass(frozen=True)
class Written:
    """What a conversion wrote to its target."""

    rows: int
    invalid_cells: int  # the missing cells and the misfits
    bytes: int
    head: bytes  # the start of the file: its header and metadata at least


class Sink:
    """Calls `write` with each piece of the output, keeping the first piece
    (the file header and the table metadata) and counting the bytes."""

    def __init__(self, write: Callable[[memoryview], object]) -> None:
        self._write = write
        self.head = b""
        self.size = 0
        self.failed = False  # a write raised: the error is the target's

    def __call__(self, piece: memoryview) -> int:
        if not self.size:
            self.head = bytes(piece)
        try:
            written = self._write(piece)
        except BaseException:
            self.failed = True
            raise
        count = len(piece) if written is None else int(written)  # type: ignore[call-overload]
        self.size += count
        return count

    write = __call__  # a file object to whatever writes to one (qarn.write)


def streamable(source: object) -> bool:
    """Whether the source is read rather than held: a path, or a file object
    other than an in-memory one."""
    if isinstance(source, (str, os.PathLike)):
        return True
    if isinstance(source, (bytes, bytearray, memoryview, Buffer, io.BytesIO, io.TextIOBase)):
        return False
    return hasattr(source, "read")


class Counted(io.RawIOBase):
    """A file object read through, counting the bytes read."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as out:
            count = _read_into(self._file, out)
        self.count += count
        return count


class Prefixed(io.RawIOBase):
    """A file object with bytes already read from it put back in front."""

    def __init__(self, head: bytes, file: BinaryIO) -> None:
        self._head = head
        self._file = file

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as out:
            if self._head:
                count = min(len(out), len(self._head))
                out[:count] = self._head[:count]
                self._head = self._head[count:]
                return count
            return _read_into(self._file, out)


def _read_into(file: BinaryIO, out: memoryview) -> int:
    readinto = getattr(file, "readinto", None)
    if readinto is not None:
        count = readinto(out)
        if count is None:
            raise BlockingIOError("the input is non-blocking and had no data ready")
        return int(count)
    data = file.read(len(out))
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"the file object must be opened in binary mode, got {type(data).__name__} from read()")
    out[: len(data)] = data
    return len(data)


def reader(file: BinaryIO) -> ReadInto:
    """The callable that fills a buffer from the file and says how much."""
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object must be opened in binary mode, not text mode")
    return lambda out: _read_into(file, out)


class _GzipMembers(io.RawIOBase):
    """Every gzip member of a stream, one after the other, as the input held
    in memory is read: zero bytes of padding after a member are skipped; a
    member cut short, or anything else after one, is an error."""

    def __init__(self, raw: BinaryIO) -> None:
        self._raw = raw
        self._module = inflater()
        self._member = self._module.decompressobj(wbits=31)
        self._input = b""  # compressed bytes not yet given to the member
        self._started = False
        self._ended = False

    def readable(self) -> bool:
        return True

    def _more(self) -> bytes:
        data = self._raw.read(_COMPRESSED_BLOCK)
        return bytes(data) if data else b""

    def _next_member(self) -> bool:
        rest = self._input.lstrip(b"\0")
        while not rest:
            more = self._more()
            if not more:
                return False
            rest = more.lstrip(b"\0")
        while len(rest) < 2 and (more := self._more()):
            rest += more
        if not rest.startswith(b"\x1f\x8b"):
            count = len(rest)
            while more := self._more():
                count += len(more)
            raise EOFError(f"{count} bytes after the last member are not gzip")
        self._member = self._module.decompressobj(wbits=31)
        self._input = rest
        return True

    def readinto(self, buffer: Buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as out:
            while not self._ended and len(out):
                if not self._started:
                    self._started = True
                    self._input = self._more()
                    if not self._input:
                        self._ended = True
                        break
                elif self._member.eof:
                    self._input = self._member.unused_data
                    if not self._next_member():
                        self._ended = True
                        break
                data = self._member.unconsumed_tail or self._input or self._more()
                self._input = b""
                if not data:
                    raise EOFError("the input ends inside a gzip member")
                chunk = self._member.decompress(data, len(out))
                if chunk:
                    out[: len(chunk)] = chunk
                    return len(chunk)
            return 0


class _ZstdFrames(io.RawIOBase):
    """Every zstd frame of a stream, one after the other; a frame cut short
    is an error, as it is for the input held in memory."""

    # Compressed input is given a little at a time: a frame's output for
    # its input is made whole.
    _PIECE = 1 << 14

    def __init__(self, raw: BinaryIO, zstandard: Any) -> None:
        self._raw = raw
        self._zstandard = zstandard
        self._frame: Any = None
        self._input = b""
        self._output = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as out:
            while not self._output:
                if not self._input:
                    self._input = bytes(self._raw.read(self._PIECE) or b"")
                    if not self._input:
                        if self._frame is not None and not self._frame.eof:
                            raise self._zstandard.ZstdError("the input ends inside a frame")
                        return 0
                if self._frame is None or self._frame.eof:
                    self._frame = self._zstandard.ZstdDecompressor().decompressobj()
                data, self._input = self._input, b""
                self._output = memoryview(self._frame.decompress(data))
                if self._frame.eof:
                    self._input = self._frame.unused_data
            count = min(len(out), len(self._output))
            out[:count] = self._output[:count]
            self._output = self._output[count:]
            return count


class _Checked(io.RawIOBase):
    """A decompressing stream whose failures read as those of the input held
    in memory: ValueError, naming the compression."""

    def __init__(self, stream: BinaryIO, compression: str, errors: tuple[type[BaseException], ...]) -> None:
        self._stream = stream
        self._compression = compression
        self._errors = errors

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        try:
            with memoryview(buffer) as view, view.cast("B") as out:
                return _read_into(self._stream, out)
        except self._errors as error:
            raise ValueError(f"cannot decompress the {self._compression} input: {error}") from None


def _decompressing(file: BinaryIO, compression: str, stack: contextlib.ExitStack) -> BinaryIO | None:
    """The file's text as it is decompressed, or None where that is not done
    a block at a time (zip from a file that cannot seek)."""
    errors: tuple[type[BaseException], ...] = (OSError, EOFError, zlib.error, inflater().error, lzma.LZMAError,
                                               zipfile.BadZipFile, RuntimeError, NotImplementedError)
    stream: BinaryIO
    if compression == "gzip":
        stream = _GzipMembers(file)  # type: ignore[assignment]
    elif compression == "bz2":
        stream = stack.enter_context(bz2.BZ2File(file))  # type: ignore[arg-type]
    elif compression == "xz":
        stream = stack.enter_context(lzma.LZMAFile(file))  # type: ignore[arg-type]
    elif compression == "zstd":
        zstandard = require("zstandard", "zstd", "reading zstd-compressed input")
        errors = (zstandard.ZstdError,)
        stream = _ZstdFrames(file, zstandard)  # type: ignore[assignment]
    elif compression == "zip" and _seekable(file):
        try:
            stream = stack.enter_context(only_member(stack.enter_context(zipfile.ZipFile(file))))
        except zipfile.BadZipFile as error:
            raise ValueError(f"cannot decompress the zip input: {error}") from None
    else:
        return None
    return _Checked(stream, compression, errors)  # type: ignore[return-value]


def _seekable(file: BinaryIO) -> bool:
    try:
        return bool(file.seekable())
    except (AttributeError, OSError, ValueError):
        return False


@dataclass(frozen=True)
class Opened:
    """A source opened for streaming."""

    file: BinaryIO  # with any bytes read from it to look at put back
    text: BinaryIO | None  # its text read a block at a time; None: read whole instead
    # (descriptor, offset): where the text is a regular file's own bytes
    # from that offset on, which the conversion maps rather than reads.
    mappable: tuple[int, int] | None = None


def _regular_file_at(source: object) -> tuple[int, int] | None:
    """(descriptor, position) of a plain binary file on disk that reads
    exactly the bytes behind its descriptor, from where it stands."""
    if not plain_file(source):
        return None
    try:
        descriptor = source.fileno()  # type: ignore[attr-defined]
        if not stat.S_ISREG(os.fstat(descriptor).st_mode) or not source.seekable():  # type: ignore[attr-defined]
            return None
        return descriptor, source.tell()  # type: ignore[attr-defined]
    except (OSError, ValueError):
        return None


@contextlib.contextmanager
def opened(source: object, compression: str | None) -> Iterator[Opened]:
    """Opens a path or takes a file object for streaming; the text is None
    when it is read whole instead: a compression it is not read so for, or
    an ASCII magic number that may begin text as well."""
    with contextlib.ExitStack() as stack:
        file: BinaryIO
        if isinstance(source, (str, os.PathLike)):
            file = stack.enter_context(open(source, "rb"))
            if compression == "infer":
                compression = suffix_compression(source) or "infer"
        else:
            file = source  # type: ignore[assignment]
        at = _regular_file_at(file)
        if compression == "infer":
            head = read_head(file, 8)
            file = Prefixed(head, file)  # type: ignore[assignment]
            compression = None
            for magic, name in MAGIC_NUMBERS.items():
                if head.startswith(magic):
                    compression = name
            if compression in ("bz2", "zip"):  # their magic is ASCII: a text may start so
                yield Opened(file, None)
                return
        if compression is None:
            yield Opened(file, file, at)
            return
        yield Opened(file, _decompressing(file, compression, stack))


def decompressed_at(path: str, compression: str, offset: int, count: int) -> bytes:
    """Up to `count` bytes of a compressed file's text from `offset` on,
    decompressing all that comes before; ValueError when the file is not
    what the compression says."""
    with contextlib.ExitStack() as stack:
        file = stack.enter_context(open(path, "rb"))
        text = _decompressing(file, compression, stack)
        if text is None:
            return b""
        while offset > 0:
            skipped = len(text.read(min(offset, 1 << 20)) or b"")
            if skipped == 0:
                return b""
            offset -= skipped
        return read_head(text, count)


def read_head(file: BinaryIO, count: int) -> bytes:
    """Up to `count` bytes from the file, fewer only at its end."""
    head = b""
    while len(head) < count:
        more = file.read(count - len(head))
        if not more:
            break
        if not isinstance(more, (bytes, bytearray)):
            raise TypeError(f"the file object must be opened in binary mode, got {type(more).__name__} from read()")
        head += more
    return head
