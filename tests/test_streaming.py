"""Streamed conversion: the output written as each table slice is made, and
an input that is not held (a pipe, a file object, a decompressing stream)
read a window at a time. The file is the one built in memory, byte for
byte, and so is the failure; memory stays bounded whatever the input's size."""

import bz2
import gzip
import hashlib
import io
import lzma
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest
import zstandard
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
from _qarn import csv_to_qarn
from cli_support import not_when_sanitized, run_qarn
from csv_strategies import csv_spellings, tables
from qarn import _native
from scale import examples


def outcome(convert, *args, **options):
    try:
        return convert(*args, **options)
    except ValueError as error:
        return f"{type(error).__name__}: {error}"


class Trickle(io.RawIOBase):
    """A stream that gives at most `most` bytes per read, as a pipe may."""

    def __init__(self, data: bytes, most: int) -> None:
        self._data = memoryview(data)
        self._most = most

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        count = min(len(buffer), self._most, len(self._data))
        buffer[:count] = self._data[:count]
        self._data = self._data[count:]
        return count


def streamed(csv: bytes, chunk_size: int, sample_rows, threads: int, *, window: int = 0, most: int = 1 << 30,
             segment: int = 0, **options) -> bytes:
    out = io.BytesIO()
    _native.convert(Trickle(csv, most).readinto, chunk_size, sample_rows, threads, sink=out.write,
                    window_bytes=window, segment_bytes=segment, report=True, **options)
    return out.getvalue()


def sunk(csv: bytes, chunk_size: int, sample_rows, threads: int, **options) -> bytes:
    out = io.BytesIO()
    _native.convert(csv, chunk_size, sample_rows, threads, sink=out.write, report=True, **options)
    return out.getvalue()


# Dialects whose records end otherwise than at a line end outside quotes.
DIALECTS = [
    {},
    {"quotechar": None},
    {"escapechar": "\\", "doublequote": False},
    {"newlines_in_values": False},
    {"comment": "#", "skip_rows": 1},
    {"header": False, "delimiter": ";"},
]


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_a_stream_converts_as_the_bytes_held_do(data):
    names, rows = data.draw(tables())
    csv = data.draw(csv_spellings(names, rows))
    if data.draw(st.booleans()):  # a quote left open, a stray byte, a comment line: malformed input
        at = data.draw(st.integers(0, len(csv)))
        csv = csv[:at] + data.draw(st.sampled_from([b"\xff", b'"', b"\xe2\x82", b"\n#", b"\\"])) + csv[at:]
    chunk_size = data.draw(st.sampled_from([1, 3, 10000]))
    sample_rows = data.draw(st.sampled_from([0, 2, 1000, None]))
    dialect = data.draw(st.sampled_from(DIALECTS))
    expected = outcome(_native.convert, csv, chunk_size, sample_rows, 1, **dialect)
    if not dialect and sample_rows is not None:
        assert expected == outcome(csv_to_qarn, csv, chunk_size, sample_rows)
    window = data.draw(st.sampled_from([1, 7, 64, 0]))
    most = data.draw(st.sampled_from([1, 5, 1 << 20]))
    for threads in (1, 2, 3):
        got = outcome(streamed, csv, chunk_size, sample_rows, threads, window=window, most=most, segment=16,
                      **dialect)
        assert got == expected, (threads, window, most)
    assert outcome(sunk, csv, chunk_size, sample_rows, 2, **dialect) == expected


def records(count: int, start: int = 0) -> bytes:
    # Quoted fields with line ends in them, so that windows end inside records.
    return b"".join(b'%d,"line\n%d",%d.5,%s\r\n' % (i, i % 91, i % 1000, b"true" if i % 3 else b"x")
                    for i in range(start, start + count))


BIG = b"id,text,score,flag\r\n" + records(150000)


