"""CSV text in encodings other than UTF-8: the native writer writes UTF-8,
and the text is encoded again here when another encoding is asked for."""

from __future__ import annotations

from collections.abc import Buffer
from typing import TYPE_CHECKING

from .dialect import check_encoding

if TYPE_CHECKING:
    from .table import Table


def other_encoding(encoding: str) -> str | None:
    """The codec's name when it is not UTF-8 (whose text is the writer's
    own), else None. ValueError for an unknown codec or one that does not
    encode text, as when reading; TypeError for a name that is not a string."""
    name = check_encoding(encoding).name
    return None if name == "utf-8" else name


def encode(text: Buffer, encoding: str, table: Table, header: bool) -> bytes:
    """The writer's UTF-8 text in `encoding`; ValueError naming the cell of
    the first character the encoding has no bytes for."""
    decoded = bytes(text).decode("utf-8")
    try:
        return decoded.encode(encoding)
    except UnicodeEncodeError as error:
        character = error.object[error.start]
        where = _first_cell_holding(character, table, header)
        raise ValueError(
            f"the {encoding} encoding cannot encode {character!r} (U+{ord(character):04X}){where}"
        ) from error


def _first_cell_holding(character: str, table: Table, header: bool) -> str:
    """Where the text first holds the character, as words to end a message.
    Cells come in the text's order, so that is the cell the encoder met."""
    if header:
        for position, name in enumerate(table.column_names):
            if character in name:
                return f" in the name of column {position} ({name!r})"
    found: tuple[int, int] | None = None
    for position, column in enumerate(table):
        if column.type != "string":
            continue  # numbers, words and hexadecimal digits are ASCII
        invalid = column.invalid
        row = next((r for r, value in enumerate(column.values) if character in value and not invalid[r]), None)
        if row is not None and (found is None or row < found[0]):
            found = (row, position)
    if found is None:
        return ""
    row, position = found
    return f" in row {row} of column {position} ({table.column_names[position]!r})"
