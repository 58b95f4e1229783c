"""Conversions on a real dask.distributed cluster: a local scheduler and two
worker processes, one of which is killed in the middle of a task."""

import io
import os
import signal
import sys
import threading

import pytest

import qarn
from cli_support import expected_qarn, make_csv, run_qarn, write_csv

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")
import qarn.dask  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import tests/


class KillOnce(distributed.WorkerPlugin):
    """Kills its worker process shortly after a task whose key names
    `victim` starts, the first time on any worker (a marker file says so)."""

    def __init__(self, victim: str, marker: str) -> None:
        self.victim, self.marker = victim, marker

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or self.victim not in str(key):
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return
        threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGKILL)).start()


class PanicOn(distributed.WorkerPlugin):
    """Makes the native conversion on its workers fail with a broken
    invariant for an input that holds the word "panic"."""

    def setup(self, worker):
        from qarn import _native

        self.original = original = _native.convert

        def convert(source, *args, **options):
            if callable(source):  # a stream's readinto: read whole here, and again from a copy
                text, block = bytearray(), bytearray(1 << 16)
                while count := source(memoryview(block)):
                    text += block[:count]
                source = io.BytesIO(bytes(text)).readinto
            else:
                text = bytes(memoryview(source))
            if b"panic" in text:
                raise qarn.PanicException("broken invariant")
            return original(source, *args, **options)

        _native.convert = convert

    def teardown(self, worker):
        from qarn import _native

        _native.convert = self.original


def test_one_report_per_file_in_order_with_failures(tmp_path, client):
    good = [write_csv(tmp_path, f"g{i}.csv", 100 * (i + 1), seed=i) for i in range(4)]
    (tmp_path / "bad.csv").write_bytes(b"a\n\xff\n")
    paths = [good[0], tmp_path / "bad.csv", *good[1:], tmp_path / "missing.csv"]
    reports = qarn.dask.convert_many(paths, tmp_path / "out", client=client, chunk_size=50)
    assert [report.path for report in reports] == [str(path) for path in paths]
    for path, report in zip(good, [reports[0], *reports[2:5]]):
        output = tmp_path / "out" / path.with_suffix(".qarn").name
        assert report.error is None and report.output == str(output)
        assert output.read_bytes() == expected_qarn(path, chunk_size=50)
        assert (report.rows, report.bytes) == (qarn.summarize(output).num_rows, output.stat().st_size)
    with pytest.raises(ValueError) as bad:
        qarn.convert(b"a\n\xff\n")
    assert reports[1].error == str(bad.value) and reports[1].rows is None
    assert reports[5].error == "No such file or directory"
    assert sorted(os.listdir(tmp_path / "out")) == [f"g{i}.qarn" for i in range(4)]
    twin = tmp_path / "g0.txt"
    with pytest.raises(ValueError, match=f"^{good[0]} and {twin} would both be written to {tmp_path}/o/g0.qarn$"):
        qarn.dask.convert_many([good[0], twin], tmp_path / "o", client=client)
    (tmp_path / "sub").mkdir()
    same_name = write_csv(tmp_path / "sub", "g0.csv", 5)
    reports = qarn.dask.convert_many([good[0], same_name], tmp_path / "both", client=client)
    assert [report.output for report in reports] == [f"{tmp_path}/both/g0.qarn", f"{tmp_path}/both/sub/g0.qarn"]
    assert (tmp_path / "both/sub/g0.qarn").read_bytes() == expected_qarn(same_name)


def test_a_worker_that_dies_mid_task_has_the_task_run_again(tmp_path, client):
    header, body = make_csv(20_000).split(b"\n", 1)
    victim = tmp_path / "victim.csv"
    victim.write_bytes(header + b"\n" + body * 30)  # a task that runs for a while
    others = [write_csv(tmp_path, f"o{i}.csv", 500, seed=i) for i in range(4)]
    marker = tmp_path / "killed"
    workers_before = set(client.scheduler_info()["workers"])
    client.register_plugin(KillOnce("victim.csv", str(marker)), name="kill-once")
    try:
        reports = qarn.dask.convert_many([victim, *others], tmp_path / "out", client=client)
    finally:
        client.unregister_worker_plugin("kill-once")
    client.wait_for_workers(2, timeout=60)
    assert marker.exists() and set(client.scheduler_info()["workers"]) != workers_before  # one was replaced
    assert [report.error for report in reports] == [None] * 5
    for path in [victim, *others]:
        assert (tmp_path / "out" / path.with_suffix(".qarn").name).read_bytes() == expected_qarn(path)
    # What the killed worker was writing is at most a hidden temporary file.
    assert {name for name in os.listdir(tmp_path / "out") if not name.startswith(".")} == {
        path.with_suffix(".qarn").name for path in [victim, *others]
    }


def test_the_command_line_on_a_scheduler(tmp_path, client):
    write_csv(tmp_path, "a.csv", 30)
    (tmp_path / "b.csv").write_bytes(b"x\n\xc3\n")
    address = client.scheduler.address
    result = run_qarn("convert", "--scheduler", address, "a.csv", "b.csv", "--out-dir", "out", cwd=tmp_path)
    assert result.returncode == 1
    lines = sorted(result.stderr.splitlines()[:2], key=lambda line: line.startswith("qarn: "))
    assert lines[0].startswith(f"{tmp_path}/a.csv -> {tmp_path}/out/a.qarn: 30 rows, 5 columns, ")
    assert lines[1].startswith(f"qarn: {tmp_path}/b.csv: record ")
    assert (tmp_path / "out" / "a.qarn").read_bytes() == expected_qarn(tmp_path / "a.csv")
    quick = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"}
    unreachable = run_qarn("convert", "--scheduler", "tcp://127.0.0.1:9", "a.csv", cwd=tmp_path, env=quick)
    assert unreachable.returncode == 1
    assert unreachable.stderr.startswith("qarn: tcp://127.0.0.1:9: ") and len(unreachable.stderr.splitlines()) == 1


def test_a_panic_on_a_worker_fails_that_file_only(tmp_path, client):
    good = write_csv(tmp_path, "good.csv", 40)
    (tmp_path / "bad.csv").write_bytes(b"panic\n1\n")
    client.register_plugin(PanicOn(), name="panic-on")
    try:
        reports = qarn.dask.convert_many([tmp_path / "bad.csv", good], tmp_path / "out", client=client)
    finally:
        client.unregister_worker_plugin("panic-on")
    assert reports[0].error == "internal error: broken invariant (a bug in qarn; please report it)"
    assert reports[0].error_path == str(tmp_path / "bad.csv") and reports[1].error is None
    assert os.listdir(tmp_path / "out") == ["good.qarn"]
