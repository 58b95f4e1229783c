"""Checks a source distribution: one top folder NAME-VERSION, the files a
build and the tests need, and nothing a build, a test run, a benchmark or a
fuzzer leaves in a working tree. In a git checkout it must hold exactly the
files git tracks (less CI's own), and PKG-INFO.

Usage: python scripts/check_sdist.py dist/qarn-0.1.0.tar.gz
"""

from __future__ import annotations

import fnmatch
import subprocess
import sys
import tarfile
from pathlib import Path, PurePosixPath

REQUIRED = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
            "src/binding/qarn_entry.cpp", "src/binding/native_entry.cpp", "src/binding/_qarn.pyi",
            "src/binding/qarn_exports.map",
            "python/qarn/__init__.py", "python/qarn/py.typed", "python/qarn/_native.pyi",
            "tests/conftest.py", "tests/cpp"]
# Left behind by builds, test runs, benchmarks and fuzzers.
FORBIDDEN_DIRS = ["build", "dist", ".venv", ".git", ".ci", "__pycache__", ".pytest_cache", ".hypothesis",
                  "bench/results", "bench/data", "fuzz/build", "fuzz/artifacts", "_skbuild"]
FORBIDDEN_NAMES = ["*.so", "*.o", "*.a", "*.pyc", "*.whl", "*.tar.gz", "*.egg-info",
                   "crash-*", "leak-*", "timeout-*", "oom-*", "slow-unit-*"]
NOT_SHIPPED = [".ci/"]  # tracked, but only for CI


def problems(sdist: Path, checkout: Path | None) -> list[str]:
    found: list[str] = []
    with tarfile.open(sdist) as archive:
        members = [m for m in archive.getmembers() if not m.isdir()]
    stem = sdist.name.removesuffix(".tar.gz")
    names = set()
    for member in members:
        path = PurePosixPath(member.name)
        if path.parts[0] != stem or len(path.parts) < 2:
            found.append(f"{member.name}: not under {stem}/")
            continue
        if not (member.isfile() or member.issym()):
            found.append(f"{member.name}: neither a file nor a link")
        names.add(PurePosixPath(*path.parts[1:]).as_posix())
    for required in REQUIRED:
        if required not in names and not any(n.startswith(required + "/") for n in names):
            found.append(f"{required}: missing")
    for name in sorted(names):
        parts = PurePosixPath(name).parts
        for forbidden in FORBIDDEN_DIRS:
            depth = forbidden.count("/") + 1
            if any("/".join(parts[i:i + depth]) == forbidden for i in range(len(parts) - depth)):
                found.append(f"{name}: under {forbidden}/")
        if any(fnmatch.fnmatch(parts[-1], pattern) for pattern in FORBIDDEN_NAMES):
            found.append(f"{name}: a build or run output")
    if checkout is not None:
        tracked = set(subprocess.run(["git", "-C", str(checkout), "ls-files", "-z"], capture_output=True,
                                     check=True).stdout.decode().split("\0")) - {""}
        tracked = {t for t in tracked if not any(t.startswith(p) for p in NOT_SHIPPED)}
        found += [f"{name}: tracked by git, missing from the sdist" for name in sorted(tracked - names)]
        found += [f"{name}: in the sdist, not tracked by git" for name in sorted(names - tracked - {"PKG-INFO"})]
    return found


def main() -> int:
    sdist = Path(sys.argv[1])
    root = Path(__file__).resolve().parent.parent
    inside_git = subprocess.run(["git", "-C", str(root), "rev-parse", "--is-inside-work-tree"],
                                capture_output=True).returncode == 0
    found = problems(sdist, root if inside_git else None)
    for problem in found:
        print(f"{sdist.name}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
