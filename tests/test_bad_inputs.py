"""Inputs users download: random bytes, NULs, huge fields, huge headers,
millions of tiny rows, every line ending, broken UTF-8 anywhere, extreme
counts and concurrent calls. Each has an exact expected outcome."""

import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import reference
from _qarn import csv_to_qarn
from qarn_decoder import decode, text_table


def expect_reference(data: bytes, **kwargs):
    """The module's answer must be the reference reader's, as text columns."""
    header, rows, error = reference.read_csv(data)
    if error is not None:
        with pytest.raises(ValueError) as info:
            csv_to_qarn(data, sample_rows=0, **kwargs)
        assert str(info.value) == error
    else:
        assert text_table(csv_to_qarn(data, sample_rows=0, **kwargs)) == (header, rows)


@pytest.mark.parametrize("seed", range(40))
def test_random_bytes(seed):
    rng = random.Random(seed)
    alphabet = [b",", b'"', b"\r", b"\n", b"a", b"\x00", b"\xc3\xa9", b"\xff", b"\xe2\x82", b"\xef\xbb\xbf"]
    if seed % 2:
        data = bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 3000)))
    else:
        data = b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 3000)))
    expect_reference(data, chunk_size=rng.randrange(1, 20))


def test_nul_bytes_are_content():
    assert text_table(csv_to_qarn(b"a\x00,b\n\x00,x\x00y\n\x00\x00\n", sample_rows=0)) == (
        ["a\x00", "b"],
        [["\x00", "x\x00y"], ["\x00\x00", ""]],
    )


def test_a_single_64_mib_field():
    field = b"x" * (64 << 20)
    result = decode(csv_to_qarn(b"h,n\n" + field + b",1\n"))
    assert result.column_types == ["string", "int"]
    [[only]] = [s[0].values for s in result.slices]
    assert len(only) == len(field) and only == field.decode()


def test_a_header_of_100000_columns():
    names = [f"c{i}" for i in range(100_000)]
    data = (",".join(names) + "\n" + ",".join(str(i) for i in range(100_000)) + "\n").encode()
    result = decode(csv_to_qarn(data))
    assert result.column_names == names
    assert result.column_types == ["int"] * 100_000
    assert result.rows() == [list(range(100_000))]


def test_a_million_one_byte_rows():
    result = decode(csv_to_qarn(b"h\n" + b"7\n" * 1_000_000))
    assert result.column_types == ["int"]
    assert [len(s[0].values) for s in result.slices] == [10_000] * 100
    assert all(s[0].values == [7] * 10_000 and s[0].invalid is None for s in result.slices)


@pytest.mark.parametrize("ends", [["\n"], ["\r\n"], ["\r"], ["\n", "\r\n", "\r"], ["\n\r"], ["\r\r\n"], ["\n\n"]])
@pytest.mark.parametrize("last", ["", "end"])
def test_line_ending_mixes(ends, last):
    rows = [["a", '"b\nc"'], ["1", "2"], ['"x\r\ny"', ""], ["3", "4"]]
    lines = ["h,i"] + [",".join(r) for r in rows]
    text = "".join(line + ends[i % len(ends)] for i, line in enumerate(lines))
    if not last:
        text = text[: -len(ends[(len(lines) - 1) % len(ends)])]
    assert text_table(csv_to_qarn(text.encode(), sample_rows=0)) == (
        ["h", "i"],
        [["a", "b\nc"], ["1", "2"], ["x\r\ny", ""], ["3", "4"]],
    )


@pytest.mark.parametrize(
    "data, rows",
    [
        (b'h\n"abc', [["abc"]]),
        (b'h\n"a,b\nc', [["a,b\nc"]]),
        (b'h\n1\n"', [["1"], [""]]),
        (b'h\n"a""b', [['a"b']]),
    ],
)
def test_unterminated_quote_at_the_end(data, rows):
    assert text_table(csv_to_qarn(data, sample_rows=0)) == (["h"], rows)


def test_invalid_utf8_in_the_header():
    data = b"ok,caf\xc3\n1,2\n"
    expect_reference(data)


def test_invalid_utf8_in_the_sample():
    data = b"n,s\n" + b"1,a\n" * 500 + b"2,\xe0\x80\x80\n" + b"3,b\n" * 600
    expect_reference(data)
    with pytest.raises(ValueError, match=r"^CSV parse error: CSV parse error: record 501 \(line 502, field: 1, byte: 2004\)"):
        csv_to_qarn(data)


def test_invalid_utf8_in_the_last_record_of_a_large_input():
    body = b"".join(b"%d,caf\xc3\xa9 %d,%d.5\r\n" % (i, i, i) for i in range(400_000))
    last = b"-1,bad\xed\xa0\x80,0"
    data = b"id,text,x\r\n" + body + last
    # The read of the last record starts at the LF of the record before it.
    byte = len(data) - len(last) - 1
    line = 1 + data.count(b"\n", 0, byte)
    with pytest.raises(ValueError) as info:
        csv_to_qarn(data)
    assert str(info.value) == (
        f"CSV parse error: CSV parse error: record 400001 (line {line}, field: 1, byte: {byte}): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 3"
    )


@pytest.mark.parametrize("chunk_size", [1, 2**64 - 1])
@pytest.mark.parametrize("sample_rows", [1, 2**64 - 1])
def test_extreme_counts(chunk_size, sample_rows):
    data = b"a,b\n" + b"".join(b"%d,x%d\n" % (i, i) for i in range(1000))
    result = decode(csv_to_qarn(data, chunk_size=chunk_size, sample_rows=sample_rows))
    assert result.column_types == ["int", "string"]
    assert result.rows() == [[i, "x%d" % i] for i in range(1000)]
    assert len(result.slices) == (1000 if chunk_size == 1 else 1)


