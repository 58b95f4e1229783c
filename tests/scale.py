"""How many examples a property test draws: its full count, or a share of it
under the sanitizers, whose builds run many times slower
(QARN_TEST_SCALE=0.25 draws a quarter; at least ten are always drawn)."""

import os


def examples(full: int) -> int:
    scale = min(1.0, max(0.0, float(os.environ.get("QARN_TEST_SCALE", "1"))))
    return max(10, int(full * scale))
