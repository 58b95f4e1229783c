"""Compressed CSV: which compression a source has, and its bytes
decompressed into memory."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import zipfile
import zlib
from collections.abc import Buffer, Callable
from types import ModuleType
from typing import BinaryIO

from ._optional import require

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd", "zip")

_SUFFIXES = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd", ".zip": "zip"}

# Magic numbers that cannot begin UTF-8 text (0x8b and 0xb5 continue a
# character, 0xfd starts none), so a stream that starts with one is
# compressed or not text at all.
_BINARY_MAGIC = {b"\x1f\x8b": "gzip", b"\xfd7zXZ\x00": "xz", b"(\xb5/\xfd": "zstd"}
# Magic numbers that are ASCII, so that text may start with them as well.
_TEXT_MAGIC = {b"BZh": "bz2", b"PK\x03\x04": "zip"}
MAGIC_NUMBERS = {**_BINARY_MAGIC, **_TEXT_MAGIC}

_BLOCK = 1 << 20


def check_compression(compression: object) -> None:
    if compression is None or compression == "infer" or compression in COMPRESSIONS:
        return
    allowed = ", ".join(repr(c) for c in ("infer", *COMPRESSIONS))
    raise ValueError(f"compression must be {allowed} or None, not {compression!r}")


def suffix_compression(path: str | os.PathLike[str]) -> str | None:
    """The compression a file's name announces, if any."""
    return _SUFFIXES.get(os.path.splitext(os.fspath(path))[1].lower())


def decompressed(data: Buffer, compression: str | None, text_is_utf8: Callable[[], bool] | None = None) -> Buffer:
    """The data decompressed as `compression` says; "infer": as its magic
    number says. An ASCII magic number (bz2's, zip's) is taken as one only
    when the data decompresses and `text_is_utf8()`, if given, is false: a
    text that happens to start so is read as it is."""
    if compression is None:
        return data
    if compression != "infer":
        return _decompress(data, compression)
    head = bytes(memoryview(data)[:8])
    for magic, name in _BINARY_MAGIC.items():
        if head.startswith(magic):
            return _decompress(data, name)
    for magic, name in _TEXT_MAGIC.items():
        if head.startswith(magic):
            try:
                result = _decompress(data, name)
            except _MemberCount:
                if text_is_utf8 is not None and text_is_utf8():
                    return data
                raise
            except ValueError:
                return data
            return data if text_is_utf8 is not None and text_is_utf8() else result
    return data


def _decompress(data: Buffer, compression: str) -> Buffer:
    if compression == "zstd":
        zstandard = require("zstandard", "zstd", "reading zstd-compressed input")
        errors: tuple[type[BaseException], ...] = (zstandard.ZstdError,)
    else:
        errors = (OSError, EOFError, zlib.error, inflater().error, lzma.LZMAError, zipfile.BadZipFile, RuntimeError,
                  NotImplementedError)
    try:
        if compression == "zip":
            return _zip_member(data)
        if compression == "zstd":
            return _zstd_frames(zstandard, data)
        if compression == "gzip":
            return _gzip_members(data)
        stream = io.BytesIO(data)
        return _read_all(bz2.BZ2File(stream) if compression == "bz2" else lzma.LZMAFile(stream))
    except errors as error:
        raise ValueError(f"cannot decompress the {compression} input: {error}") from None


def _read_all(stream: io.RawIOBase | io.BufferedIOBase) -> bytearray:
    out = bytearray()
    with stream:
        while block := stream.read(_BLOCK):
            out += block
    return out


def inflater() -> ModuleType:
    """The fastest inflater there is: ISA-L's, about twice zlib's speed,
    where the `fast-gzip` extra installed it; else zlib. Both read gzip the
    same way and give the same bytes."""
    try:
        from isal import isal_zlib  # type: ignore[import-not-found]
    except ImportError:
        return zlib
    return isal_zlib  # type: ignore[no-any-return]


