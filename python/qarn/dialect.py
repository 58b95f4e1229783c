"""How a CSV file is written: its structural characters, its encoding and
the lines before its table, as plain data that `qarn.convert` reads with."""

from __future__ import annotations

import codecs
import csv
import dataclasses
from dataclasses import dataclass
from typing import Any

# The characters that structure a record, in the order their conflicts are
# reported: one character each, distinct, never a line end.
_ROLES = ("delimiter", "quotechar", "escapechar", "comment")
_FLAGS = ("doublequote", "newlines_in_values", "header", "skipinitialspace")

# What null_values="default" stands for: the markers of missing values that
# spreadsheets, databases and data frames write. Not "nan" and its kin, which
# the double grammar reads as a value.
DEFAULT_NULL_VALUES = ("", "#N/A", "#N/A N/A", "#NA", "<NA>", "N/A", "NA", "NULL", "None", "n/a", "null")


@dataclass(frozen=True)
class Dialect:
    """A CSV dialect. The defaults read what `_qarn.csv_to_qarn` reads.

    delimiter: the one character between fields.
    quotechar: a field that starts with it is quoted up to the next one, and
        holds delimiters and line ends; None: no field is quoted.
    escapechar: makes the character after it content, in quotes or not;
        None: no escapes.
    doublequote: in a quoted field, a doubled quote is one quote; False: the
        first closes the field.
    newlines_in_values: a line end inside quotes is content; False: it ends
        the field and the record.
    encoding: any text encoding Python knows.
    header: the first record names the columns; False: they are named
        column_1, column_2, ... after the first record's fields.
    skip_rows: lines (LF, CR or CRLF) dropped before the table, whatever
        they hold.
    skip_footer: lines dropped from the end (footnotes, a second table);
        a line end at the very end starts no line of its own.
    comment: a line that starts with it where a record would start is
        skipped whole; None: no comments.
    null_values: texts that stand for a missing value: a field equal to one
        of them (once unquoted) is read as an empty field is. A list of
        texts, or "default" for DEFAULT_NULL_VALUES; kept as a tuple.
    skipinitialspace: spaces where a field begins are skipped (after the
        delimiter, or at a record's start), so that a quote after them
        opens a quoted field; a line of spaces alone is blank. With a
        space delimiter, runs of spaces separate fields.

    Creating one checks every field: a ValueError or TypeError names the
    field and what it may be."""

    delimiter: str = ","
    quotechar: str | None = '"'
    escapechar: str | None = None
    doublequote: bool = True
    newlines_in_values: bool = True
    encoding: str = "utf-8"
    header: bool = True
    skip_rows: int = 0
    skip_footer: int = 0
    comment: str | None = None
    null_values: tuple[str, ...] = ()
    skipinitialspace: bool = False

    def __post_init__(self) -> None:
        object.__setattr__(self, "null_values", _null_values(self.null_values))
        for role in _ROLES:
            _check_character(role, getattr(self, role), optional=role != "delimiter")
        used = [(role, getattr(self, role)) for role in _ROLES if getattr(self, role) is not None]
        for i, (role, char) in enumerate(used):
            for other, other_char in used[i + 1 :]:
                if char == other_char:
                    raise ValueError(f"{role} and {other} must differ, both are {char!r}")
        for flag in _FLAGS:
            if not isinstance(getattr(self, flag), bool):
                raise TypeError(f"{flag} must be True or False, not {type(getattr(self, flag)).__name__}")
        for count in ("skip_rows", "skip_footer"):
            value = getattr(self, count)
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"{count} must be an int, not {type(value).__name__}")
            if not 0 <= value < 2**64:
                raise ValueError(f"{count} must be 0 or more and below 2**64, not {value}")
        check_encoding(self.encoding)

    @classmethod
    def from_csv(cls, dialect: Any) -> Dialect:
        """The dialect of Python's `csv` module (a `csv.Dialect` class, such
        as `csv.excel_tab` or what `csv.Sniffer().sniff` returns, an
        instance, or a registered name such as "excel-tab") as a
        `qarn.Dialect`: its delimiter, quotechar (None for QUOTE_NONE),
        escapechar, doublequote and skipinitialspace; its lineterminator is
        ignored, as `csv.reader` ignores it."""
        if isinstance(dialect, str):
            if dialect not in csv.list_dialects():
                raise ValueError(f"{dialect!r} is not a dialect of the csv module (those are {csv.list_dialects()})")
            dialect = csv.get_dialect(dialect)
        elif not is_csv_dialect(dialect):
            raise TypeError(f"expected a dialect of the csv module, not {type(dialect).__name__}")
        quoting = dialect.quoting == csv.QUOTE_NONE or dialect.quotechar is None
        return cls(delimiter=dialect.delimiter, quotechar=None if quoting else dialect.quotechar,
                   escapechar=dialect.escapechar, doublequote=bool(dialect.doublequote),
                   skipinitialspace=bool(dialect.skipinitialspace))

    def __repr__(self) -> str:
        changed = [
            f"{field.name}={getattr(self, field.name)!r}"
            for field in dataclasses.fields(self)
            if getattr(self, field.name) != field.default
        ]
        return f"qarn.Dialect({', '.join(changed)})"


def is_csv_dialect(dialect: object) -> bool:
    """Whether `dialect` is a dialect of Python's csv module: a subclass or
    an instance of `csv.Dialect`, or what `csv.get_dialect` returns."""
    if isinstance(dialect, type):
        return issubclass(dialect, csv.Dialect)
    return isinstance(dialect, (csv.Dialect, type(csv.get_dialect("excel"))))


def _null_values(texts: object) -> tuple[str, ...]:
    if texts is None:
        return ()
    if texts == "default":
        return DEFAULT_NULL_VALUES
    if isinstance(texts, (str, bytes)) or not hasattr(texts, "__iter__"):
        raise TypeError(f'null_values must be a list of strings, "default" or None, not {texts!r}')
    result = tuple(texts)
    for text in result:
        if not isinstance(text, str):
            raise TypeError(f"null_values must be strings, not {type(text).__name__}")
    return result


def _check_character(role: str, char: object, optional: bool) -> None:
    allowed = "a one-character string or None" if optional else "a one-character string"
    if char is None and optional:
        return
    if not isinstance(char, str):
        raise TypeError(f"{role} must be {allowed}, not {type(char).__name__}")
    if len(char) != 1:
        raise ValueError(f"{role} must be a single character, not {char!r} ({len(char)} characters)")
    if char in "\r\n":
        raise ValueError(f"{role} cannot be a line end, got {char!r}")
    if not char.isascii():
        raise ValueError(f"{role} must be an ASCII character, not {char!r}")


def check_encoding(encoding: object) -> codecs.CodecInfo:
    """The codec of a text encoding; a ValueError for one Python lacks."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a string, not {type(encoding).__name__}")
    try:
        info = codecs.lookup(encoding)
    except LookupError:
        raise ValueError(f"encoding {encoding!r} is unknown") from None
    if not getattr(info, "_is_text_encoding", True):  # base64, zlib, rot13, ...
        raise ValueError(f"encoding {encoding!r} is not a text encoding")
    return info
