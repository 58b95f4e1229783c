"""Outputs that cannot be written: a read-only folder and a full disk. The
file systems are made in a private mount namespace (root only), so nothing
outside the test sees them."""

import os
import subprocess

import pytest

from cli_support import QARN, make_csv, not_when_sanitized, run_qarn, write_csv

pytestmark = not_when_sanitized


@pytest.fixture(scope="module")
def private_mounts():
    if os.geteuid() != 0 or subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs root and unshare for a private mount namespace")

    def run(cwd, mounts: str, command: str, listing: str) -> tuple[subprocess.CompletedProcess, list[str]]:
        """Runs `command` with `mounts` in place; returns it and the names
        then in the folder `listing` (hidden ones too)."""
        script = f"{mounts}\n({command}) 2>&1 && status=0 || status=$?\nls -A {listing}\nexit $status"
        result = subprocess.run(["unshare", "--mount", "sh", "-ec", script], cwd=cwd, capture_output=True, text=True)
        lines = [line for line in result.stdout.splitlines() if " converted, " not in line]
        messages = [line for line in lines if line.startswith("qarn: ")]
        result.stdout = "\n".join(messages)
        return result, [line for line in lines if not line.startswith("qarn: ")]

    return run


def read_only(folder: str) -> str:
    return f"mount --bind {folder} {folder} && mount -o remount,ro,bind {folder} {folder}"


def test_a_read_only_output_folder_fails_each_file_with_one_line(tmp_path, private_mounts):
    for name in ("a.csv", "b.csv"):
        write_csv(tmp_path, name, 20)
    (tmp_path / "ro").mkdir()
    run_qarn("convert", "a.csv", "-o", "x.qarn", cwd=tmp_path, check_status=0)
    command = f"{QARN} convert a.csv b.csv --out-dir ro --jobs 1; {QARN} to-csv x.qarn -o ro/x.csv"
    result, names = private_mounts(tmp_path, read_only("ro"), command, "ro")
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        "qarn: ro/a.qarn: Read-only file system",
        "qarn: ro/b.qarn: Read-only file system",
        "qarn: ro/x.csv: Read-only file system",
    ]
    assert names == [] and "Traceback" not in result.stderr


def test_a_full_disk_leaves_no_partial_file_and_says_so(tmp_path, private_mounts):
    (tmp_path / "big.csv").write_bytes(make_csv(20_000))  # about 900 kB of output
    full = tmp_path / "full"
    full.mkdir()
    mounts = f"mount -t tmpfs -o size=256k tmpfs {full} && printf old > {full}/big.qarn"
    command = f"{QARN} convert big.csv --out-dir full; cat full/big.qarn; echo"
    result, names = private_mounts(tmp_path, mounts, command, "full")
    assert result.stdout == "qarn: full/big.qarn: No space left on device; nothing was written"
    assert names == ["old", "big.qarn"]  # the file that was there, unchanged, and nothing else


def test_the_output_folder_is_made_when_missing_and_its_failure_reported(tmp_path, private_mounts):
    write_csv(tmp_path, "a.csv", 5)
    (tmp_path / "ro").mkdir()
    command = f"{QARN} convert a.csv --out-dir ro/new/deeper"
    result, names = private_mounts(tmp_path, read_only("ro"), command, "ro")
    assert result.stdout == "qarn: ro/new/deeper/a.qarn: Read-only file system"
    assert names == []
