"""`qarn convert` run as a user runs it: outputs, exit statuses, the exact
failure lines, and that no partial file is ever left behind."""

import fcntl
import os
import pty
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import time

import pytest

import _qarn
import qarn
from cli_support import QARN, expected_qarn, leftovers, make_csv, not_when_sanitized, run_qarn, write_csv

pytestmark = not_when_sanitized

SUMMARY = re.compile(
    r"^(?P<src>\S+) -> (?P<dst>\S+): (?P<rows>[\d,]+) rows?, (?P<cols>\d+) columns?, "
    r"(?P<missing>[\d,]+) missing, (?:(?P<misfits>[\d,]+) misfits?, )?(?:[\d,]+ records? with extra fields, )?"
    r"[\d.]+ [kMG]?B -> [\d.]+ [kMG]?B, [\d.]+ MB/s$"
)


def file_lines(stderr: str) -> list[str]:
    """The command's lines without the ones that say how to keep lost cells."""
    return [line for line in stderr.splitlines() if not line.startswith("  lost: ")]


WINDOWS_HINT = "; if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"


def parse_error(data: bytes) -> str:
    """The command's words for the converter's error on `data`."""
    with pytest.raises(ValueError) as info:
        _qarn.csv_to_qarn(data)
    message = str(info.value)
    assert message.startswith("CSV parse error: CSV parse error: record ")
    record, rest = message.removeprefix("CSV parse error: CSV parse error: record ").split(" ", 1)
    position = rest.split("): ", 1)[0].replace("field: ", "field ").replace("byte: ", "byte ")
    return f"record {record} {position}): not valid UTF-8{WINDOWS_HINT}"


def test_each_input_becomes_a_qarn_file_beside_it(tmp_path):
    sub = tmp_path / "sub"
    sub.mkdir()
    first = write_csv(tmp_path, "a.csv", 300, seed=1)
    second = write_csv(sub, "b.data", 20, seed=2)
    result = run_qarn("convert", "a.csv", "sub/b.data", "--chunk-size", "7", "--jobs", "1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.qarn").read_bytes() == expected_qarn(first, chunk_size=7)
    assert (sub / "b.qarn").read_bytes() == expected_qarn(second, chunk_size=7)
    lines = file_lines(result.stderr)
    assert len(lines) == 3 and lines[2].startswith("2 files converted, 0 failed: ")
    summary = SUMMARY.match(lines[0])
    assert summary and summary["src"] == "a.csv" and summary["dst"] == "a.qarn"
    file = qarn.summarize(tmp_path / "a.qarn")
    assert int(summary["rows"].replace(",", "")) == file.num_rows == 300
    invalid = int(summary["missing"].replace(",", "")) + int((summary["misfits"] or "0").replace(",", ""))
    assert int(summary["cols"]) == 5 and invalid == file.invalid_count > 0
    assert result.stdout == b""


@pytest.mark.parametrize(
    "options, output",
    [(["-o", "out/x.qarn"], "out/x.qarn"), (["--out-dir", "new/dir"], "new/dir/in.qarn")],
)
def test_output_named_or_put_in_a_folder(tmp_path, options, output):
    source = write_csv(tmp_path, "in.csv", 50)
    (tmp_path / "out").mkdir()
    run_qarn("convert", "in.csv", *options, "--sample-rows", "3", cwd=tmp_path, check_status=0)
    assert (tmp_path / output).read_bytes() == expected_qarn(source, sample_rows=3)


@pytest.mark.parametrize(
    "inputs, outputs",
    [
        (["a/x.csv", "b/x.csv"], ["out/a/x.qarn", "out/b/x.qarn"]),
        (["a/x.csv", "a/b/c/y.csv"], ["out/x.qarn", "out/b/c/y.qarn"]),
        (["a/b/x.csv", "a/c/y.csv", "z.csv"], ["out/a/b/x.qarn", "out/a/c/y.qarn", "out/z.qarn"]),
        (["a/x.csv", "a/../a/y.csv"], ["out/x.qarn", "out/y.qarn"]),
        (["a/b/x.csv"], ["out/x.qarn"]),
    ],
)
def test_out_dir_keeps_the_folders_of_inputs_from_several(tmp_path, inputs, outputs):
    for seed, name in enumerate(inputs):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(make_csv(10, seed))
    result = run_qarn("convert", *inputs, "--out-dir", "out", cwd=tmp_path, check_status=0)
    assert sorted(line.split(": ")[0] for line in file_lines(result.stderr)[: len(inputs)]) == sorted(
        f"{source} -> {target}" for source, target in zip(inputs, outputs)
    )
    for source, target in zip(inputs, outputs):
        assert (tmp_path / target).read_bytes() == expected_qarn(tmp_path / source)
    assert sorted(str(p.relative_to(tmp_path)) for p in (tmp_path / "out").rglob("*.qarn")) == sorted(outputs)


