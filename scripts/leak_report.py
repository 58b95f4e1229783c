"""Reads AddressSanitizer logs and fails on any leak allocated by the module.

The interpreter itself leaves memory allocated at exit (interned strings,
static types); those leaks are ignored. A leak counts as the module's when a
frame of its allocation stack is in the module: in its sources, or in the
library when a frame has no source line.

Usage: python scripts/leak_report.py LOG_PREFIX
"""

import glob
import os
import re
import sys

SOURCES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src") + os.sep


def leaks(text: str):
    """(header line, stack lines) of each leak in one log."""
    for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if block.startswith(("Direct leak", "Indirect leak")):
            lines = block.splitlines()
            yield lines[0], [line for line in lines[1:] if line.strip().startswith("#")]


def main() -> int:
    prefix = sys.argv[1]
    ours, errors = [], []
    for path in sorted(glob.glob(prefix + ".*")):
        text = open(path, encoding="utf-8", errors="replace").read()
        if re.search(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)", text) or "runtime error:" in text:
            errors.append(path)
        for header, stack in leaks(text):
            if any(SOURCES in frame or "_qarn.cpython" in frame or "_native.cpython" in frame for frame in stack):
                ours.append((path, header, stack))
    for path, header, stack in ours:
        print(f"{path}: {header}")
        print("\n".join(stack[:12]))
    for path in errors:
        print(f"{path}: sanitizer error")
        print(open(path, encoding="utf-8", errors="replace").read()[:4000])
    if ours or errors:
        return 1
    print(f"sanitizers: no error, no leak from the module ({len(glob.glob(prefix + '.*'))} logs read)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