def test_concurrent_calls_match_sequential_ones():
    rng = random.Random(5)
    inputs = [
        b"a,b,c\n" + b"".join(b"%d,%f,s%d\n" % (i, rng.random(), i) for i in range(rng.randrange(1000, 30000)))
        for _ in range(8)
    ] + [b"a\n\xff\n"] * 2
    expected = []
    for data in inputs:
        try:
            expected.append(csv_to_qarn(data, chunk_size=777))
        except ValueError as error:
            expected.append(str(error))
    results = [None] * len(inputs)

    def work(i):
        for _ in range(5):
            try:
                got = csv_to_qarn(inputs[i], chunk_size=777)
            except ValueError as error:
                got = str(error)
            if results[i] is None:
                results[i] = got
            assert got == results[i]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer needs more address space than the cap leaves")
def test_memory_exhaustion_raises_memory_error():
    # In a child process whose address space is capped a little above what it
    # already uses, conversions that need more must raise MemoryError, at
    # whatever allocation they fail, and the process must carry on.
    code = textwrap.dedent(
        """
        import resource
        import _qarn

        data = b"a,b,c\\n" + b"".join(b"%d,text %d,%d.25\\n" % (i, i, i) for i in range(600_000))
        expected = _qarn.csv_to_qarn(data, chunk_size=200_000)
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        outcomes = set()
        for extra_mib in (1, 4, 16, 32, 64, 128, 512):
            resource.setrlimit(resource.RLIMIT_AS, (vm + (extra_mib << 20), resource.RLIM_INFINITY))
            try:
                out = _qarn.csv_to_qarn(data, chunk_size=200_000)
                outcomes.add("ok" if out == expected else "WRONG")
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(sorted(outcomes))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['MemoryError', 'ok']"


# Inputs of 64 MiB whose files are tiny: the output must not take address
# space in proportion to the input, only to what is written.
SMALL_OUTPUT_INPUTS = {
    # Blank lines produce no record at all.
    "blank lines": 'b"a\\n" + b"\\n" * (64 << 20) + b"1\\n"',
    # Fields beyond the header width are dropped: one int per 4 KiB record.
    "dropped extra fields": 'b"a\\n" + (b"1" + b",x" * 2047 + b"\\n") * (16 << 10)',
    # A dense sample suggests an output far larger than the cap leaves: the
    # one-block reservation it prompts must give way to ordinary growth.
    "dense sample before blank lines": 'b"a\\n" + b"1\\n" * 1000 + b"\\n" * (64 << 20) + b"2\\n"',
}


def test_an_output_reserved_far_too_large_is_cut_to_its_size():
    # The sample promises about 130 MiB of output, which is reserved at once;
    # the blank lines after it add nothing, so the result is the small file.
    dense = b"a\n" + b"1\n" * 1000
    assert csv_to_qarn(dense + b"\n" * (64 << 20) + b"2\n") == csv_to_qarn(dense + b"2\n")


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer needs more address space than the cap leaves")
@pytest.mark.parametrize("make_input", SMALL_OUTPUT_INPUTS.values(), ids=SMALL_OUTPUT_INPUTS.keys())
def test_a_small_output_converts_under_an_address_space_cap(make_input):
    # In a child process capped 32 MiB above what it already maps (input
    # included), a conversion whose file is a few hundred bytes must succeed.
    code = textwrap.dedent(
        f"""
        import resource
        import _qarn

        data = {make_input}
        expected = _qarn.csv_to_qarn(data)
        assert len(expected) < (1 << 20)
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), resource.RLIM_INFINITY))
        try:
            out = _qarn.csv_to_qarn(data)
            print("ok" if out == expected else "WRONG")
        except MemoryError:
            print("MemoryError")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


_CLEARED_WHILE_READ = """
import gc, sys
from qarn import _native
held = []
class Clears:
    # A buffer whose export empties the list it was passed in.
    def __buffer__(self, flags):
        for target in held:
            target.clear()
        gc.collect()
        for _ in range(1000):
            bytearray(64)
        return memoryview(bytes(PAYLOAD_SIZE))
"""


_CLEARING_CALLS = {
    "string_views": (8, """
columns = [(Clears(), b"x", 4, bytearray(16)), (bytes(8), b"x", 4, bytearray(16))]
held.append(columns)
try: _native.string_views(columns, 1)
except ValueError: pass"""),
    "to_csv": (80, """
names, columns = ["a", "b"], [(5, Clears(), None, None, 4, None), (5, bytes(80), None, None, 4, None)]
held.extend([names, columns])
_native.to_csv(names, columns, 10)"""),
    "write_table": (80, """
pieces = [(0, 10, None, Clears(), None), (0, 10, None, bytes(80), None)]
columns = [(3, False, pieces), (3, False, [(0, 20, None, bytes(160), None)])]
held.extend([pieces, columns])
try: _native.write_table(["a", "b"], columns, 20, 7, 0, head=True, end=True)
except ValueError: pass"""),
}


@pytest.mark.parametrize("call", sorted(_CLEARING_CALLS))
def test_a_list_emptied_while_its_buffers_are_taken_is_read_as_it_was(call):
    payload_size, code = _CLEARING_CALLS[call]
    script = _CLEARED_WHILE_READ.replace("PAYLOAD_SIZE", str(payload_size)) + code
    # Freed memory is overwritten (or, under the sanitizers, reported).
    env = {"PYTHONMALLOC": "debug", **os.environ}
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