def _gzip_members(data: Buffer) -> bytes:
    """Every member, one after the other, as gzip reads them: zero bytes of
    padding after a member are skipped; a member cut short, or anything
    else after one, is an error. The text of a single member is not copied
    again."""
    module = inflater()
    members = []
    with memoryview(data) as view:
        rest: Buffer = view
        while rest:
            member = module.decompressobj(wbits=31)  # the gzip framing
            members.append(member.decompress(rest))
            if not member.eof:
                raise EOFError("the input ends inside a gzip member")
            rest = member.unused_data.lstrip(b"\0")
            if rest and not rest.startswith(b"\x1f\x8b"):
                raise EOFError(f"{len(rest)} bytes after the last member are not gzip")
    return members[0] if len(members) == 1 else b"".join(members)


def _zstd_frames(zstandard, data: Buffer) -> bytearray:  # type: ignore[no-untyped-def]
    """Every frame, one after the other; a frame cut short is an error (the
    stream reader would end quietly where the input does)."""
    out = bytearray()
    with memoryview(data) as view:
        rest: Buffer = view
        while rest:
            frame = zstandard.ZstdDecompressor().decompressobj()
            out += frame.decompress(rest)
            if not frame.eof:
                raise zstandard.ZstdError("the input ends inside a frame")
            rest = frame.unused_data
    return out


class _MemberCount(ValueError):
    """A zip archive that does not hold exactly one file."""


def _zip_member(data: Buffer) -> bytearray:
    with zipfile.ZipFile(io.BytesIO(data)) as archive, only_member(archive) as member:
        return _read_all(member)


def only_member(archive: zipfile.ZipFile) -> BinaryIO:
    """The one file of an archive, opened; _MemberCount when it holds none
    or several."""
    members = [info for info in archive.infolist() if not info.is_dir()]
    if len(members) != 1:
        names = ", ".join(repr(info.filename) for info in members) or "none"
        raise _MemberCount(f"a zip archive must hold exactly one file to convert; this one holds {names}")
    return archive.open(members[0])  # type: ignore[return-value]


def compression_of(head: bytes, name: str | os.PathLike[str] | None = None) -> str | None:
    """The compression a name announces, else the one the first bytes'
    magic number says (an ASCII one only when more than text follows)."""
    if name is not None and (by_name := suffix_compression(name)) is not None:
        return by_name
    for magic, kind in _BINARY_MAGIC.items():
        if head.startswith(magic):
            return kind
    for magic, kind in _TEXT_MAGIC.items():
        if head.startswith(magic) and not _is_text(head):
            return kind
    return None


def _is_text(head: bytes) -> bool:
    try:
        head.decode("utf-8")
    except UnicodeDecodeError as error:
        return error.start >= len(head) - 3 and error.reason == "unexpected end of data"
    return True


def decompressed_start(file: BinaryIO, compression: str, limit: int) -> bytes:
    """Up to `limit` bytes of a compressed file's text from its start,
    decompressing no more than that; ValueError when it is not what the
    compression says."""
    if compression == "zip":
        with zipfile.ZipFile(file) as archive:
            names = [info for info in archive.infolist() if not info.is_dir()]
            if len(names) != 1:
                raise ValueError(f"a zip input must hold exactly one file, not {len(names)}")
            with archive.open(names[0]) as member:
                return member.read(limit)
    opened: io.BufferedIOBase
    if compression == "zstd":
        zstandard = require("zstandard", "zstd", "reading zstd-compressed input")
        opened = zstandard.ZstdDecompressor().stream_reader(file, closefd=False)
    elif compression == "gzip":
        opened = gzip.GzipFile(fileobj=file, mode="rb")
    elif compression == "bz2":
        opened = bz2.BZ2File(file)
    else:
        opened = lzma.LZMAFile(file)
    try:
        return opened.read(limit)
    except Exception as error:  # each library fails in its own way
        raise ValueError(f"cannot decompress the {compression} input: {error}") from None
