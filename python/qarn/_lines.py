"""Lines of text as the reader counts them: each ended by LF, CR or CR LF,
a line end at the very end starting no line of its own."""

from __future__ import annotations

from collections.abc import Buffer

_TAIL = 1 << 16  # bytes looked at from the end at a time


def length_without_last_lines(data: Buffer, count: int) -> int:
    """How long the data is without its last `count` lines: 0 when it has
    no more lines than that."""
    with memoryview(data) as view:
        return _length_without(view, count)


def _length_without(view: memoryview, count: int) -> int:
    end = len(view)
    if count <= 0 or end == 0:
        return end
    # The final line end ends the last line; it does not begin another.
    end -= _line_end_before(view, end)
    while count > 0 and end > 0:
        end = _line_start(view, end)
        count -= 1
        if end > 0 and count > 0:
            end -= _line_end_before(view, end)
    return end if count == 0 else 0


def _line_end_before(view: memoryview, end: int) -> int:
    """The length of the line end just before `end`: 2 for CR LF, 1 for LF
    or CR, 0 for none."""
    if end >= 2 and view[end - 2 : end] == b"\r\n":
        return 2
    return 1 if end >= 1 and view[end - 1] in b"\r\n" else 0


def _line_start(view: memoryview, end: int) -> int:
    """Where the line that ends at `end` begins (just after the line end
    before it, or 0); the returned offset keeps that line end."""
    while end > 0:
        start = max(0, end - _TAIL)
        chunk = bytes(view[start:end])
        found = max(chunk.rfind(b"\n"), chunk.rfind(b"\r"))
        if found >= 0:
            return start + found + 1
        end = start
    return 0