def test_failed_files_get_one_line_each_and_the_others_are_converted(tmp_path):
    write_csv(tmp_path, "good.csv", 40)
    bad = b"a,b\nok,1\n\xff\xfe,2\n"
    (tmp_path / "bad.csv").write_bytes(bad)
    (tmp_path / "folder.csv").mkdir()
    result = run_qarn("convert", "bad.csv", "good.csv", "missing.csv", "folder.csv", "--jobs", "2", cwd=tmp_path)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert f"qarn: bad.csv: {parse_error(bad)}" in lines
    assert "qarn: missing.csv: No such file or directory" in lines
    assert "qarn: folder.csv: Is a directory" in lines
    assert any(SUMMARY.match(line) for line in lines)
    assert lines[-1].startswith("1 file converted, 3 failed: ")
    assert sorted(p.name for p in tmp_path.glob("*.qarn")) == ["good.qarn"]
    assert leftovers(tmp_path) == []
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        ([], "the following arguments are required"),
        (["a.csv", "--chunk-size", "0"], "must be at least 1"),
        (["a.csv", "--jobs", "x"], "not a whole number"),
        (["a.csv", "b.csv", "-o", "x.qarn"], "-o names one output"),
        (["a.csv", "-o", "x.qarn", "--out-dir", "d"], "not allowed with argument"),
        (["-", "a.csv"], "must be the only input"),
        (["-", "--out-dir", "d"], "not --out-dir"),
        (["a.csv", "a.tsv", "--out-dir", "d"], "a.csv and a.tsv would both be written to d/a.qarn"),
        (["a.csv", "./a.csv"], "a.csv and ./a.csv would both be written to a.qarn"),
        (["a.csv", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with argument"),
    ],
)
def test_usage_errors_exit_2_before_any_work(tmp_path, arguments, message):
    write_csv(tmp_path, "a.csv", 5)
    result = run_qarn("convert", *arguments, cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
    assert list(tmp_path.glob("**/*.qarn")) == []


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_quiet_prints_only_failures_and_the_total(tmp_path, jobs):
    names = [write_csv(tmp_path, f"f{i}.csv", 20, seed=i).name for i in range(3)]
    (tmp_path / "bad.csv").write_bytes(b"a\n\xff\n")
    result = run_qarn("convert", "-q", *names, "bad.csv", "--jobs", jobs, cwd=tmp_path, check_status=1)
    lines = result.stderr.splitlines()
    assert lines[0] == f"qarn: bad.csv: {parse_error(b'a\n\xff\n')}" and len(lines) == 2
    assert lines[1].startswith("3 files converted, 1 failed: ") and "lost" not in lines[1]
    assert all((tmp_path / name).with_suffix(".qarn").exists() for name in names)
    single = run_qarn("convert", "--quiet", "f0.csv", cwd=tmp_path, check_status=0)
    assert single.stderr == ""


def test_inputs_may_follow_options(tmp_path):
    names = [write_csv(tmp_path, f"f{i}.csv", 5, seed=i).name for i in range(3)]
    run_qarn("convert", names[0], "--jobs", "1", names[1], "-q", names[2], cwd=tmp_path, check_status=0)
    assert all((tmp_path / name).with_suffix(".qarn").exists() for name in names)
    refused = run_qarn("convert", names[0], "--jobs", "1", names[1], "--bogus", cwd=tmp_path)
    assert refused.returncode == 2 and "unrecognized arguments" in refused.stderr


def test_quiet_still_names_files_that_lost_cells_and_the_total_counts_them(tmp_path):
    (tmp_path / "a.csv").write_bytes(b"n,m\n1,2\n3,4,5\n6,7,8\n")
    (tmp_path / "b.csv").write_bytes(b"n\n1\n2\nx\n")
    (tmp_path / "c.csv").write_bytes(b"n\n1\n")
    result = run_qarn("convert", "-q", "--sample-rows", "2", "a.csv", "b.csv", "c.csv", "--jobs", "1", cwd=tmp_path)
    lines = result.stderr.splitlines()
    assert [line.split(":")[0] for line in lines[:-1]] == ["a.csv -> a.qarn", "  lost", "b.csv -> b.qarn", "  lost"]
    assert "2 records with extra fields" in lines[0] and "1 misfit," in lines[2]
    assert lines[-1].startswith("3 files converted, 0 failed: ")
    assert lines[-1].endswith("; 2 files lost cells: 1 misfit, 2 records with extra fields")


def test_an_input_is_never_replaced_by_its_own_output(tmp_path):
    (tmp_path / "table.qarn").write_bytes(make_csv(5))
    result = run_qarn("convert", "table.qarn", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.startswith("qarn: table.qarn: the output would replace the input")
    assert (tmp_path / "table.qarn").read_bytes() == make_csv(5)


def test_an_existing_output_is_replaced_keeping_its_mode_unless_no_clobber(tmp_path):
    source = write_csv(tmp_path, "a.csv", 30)
    target = tmp_path / "a.qarn"
    target.write_bytes(b"old")
    target.chmod(0o640)
    result = run_qarn("convert", "a.csv", "--no-clobber", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "qarn: a.qarn: exists and --no-clobber was given\n"
    assert target.read_bytes() == b"old"
    run_qarn("convert", "a.csv", cwd=tmp_path, check_status=0)
    assert target.read_bytes() == expected_qarn(source)
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert leftovers(tmp_path) == []


def test_standard_input_and_output(tmp_path):
    data = make_csv(100, seed=3)
    expected = _qarn.csv_to_qarn(data, chunk_size=9)
    piped = run_qarn("convert", "-", "--chunk-size", "9", cwd=tmp_path, input=data, check_status=0)
    assert piped.stdout == expected
    assert piped.stderr.startswith("<stdin> -> <stdout>: 100 rows, 5 columns, ")
    run_qarn("convert", "-", "-o", "x.qarn", "--chunk-size", "9", cwd=tmp_path, input=data, check_status=0)
    assert (tmp_path / "x.qarn").read_bytes() == expected
    source = write_csv(tmp_path, "f.csv", 10)
    to_stdout = run_qarn("convert", "f.csv", "-o", "-", cwd=tmp_path, check_status=0)
    assert to_stdout.stdout == expected_qarn(source)
    bad = run_qarn("convert", "-", cwd=tmp_path, input=b"x\n\xc3\n")
    assert (bad.returncode, bad.stdout) == (1, b"")
    assert bad.stderr == f"qarn: <stdin>: {parse_error(b'x\n\xc3\n')}\n"


def test_many_files_in_a_pool_give_the_same_bytes_as_one_at_a_time(tmp_path):
    serial, pooled = tmp_path / "serial", tmp_path / "pooled"
    names = [write_csv(tmp_path, f"f{i}.csv", 50 + 400 * (i % 4), seed=i).name for i in range(9)]
    run_qarn("convert", *names, "--out-dir", serial, "--jobs", "1", "--chunk-size", "100", cwd=tmp_path, check_status=0)
    result = run_qarn("convert", *names, "--out-dir", pooled, "--jobs", "3", "--chunk-size", "100", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(pooled)) == sorted(os.listdir(serial)) == sorted(n.replace(".csv", ".qarn") for n in names)
    for name in os.listdir(serial):
        assert (pooled / name).read_bytes() == (serial / name).read_bytes()
    assert sum(bool(SUMMARY.match(line)) for line in result.stderr.splitlines()) == len(names)


def test_threads_give_the_same_bytes(tmp_path):
    source = write_csv(tmp_path, "a.csv", 3000)
    run_qarn("convert", "a.csv", "--threads", "2", "--chunk-size", "500", cwd=tmp_path, check_status=0)
    assert (tmp_path / "a.qarn").read_bytes() == expected_qarn(source, chunk_size=500)


def test_help_on_every_command_and_version(tmp_path, capsys):
    from qarn.cli import main

    for command in ("convert", "inspect", "head", "to-csv", "validate"):
        with pytest.raises(SystemExit) as exit:
            main([command, "--help"])
        assert exit.value.code == 0 and capsys.readouterr().out.startswith(f"usage: qarn {command}")
    with pytest.raises(SystemExit):
        main(["convert", "--help"])
    assert "--threads N splits the conversion" in capsys.readouterr().out.replace("\n", " ")
    assert run_qarn("--version", cwd=tmp_path, check_status=0).stdout == f"qarn {qarn.__version__}\n".encode()
    module = subprocess.run([sys.executable, "-m", "qarn", "--version"], capture_output=True, check=True)
    assert module.stdout == f"qarn {qarn.__version__}\n".encode()
    assert run_qarn(cwd=tmp_path).returncode == 2


# ------------------------------------------------------------ interruptions


@pytest.fixture(scope="module")
def big_csv(tmp_path_factory):
    """About 40 MB: a conversion that takes a good fraction of a second."""
    path = tmp_path_factory.mktemp("big") / "big.csv"
    header, body = make_csv(20_000).split(b"\n", 1)
    path.write_bytes(header + b"\n" + body * 50)
    return path


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
def test_a_conversion_killed_part_way_leaves_a_complete_file_or_none(tmp_path, big_csv, signum):
    expected = expected_qarn(big_csv)
    shutil.copy(big_csv, tmp_path / "big.csv")
    for delay in (0.05, 0.15, 0.3, 0.5, 0.8):
        process = subprocess.Popen([QARN, "convert", "big.csv"], cwd=tmp_path, stderr=subprocess.PIPE)
        time.sleep(delay)
        process.send_signal(signum)
        _, stderr = process.communicate(timeout=60)
        output = tmp_path / "big.qarn"
        if output.exists():  # finished, perhaps just before the signal
            assert output.read_bytes() == expected
            output.unlink()
        else:
            assert process.returncode != 0
        # 128 + signum once the command has started; killed outright while Python starts
        assert process.returncode in (0, 128 + signum, -signum), stderr
        if signum != signal.SIGKILL:
            assert leftovers(tmp_path) == [] and b"Traceback" not in stderr
        for name in leftovers(tmp_path):  # what SIGKILL leaves is hidden and never a .qarn
            os.unlink(tmp_path / name)


def start_pool_on_copies(folder, csv, copies: int) -> subprocess.Popen:
    """`qarn convert --jobs 2` on hard links to `csv`: f0.csv, f1.csv, ..."""
    for i in range(copies):
        os.link(csv, folder / f"f{i}.csv")
    names = [f"f{i}.csv" for i in range(copies)]
    return subprocess.Popen([QARN, "convert", "--jobs", "2", *names], cwd=folder, stderr=subprocess.PIPE)


def test_ctrl_c_stops_the_pool_removes_temporary_files_and_exits_130(tmp_path, big_csv):
    expected = expected_qarn(big_csv)
    process = start_pool_on_copies(tmp_path, big_csv, 6)
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob("*.qarn")) and time.monotonic() < deadline:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert stderr.decode().splitlines()[-1] == "qarn: interrupted"
    done = list(tmp_path.glob("*.qarn"))
    assert 1 <= len(done) < 6
    assert all(path.read_bytes() == expected for path in done)
    assert leftovers(tmp_path) == []
    time.sleep(0.5)  # a worker left running would write more
    assert list(tmp_path.glob("*.qarn")) == done and leftovers(tmp_path) == []


def test_a_progress_bar_only_on_a_terminal(tmp_path):
    names = [write_csv(tmp_path, f"f{i}.csv", 200, seed=i).name for i in range(4)]
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with subprocess.Popen([QARN, "convert", "--jobs", "2", *names], cwd=tmp_path, stderr=terminal) as process:
        os.close(terminal)
        shown = b""
        while chunk := _read_terminal(controller):
            shown += chunk
    os.close(controller)
    assert process.returncode == 0
    text = shown.decode()
    assert "0/4 files" in text and "B/s" in text and " left]" in text
    assert sum(bool(SUMMARY.match(line.rstrip("\r").split("\r")[-1])) for line in text.split("\n")) == 4
    piped = run_qarn("convert", "--jobs", "2", *names, cwd=tmp_path, check_status=0)
    assert "files" not in piped.stderr.replace("files converted", "") and "\r" not in piped.stderr


def _read_terminal(descriptor: int) -> bytes:
    try:
        return os.read(descriptor, 65536)
    except OSError:  # EIO: the other side is closed
        return b""


def _children(pid: int) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(child) for child in file.read().split()]


def test_a_worker_killed_mid_file_has_its_files_converted_again(tmp_path, big_csv):
    expected = expected_qarn(big_csv)
    process = start_pool_on_copies(tmp_path, big_csv, 4)
    # The workers are forked by a server process, a child of the command.
    deadline = time.monotonic() + 30
    while not (workers := [w for child in _children(process.pid) for w in _children(child)]):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.05)
    os.kill(workers[0], signal.SIGKILL)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 0, stderr
    assert sorted(p.name for p in tmp_path.glob("*.qarn")) == [f"f{i}.qarn" for i in range(4)]
    assert all(path.read_bytes() == expected for path in tmp_path.glob("*.qarn"))
    assert leftovers(tmp_path) == []
