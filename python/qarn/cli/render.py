"""Text for people: sizes, rates and aligned tables."""

from __future__ import annotations

import csv
import io
from collections.abc import Buffer, Sequence

from .._text import plural

__all__ = ["aligned", "how_to_keep", "parse_csv", "percent", "plural", "rate", "size"]

_UNITS = ("kB", "MB", "GB", "TB")
MAX_CELL = 40  # characters of a cell shown in an aligned table


def size(count: int) -> str:
    """Bytes in decimal units, three significant digits: 950 B, 2.87 kB, 5.24 MB."""
    if count < 1000:
        return f"{count} B"
    value = float(count)
    for unit in _UNITS:
        value /= 1000
        if value < 999.5 or unit == _UNITS[-1]:
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    raise AssertionError("unreachable")


def rate(mb_per_second: float) -> str:
    return f"{mb_per_second:.1f} MB/s" if mb_per_second < 100 else f"{mb_per_second:.0f} MB/s"


def percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def _shown(cell: str) -> str:
    """One line of at most MAX_CELL characters: line breaks and other
    control characters escaped, the rest cut with an ellipsis."""
    text = "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in cell)
    return text if len(text) <= MAX_CELL else text[: MAX_CELL - 1] + "…"


def aligned(header: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool] = ()) -> str:
    """Columns padded to their widest cell, a rule under the header;
    `right[i]` aligns column i to the right (numbers). No columns, no text."""
    if not header:
        return ""
    header = [_shown(cell) for cell in header]
    body = [[_shown(cell) for cell in row] for row in rows]
    widths = [max([len(header[i])] + [len(row[i]) for row in body]) for i in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        padded = []
        for i, cell in enumerate(cells):
            padded.append(cell.rjust(widths[i]) if i < len(right) and right[i] else cell.ljust(widths[i]))
        return "  ".join(padded).rstrip()

    rule = "  ".join("-" * width for width in widths)
    return "\n".join([line(header), rule] + [line(row) for row in body])


def parse_csv(text: Buffer) -> tuple[list[str], list[list[str]]]:
    """The header and the records of CSV text as the package writes it."""
    records = list(csv.reader(io.StringIO(bytes(text).decode("utf-8", errors="replace"), newline="")))
    if not records:
        return [], []
    header = records[0]
    # A record of one empty field is written as "" and reads back as such;
    # padding only guards against a short record.
    return header, [row + [""] * (len(header) - len(row)) for row in records[1:]]


def how_to_keep(listed: str, misfits: int) -> str:
    """The line under a summary that lost cells: where they are listed, or
    how to list them, and how to keep misfits."""
    ways = [listed]
    if misfits:
        ways.append("--column-types COLUMN=string or --sample-rows all keeps misfits")
    return "  lost: " + "; ".join(ways)