@pytest.mark.parametrize("window", [1 << 16, 0])
@pytest.mark.parametrize("threads", [1, 2])
def test_a_large_stream_in_small_windows(window, threads):
    expected = csv_to_qarn(BIG, 1000, 100)
    assert streamed(BIG, 1000, 100, threads, window=window, most=70001) == expected
    bad = BIG[: len(BIG) * 3 // 4] + b"\xff" + BIG[len(BIG) * 3 // 4:]
    assert outcome(streamed, bad, 1000, 100, threads, window=window) == outcome(csv_to_qarn, bad, 1000, 100)


@pytest.mark.parametrize("kind", ["path", "file", "pipe", "gzip", "bz2", "xz", "zstd", "zip", "gzip-members", "held"])
def test_every_source_to_every_target(tmp_path, kind):
    path = tmp_path / "in.csv"
    csv = BIG
    source: object = path
    if kind == "gzip-members":  # members one after the other, zero padding between them
        middle = BIG.index(b"\r\n", len(BIG) // 2) + 2
        path = tmp_path / "in.csv.gz"
        path.write_bytes(gzip.compress(BIG[:middle]) + b"\0\0\0" + gzip.compress(BIG[middle:]))
        source = path
    elif kind in ("gzip", "bz2", "xz", "zstd"):
        compress = {"gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress,
                    "zstd": zstandard.ZstdCompressor().compress}[kind]
        source = io.BufferedReader(Trickle(compress(BIG), 4096))  # found by its magic number
    elif kind == "zip":
        path = tmp_path / "in.zip"
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("in.csv", BIG)
        source = path
    else:
        # A file object is read from where it stands, here not at a page's start.
        path.write_bytes(b"before\n" * 1001 + csv if kind == "file" else csv)
        if kind == "file":
            source = open(path, "rb")
            source.seek(7 * 1001)
        elif kind == "pipe":
            source = io.BufferedReader(Trickle(csv, 65536))
        elif kind == "held":
            source = csv
    expected = csv_to_qarn(csv, 5000, 1000)
    out = io.BytesIO()
    assert qarn.convert(source, out, chunk_size=5000, threads=2) is None
    assert out.getvalue() == expected
    if kind == "file":
        assert source.tell() == path.stat().st_size  # left at its end, as reading it would leave it
        source.close()
    if kind in ("path", "gzip-members", "zip"):
        qarn.convert(source, tmp_path / "out.qarn", chunk_size=5000, threads=2)
        assert (tmp_path / "out.qarn").read_bytes() == expected


def test_a_target_may_keep_what_it_is_given():
    class Keeping:
        def __init__(self):
            self.parts = []

        def write(self, data):
            self.parts.append(data)

    target = Keeping()
    qarn.convert(io.BufferedReader(Trickle(BIG, 1 << 16)), target, chunk_size=1000, threads=2)
    assert b"".join(target.parts) == csv_to_qarn(BIG, 1000)


@pytest.mark.parametrize("keep", [lambda view: view[:], lambda view: __import__("numpy").frombuffer(view, "u1")],
                         ids=["slice", "array"])
def test_a_source_that_keeps_the_buffer_it_reads_into_fails_and_its_view_stays_sound(keep):
    class Keeping(io.RawIOBase):
        kept = None

        def readable(self):
            return True

        def readinto(self, buffer):
            first = self.kept is None
            self.kept = keep(buffer)
            if first:
                buffer[:4] = b"a,b\n"
            return 4 if first else 0

    source = Keeping()
    with pytest.raises(ValueError, match=r"^the buffer given to the file object was kept past the call; "):
        qarn.convert(source, io.BytesIO())
    kept = memoryview(source.kept)
    kept[:4] = b"zzzz"  # the memory was given up, not freed
    assert bytes(kept[:4]) == b"zzzz"


@pytest.mark.parametrize("data", [
    gzip.compress(BIG[:5000]) + b"\0" * 7 + gzip.compress(b"1,x,2,true\n"),  # members, padding between
    gzip.compress(BIG[:5000]) + b"\0zz",  # not gzip after the last member
    gzip.compress(BIG)[:-9],  # cut short
    gzip.compress(BIG)[:10] + b"\xff" * 40,
    zstandard.ZstdCompressor().compress(BIG[:5000]) * 2,  # two frames
    zstandard.ZstdCompressor().compress(BIG)[:-20],
    b"",
], ids=["gzip-members", "gzip-trailing", "gzip-cut", "gzip-broken", "zstd-frames", "zstd-cut", "empty"])
def test_compressed_streams_read_as_the_held_input(data):
    expected = outcome(qarn.convert, data, chunk_size=1000)
    out = io.BytesIO()
    got = outcome(qarn.convert, io.BufferedReader(Trickle(data, 1000)), out, chunk_size=1000)
    assert (out.getvalue() if got is None else got) == expected


@pytest.mark.parametrize("fault", ["csv", "gzip", "sink", "source"])
def test_a_failed_stream_leaves_no_file(tmp_path, fault):
    target = tmp_path / "out.qarn"
    late = BIG + b"1,\xff,2,true\n"  # read after several windows and slices
    sources = {
        "csv": (io.BufferedReader(Trickle(late, 1 << 20)), qarn.CsvError, "record 150001"),
        "gzip": (io.BytesIO(gzip.compress(BIG)[:-100]), ValueError, "cannot decompress the gzip input"),
        "sink": (io.BufferedReader(Trickle(BIG, 1 << 20)), OSError, "disk full"),
        "source": (Failing(), OSError, "read failed"),
    }
    source, error, text = sources[fault]
    if fault == "gzip":
        source = io.BufferedReader(source)  # no seek: read as a stream
    with pytest.raises(error, match=text):
        qarn.convert(source, FullDisk() if fault == "sink" else target, chunk_size=1000, threads=2)
    assert os.listdir(tmp_path) == []


class Failing(io.RawIOBase):
    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        raise OSError("read failed")


class FullDisk(io.RawIOBase):
    """A target that takes a megabyte, then fails."""

    written = 0

    def writable(self) -> bool:
        return True

    def write(self, data) -> int:
        if self.written > 1 << 20:
            raise OSError("disk full")
        self.written += len(data)
        return len(data)


def test_options_that_need_the_whole_input_still_stream_the_output(tmp_path):
    text = "id;name\n" + "".join(f"{i};caf\u00e9 {i % 7}\n" for i in range(30000)) + "total;-\n"
    data = text.encode("cp1252")
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    options = {"delimiter": ";", "encoding": "cp1252", "skip_footer": 1, "chunk_size": 999}
    expected = qarn.convert(data, **options)
    for source in (path, io.BufferedReader(Trickle(data, 4096))):
        out = io.BytesIO()
        qarn.convert(source, out, **options)
        assert out.getvalue() == expected
    rejects = io.BytesIO()
    qarn.convert(path, tmp_path / "out.qarn", rejects=rejects, column_types={"name": "int"}, **options)
    assert rejects.getvalue().count(b"\n") == 30001
    assert (tmp_path / "out.qarn").read_bytes() == qarn.convert(data, column_types={"name": "int"}, **options)


def test_the_command_streams_standard_input_to_standard_output(tmp_path):
    result = run_qarn("convert", "-", "-o", "-", input=BIG, cwd=tmp_path)
    assert result.stdout == csv_to_qarn(BIG)
    result = run_qarn("convert", "-", "-o", "out.qarn", input=gzip.compress(BIG), cwd=tmp_path)
    assert (tmp_path / "out.qarn").read_bytes() == csv_to_qarn(BIG)
    assert "150,000 rows" in result.stderr or "150000 rows" in result.stderr


# A subprocess converts a generated stream far larger than the address
# space it may take, into a hash: the output is never held either.
BOUNDED = textwrap.dedent("""
    import hashlib, io, resource, sys
    import qarn
    size, limit, threads = (int(arg) for arg in sys.argv[1:])

    # Rows with quoted line ends, strings and numbers; each block of them
    # numbered apart, so that no two blocks are alike.
    TEMPLATE = b"".join(b'@,%d,"w%d\\nx",%d.25,%s\\n' % (i, i % 1013, i % 977, b"true" if i % 5 else b"")
                        for i in range(30000))

    class Generated(io.RawIOBase):
        # Made as read, a block at a time: never more than a block held.
        def __init__(self):
            self.block = 0
            self.made = 0
            self.pending = memoryview(b"block,id,text,score,flag\\n")
        def readable(self):
            return True
        def readinto(self, buffer):
            if not self.pending and self.made < size:
                self.block += 1
                self.pending = memoryview(TEMPLATE.replace(b"@", b"%d" % self.block))
                self.made += len(self.pending)
            count = min(len(buffer), len(self.pending))
            buffer[:count] = self.pending[:count]
            self.pending = self.pending[count:]
            return count

    class Hashing(io.RawIOBase):
        def __init__(self):
            self.hash = hashlib.sha256()
        def writable(self):
            return True
        def write(self, data):
            self.hash.update(data)
            return len(data)

    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    out = Hashing()
    qarn.convert(Generated(), out, threads=threads)
    print(out.hash.hexdigest(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
""")


def bounded_conversion(size: int, limit: int, threads: int) -> tuple[str, int]:
    result = subprocess.run([sys.executable, "-c", BOUNDED, str(size), str(limit), str(threads)],
                            capture_output=True, text=True, check=True)
    digest, peak = result.stdout.split()
    return digest, int(peak)


def baseline() -> tuple[int, int]:
    """The address space and resident size of a process that has imported
    qarn: what the limit and the peak are counted from."""
    code = ("import qarn, re, resource; print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "
            "re.search(r'VmSize:\\s+(\\d+)', open('/proc/self/status').read())[1])")
    resident, size = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                    check=True).stdout.split()
    return int(size) * 1024, int(resident)


@not_when_sanitized  # the sanitizers reserve address space of their own
@pytest.mark.parametrize("size, threads", [(1 << 30, 2), pytest.param(8 << 30, 2, marks=pytest.mark.slow)])
def test_a_stream_larger_than_its_memory_limit(size, threads):
    address_space, resident = baseline()
    # 192 MiB of address space beyond the interpreter's: thread stacks and
    # allocator arenas take part of it, the window and the slices the rest.
    limit = address_space + (192 << 20)
    digest, peak = bounded_conversion(size, limit, threads)
    print(f"\npeak RSS {peak >> 20} MiB ({(peak - resident) >> 20} MiB beyond the interpreter's) under a "
          f"{limit >> 20} MiB address space limit, for {size >> 20} MiB of CSV")
    assert peak - resident < 256 << 20
    if size <= 1 << 30:  # the reference: the whole stream converted in memory
        held = BOUNDED.replace("qarn.convert(Generated(), out, threads=threads)",
                               "out.write(qarn.convert(Generated().read(), threads=threads))")
        reference = subprocess.run([sys.executable, "-c", held, str(size), "0", str(threads)],
                                   capture_output=True, text=True, check=True).stdout.split()[0]
    else:
        reference = bounded_conversion(size, 0, threads)[0]
    assert digest == reference


@pytest.mark.parametrize("which", ["target", "rejects", "both"])
def test_a_target_that_cannot_be_made_is_named_as_given(tmp_path, which):
    # Not the hidden name the bytes would have gone to first.
    missing = tmp_path / "no such folder"
    target = missing / "t.qarn" if which != "rejects" else tmp_path / "t.qarn"
    rejects = missing / "r.csv" if which != "target" else tmp_path / "r.csv"
    with pytest.raises(FileNotFoundError) as raised:
        qarn.convert(b"a\n1\nx\n", target, rejects=rejects, sample_rows=1)
    assert raised.value.filename in (str(target), str(rejects)) and missing.name in raised.value.filename
