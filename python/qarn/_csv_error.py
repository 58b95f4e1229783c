"""CsvError: CSV that cannot be converted, with where it went wrong."""

from __future__ import annotations

import re

_PREFIXES = ("CSV header error: ", "CSV parse error: ")

# "CSV parse error: record 3 (line 4, field: 1, byte: 120): ...", or, for a
# byte that cannot be decoded in a line that holds no record,
# "CSV parse error: line 4 (byte: 125): ...".
_POSITION = re.compile(
    r"CSV parse error: (?:record (?P<record>\d+) \(line (?P<line>\d+), field: (?P<field>\d+), byte: (?P<byte>\d+)\)"
    r"|line (?P<lone_line>\d+) \(byte: (?P<lone_byte>\d+)\))"
)

_BYTE = re.compile(r"byte: (\d+)\)")


class CsvError(ValueError):
    """CSV that cannot be converted. The message is the converter's, as
    `_qarn.csv_to_qarn` gives it; the attributes tell where:

    stage: "header" (the header row, or lines before it) or "data";
    record: the record (the header row is record 0), or None when the fault
        lies in a line that is skipped;
    line: the line (1 + LF characters before the record, or before the
        fault when there is no record);
    field: the field (from 0) in the record, or None as for record;
    byte: the offset in the input (decompressed) where the record starts,
        or that of the fault when there is no record;
    detail: what is wrong there, the text after the position."""

    stage: str
    record: int | None
    line: int | None
    field: int | None
    byte: int | None
    detail: str | None

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.stage = "header" if message.startswith(_PREFIXES[0]) else "data"
        found = _POSITION.match(message, len(_PREFIXES[0] if self.stage == "header" else _PREFIXES[1]))
        groups = found.groupdict() if found else {}

        def number(name: str) -> int | None:
            text = groups.get(name)
            return None if text is None else int(text)

        self.record = number("record")
        self.field = number("field")
        self.line = number("line") if self.record is not None else number("lone_line")
        self.byte = number("byte") if self.record is not None else number("lone_byte")
        self.detail = message[found.end() :].removeprefix(": ") if found else None


def shifted(message: str, dropped: int) -> str:
    """A converter's message about input that lacked its first `dropped`
    bytes, with the byte offset in the whole input."""
    if not dropped:
        return message
    return _BYTE.sub(lambda found: f"byte: {int(found.group(1)) + dropped})", message, count=1)


def is_csv_error(message: str) -> bool:
    """Whether a converter's ValueError is about the CSV (not, say, an
    argument)."""
    return message.startswith(_PREFIXES)
