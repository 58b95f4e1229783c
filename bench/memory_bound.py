"""Peak memory of one conversion against the bound we promise: input plus
twice the output plus 64 MiB. Also shows that what a conversion holds beyond
its input and output does not grow with the number of rows.

    python bench/memory_bound.py [--sizes 256MB,512MB,1GiB] [--dataset mixed] [--threads 2]

Each conversion runs in a fresh process that loads the CSV, resets the
kernel's peak-RSS mark, converts with default arguments and reads the peak.
With --threads, the conversion is qarn.convert on that many threads instead
of _qarn.csv_to_qarn.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402

MIB = 1 << 20

CHILD = r"""
import json, sys
import _qarn

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

threads = int(sys.argv[2])
if threads:
    import qarn
data = open(sys.argv[1], "rb").read()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak-RSS mark to the current RSS
before = status("VmRSS:")
out = qarn.convert(data, threads=threads) if threads else _qarn.csv_to_qarn(data)
print(json.dumps({"input": len(data), "output": len(out), "rss_before": before, "peak": status("VmHWM:")}))
"""


def measure(path: Path, threads: int) -> dict:
    command = [sys.executable, "-c", CHILD, str(path), str(threads)]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="256MB,512MB,1GiB")
    ap.add_argument("--dataset", default="mixed")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--threads", type=int, default=0, help="qarn.convert on this many threads")
    args = ap.parse_args()

    print(f"{'input':>10} {'output':>10} {'peak RSS':>10} {'bound':>10} {'over in+out':>12}  (MiB)")
    ok = True
    for size in args.sizes.split(","):
        path = datasets.cached_path(args.dataset, datasets.parse_size(size), args.seed)
        m = measure(path, args.threads)
        # Whatever the process held before the call (the interpreter and the
        # input) is in rss_before; the conversion adds the rest.
        baseline = m["rss_before"] - m["input"]
        peak = m["peak"] - baseline
        bound = m["input"] + 2 * m["output"] + 64 * MIB
        over = peak - m["input"] - m["output"]
        ok &= peak <= bound
        print(f"{m['input'] / MIB:10.0f} {m['output'] / MIB:10.0f} {peak / MIB:10.0f} {bound / MIB:10.0f} {over / MIB:12.1f}")
    print("within the bound" if ok else "OVER THE BOUND")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
