"""Guessing where the table of a sample lies once its dialect is known: the
lines before it, whether its first row names the columns (its fields are
text where the rest of a column holds values of a type), comment lines,
the lines after it (footnotes, a second table) and the markers of missing
values it uses."""

from __future__ import annotations

import bisect
import functools
import itertools
import re
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass

from ._lines import lines_before
from ._sniff_cells import MISSING, NULL_MARKERS, TYPED, Cell, classify
from .dialect import DEFAULT_NULL_VALUES

Record = tuple[int, list[str]]  # where it starts in the text, its fields
# What a column's values have in common: a type, a shape of text (see
# `shape`), or nothing.
Kind = str | None

_TYPED_SHARE = 0.6  # of a column's values, for the column to be of a type
_HEADER_ROWS = 3  # header rows at most, the last of which names the columns
_SHAPE_SHARE = 0.8  # of a column's values, for the column to have a shape of text
_HEADER_CHECK_ROWS = 20  # rows under a block's first that tell whether it is a header
_KIND_CELLS = 600  # fields that column types are told from, at least 10 rows
COMMENT = "#"


@dataclass(frozen=True)
class Table:
    columns: int
    first: int  # the index of the table's first record (its header row, if any)
    end: int  # the index after its last record: those after it are footnotes
    header: bool
    header_certain: bool  # whether types told, rather than a default
    consistency: float  # the share of the table's records with `columns` fields
    null_values: tuple[str, ...]
    text_values: frozenset[str]  # markers of missing values that are text here
    column_kinds: tuple[Kind, ...]  # what each column's values have in common


def find_table(records: Sequence[Record], text: bytes) -> Table:
    """The table among the records of `text`, a sample's start. Blank lines
    split the records into blocks: the table is the first block that looks
    like one, with the blocks around it that continue it (not after a
    header row, not starting with one)."""
    if not records:
        return Table(1, 0, 0, True, False, 1.0, (), frozenset(), ())
    counts = [len(fields) for _, fields in records]
    blocks = _blocks(records, text)
    main, columns = _first_table(records, counts, blocks)
    kinds = _column_kinds(records, counts, blocks[main], columns)
    begin, end = _continued(records, counts, blocks, main, columns, kinds)
    first, header, certain = _header(records, counts, begin, end, columns, kinds)
    end = _without_notes(records, counts, first + header, end, columns, kinds)
    body = [fields for _, fields in records[first + header : end]]
    consistency = sum(len(fields) == columns for fields in body) / len(body) if body else 1.0
    null_values, text_values = _null_markers(body, kinds)
    return Table(columns, first, end, header, certain, consistency, null_values, text_values, kinds)


def _usual_count(counts: list[int]) -> int:
    """The most common record length; of equally common ones, the longest.
    Lines of one field (titles, notes) count for half: a table of several
    columns among them is the table."""
    tally = Counter(counts)
    return max(tally, key=lambda count: (tally[count] / (2 if count == 1 else 1), count))


def _first_table(records: Sequence[Record], counts: list[int], blocks: list[range]) -> tuple[int, int]:
    """The block that holds the table, and its number of columns: of the
    blocks that look like tables (two or more records of one length above
    one, making up most of the block), the first that starts with a header
    row, else the one with the most such records."""
    tables = []
    for b, block in enumerate(blocks):
        lengths = [counts[i] for i in block]
        columns = _usual_count(lengths)
        alike = lengths.count(columns)
        if columns >= 2 and alike >= 2 and 3 * alike >= 2 * len(block):
            tables.append((b, columns, alike))
    for b, columns, alike in tables if len(tables) > 1 else ():
        kinds = _column_kinds(records, counts, blocks[b][1 : 1 + _HEADER_CHECK_ROWS], columns, skip_header=False)
        if counts[blocks[b][0]] == columns and _header_leaning(records[blocks[b][0]][1], kinds) > 0:
            return b, columns
    if tables:
        b, columns, _ = max(tables, key=lambda table: (table[2], -table[0]))
        return b, columns
    columns = _usual_count(counts)
    return max(range(len(blocks)), key=lambda b: (_usual_in(counts, blocks[b], columns), -b)), columns


# A line end (a CR LF is one, never a CR and then an LF), then lines of
# nothing but spaces and tabs.
_LINE_END = rb"(?:\r\n|\r(?!\n)|\n)"
_BLANK_LINES = re.compile(_LINE_END + rb"(?:[ \t]*" + _LINE_END + rb")+")


def _blocks(records: Sequence[Record], text: bytes) -> list[range]:
    """The records in runs without a blank line between them."""
    starts = [start for start, _ in records]
    end = starts[-1] + 1 if starts else 0
    if starts and lines_before(text, starts[-1]) == len(starts) - 1:
        return [range(len(starts))]  # a record on every line: no blank one
    cuts = sorted({bisect.bisect_left(starts, blank.end()) for blank in _BLANK_LINES.finditer(text, 0, end)} - {0})
    bounds = [0, *cuts, len(records)]
    return [range(a, b) for a, b in zip(bounds, bounds[1:])]


def _usual_in(counts: list[int], block: range, columns: int) -> int:
    return sum(counts[i] == columns for i in block)


def _continued(records: Sequence[Record], counts: list[int], blocks: list[range], main: int, columns: int,
               kinds: Sequence[Kind]) -> tuple[int, int]:
    """The records of the main block and of the blocks around it that go
    on with the table: mostly of its length, with no header row between."""
    def goes_on(block: range) -> bool:
        return 2 * _usual_in(counts, block, columns) >= len(block) and not _header_like(records[block[0]][1], kinds)

    first = main
    while first > 0 and goes_on(blocks[first]) and goes_on(blocks[first - 1]) and len(blocks[first - 1]) > 1:
        first -= 1
    if first > 0 and len(blocks[first - 1]) == 1 and _header_like(records[blocks[first - 1][0]][1], kinds):
        first -= 1  # a header row, then a blank line
    last = main
    while last + 1 < len(blocks) and goes_on(blocks[last + 1]):
        last += 1
    return blocks[first][0], blocks[last][-1] + 1


def _run_start(counts: list[int], columns: int, begin: int, end: int) -> int:
    """The first record of usual length that the next ones mostly follow."""
    for i in range(begin, end):
        if counts[i] != columns:
            continue
        following = counts[i + 1 : min(i + 4, end)]
        if sum(c == columns for c in following) * 3 >= 2 * len(following):
            return i
    return begin


def _column_kinds(records: Sequence[Record], counts: list[int], block: range, columns: int,
                  skip_header: bool = True) -> tuple[Kind, ...]:
    """Each column's type, from the records of usual length in a block
    after the few that may be header rows (none when `skip_header` is
    false): a type most of its values have."""
    rows = [records[i][1] for i in block if counts[i] == columns][: max(10, _KIND_CELLS // columns) + _HEADER_ROWS]
    if not rows:
        return (None,) * columns
    return tuple(_column_kind(list(values), skip_header) for values in zip(*rows))


def _column_kind(fields: list[str], skip_header: bool = True) -> Kind:
    """What most of a column's values have in common, below the first one
    to three fields (which may be header rows): a type, or a distinctive
    shape of text (one with digits or signs, unlike the words that name
    columns)."""
    cells = list(map(classify, fields))
    skips = range(1, min(_HEADER_ROWS, len(cells) - 1) + 1) if skip_header else range(1)
    for skip in skips:
        tally = Counter(cells[skip:])
        present = len(cells) - skip - tally.pop(Cell.EMPTY, 0) - tally.pop(Cell.NULL, 0)
        texts = tally.pop(Cell.TEXT, 0)
        numbers = tally.pop(Cell.NUMBER, 0) + tally.pop(Cell.DECIMAL, 0)
        typed = max(tally, key=tally.__getitem__, default=None)
        if numbers >= _TYPED_SHARE * present and numbers > tally.get(typed, 0):
            return _number_kind(cells[skip:], numbers)
        if typed is not None and tally[typed] >= _TYPED_SHARE * present:
            return typed
        if texts < _SHAPE_SHARE * present or present < 2:
            continue
        shapes = Counter(shape(field) for field, cell in zip(fields[skip:], cells[skip:]) if cell == Cell.TEXT)
        common, times = shapes.most_common(1)[0]
        if times >= _SHAPE_SHARE * present and common.strip("Aa _"):
            return common
    return None


def _number_kind(cells: list[str], numbers: int) -> str:
    """Whole numbers or decimals, as nearly all of a column's numbers are;
    decimals when they are mixed."""
    whole = cells.count(Cell.NUMBER)
    return Cell.NUMBER if whole >= _SHAPE_SHARE * numbers else Cell.DECIMAL


def _without_notes(records: Sequence[Record], counts: list[int], begin: int, end: int, columns: int,
                   kinds: Sequence[Kind]) -> int:
    """The end of the table without the records at its end that are unlike
    its rows: notes of another length, or text where values belong."""
    while end > begin and _unlike_row(records[end - 1][1], counts[end - 1], columns, kinds):
        end -= 1
    # A second table right below, without a blank line: a header row of
    # another length, and rows of its length to the end.
    other = end
    while other > begin + 1 and counts[other - 1] == counts[end - 1] != columns:
        other -= 1
    if other < end and end - other >= 2 and _header_like(records[other][1], kinds):
        return other
    return end


def _unlike_row(fields: list[str], count: int, columns: int, kinds: Sequence[Kind]) -> bool:
    """A note rather than a row: one field under a table of several, or
    fewer than the table's fields (but one) with text where it holds values
    of a type. Rows of more fields, and rows with values, stay."""
    if count >= columns or columns == 1:
        return False
    if count == 1:
        return True
    return count < columns - 1 and _header_like(fields, kinds) and not _fits(fields, kinds)


def _header_like(fields: list[str], kinds: Sequence[Kind]) -> bool:
    """Text where a column holds values of a type."""
    return any(kind in TYPED and classify(field) == Cell.TEXT for field, kind in zip(fields, kinds))


def _fits(fields: list[str], kinds: Sequence[Kind]) -> bool:
    """Every field of a typed column is such a value or missing."""
    return all(kind not in TYPED or classify(field) in TYPED | MISSING for field, kind in zip(fields, kinds))


def _header_leaning(fields: list[str], kinds: Sequence[Kind]) -> int:
    """The fields unlike their column's values (a type, or a shape of text)
    less the fields like them: above 0, the row reads as a header; below,
    as data."""
    unlike, like = _votes(fields, kinds)
    return unlike - like


def _votes(fields: list[str], kinds: Sequence[Kind]) -> tuple[int, int]:
    """How much the fields are unlike their column's values, and how much
    like them. A type counts twice what a shape of text does: a number in
    a column of numbers says more than a word over codes."""
    unlike = like = 0
    for field, kind in zip(fields, kinds):
        cell = classify(field)
        if kind is None or cell in MISSING:
            continue
        if kind in TYPED:
            # A value of another type (a year naming a column of rates)
            # tells nothing.
            unlike += 2 * (cell == Cell.TEXT)
            like += 2 * (cell == kind)
        elif cell == Cell.TEXT and shape(field) == kind:
            like += 1
        else:
            unlike += 1
    return unlike, like


def _header(records: Sequence[Record], counts: list[int], begin: int, end: int, columns: int,
            kinds: Sequence[Kind]) -> tuple[int, bool, bool]:
    """The first record of the table, whether it is a header row, and
    whether the values below it told. The data begins at the first row
    that reads as data, and with the rows of its length just above it that
    do not read as a header; the row above those is the header row when it
    reads as one (rows above it are a title, notes or more header rows)."""
    def lean(i: int) -> int:
        return _header_leaning(records[i][1], kinds)

    def near_length(i: int) -> bool:
        return counts[i] >= min(2, columns) and abs(counts[i] - columns) <= 1

    data = next((i for i in range(begin, end) if counts[i] == columns and lean(i) < 0), None)
    if data is None:
        start = _run_start(counts, columns, begin, end)
        if len(records) == 1:
            return start, not any(classify(f) in TYPED for f in records[start][1]), False
        return _over_group_row(records, counts, start, end), True, False
    first = data
    # Rows of data with missing values, or (leaning clearly) a field too
    # many or too few; a first row that tells nothing is left to be the
    # header, as most first rows are.
    while first > begin and near_length(first - 1) and (
            lean(first - 1) < 0 or (lean(first - 1) == 0 and counts[first - 1] == columns and first - 1 > begin)):
        first -= 1
    above = first - 1
    if above < begin or not near_length(above) or lean(above) < 0:
        return first, False, True
    if lean(above) == 0 and (above > begin or _votes(records[above][1], kinds)[1] > 0):
        return (above if counts[above] == columns else first), False, True  # more data
    # Of two header rows, the one that reads more as a header: the row above
    # names groups of columns, or the row below is data that does not fit.
    if above - 1 >= begin and near_length(above - 1) and lean(above - 1) > lean(above):
        above -= 1
    if counts[above] < columns:
        # A header without a name for every column would drop the last
        # one's values: the columns go by number.
        return above + 1, False, True
    return above, True, lean(above) > 0


def _names_groups(records: Sequence[Record], i: int) -> bool:
    """A row over the header that names groups of columns: at most half of
    its fields filled, all with text, above a row whose fields are all
    filled."""
    filled = [f for f in records[i][1] if f.strip()]
    return (i + 1 < len(records) and 0 < 2 * len(filled) <= len(records[i][1])
            and all(classify(f) == Cell.TEXT for f in filled) and all(f.strip() for f in records[i + 1][1]))


def _over_group_row(records: Sequence[Record], counts: list[int], start: int, end: int) -> int:
    """The header row when nothing tells it from data: the first row, or
    the one below it when the first names groups of columns."""
    if start + 2 < end and counts[start] == counts[start + 1] and _names_groups(records, start):
        return start + 1
    return start


@functools.lru_cache(maxsize=1 << 14)
def shape(text: str) -> str:
    """Text's shape: its characters as A (capital), a (other letter), 9
    (digit) or themselves, each run as one: "LN-7690" is "A-9"."""
    out: list[str] = []
    for char in text.strip():
        kind = "A" if char.isupper() else "a" if char.isalpha() else "9" if char.isdigit() else char
        if not out or out[-1] != kind:
            out.append(kind)
    return "".join(out)


def _null_markers(body: Sequence[list[str]], kinds: Sequence[Kind]) -> tuple[tuple[str, ...], frozenset[str]]:
    """The markers of missing values in columns of a type (also `-`, `--`,
    `.`, `?`, `\\N`, `nil` and `missing` there), or in columns that hold
    nothing else: read as missing, they keep the column's type. And the
    markers seen as values among other text, which must stay text."""
    found: set[str] = set()
    text_values: set[str] = set()
    body = body[: max(10, _KIND_CELLS // max(1, len(kinds)))]
    for kind, column in zip(kinds, itertools.zip_longest(*body, fillvalue="")):
        values = set(map(str.strip, column)) - {""}
        markers = values & (NULL_MARKERS | _TYPED_MARKERS if kind in TYPED else NULL_MARKERS)
        if markers and (kind in TYPED or values == markers):
            found |= markers
        else:
            text_values |= markers
    ordered = [*DEFAULT_NULL_VALUES, *sorted(_TYPED_MARKERS)]
    return tuple(marker for marker in ordered if marker in found), frozenset(text_values)


# Markers of missing values that are read as such only where values of a
# type stand around them: elsewhere they may well be text.
_TYPED_MARKERS = frozenset(("-", "--", ".", "?", "\\N", "nil", "missing"))


def markers_in(text: bytes, delimiter: str) -> set[str]:
    """The markers of `null_values="default"` that stand as whole fields in
    the text, quoted or not."""
    separators = [delimiter.encode(), b"\n", b"\r"]
    found = set()
    for marker in NULL_MARKERS:
        spelt = marker.encode()
        if spelt not in text:  # most are nowhere: one look each
            continue
        for quote in (b"", b'"', b"'"):
            field = quote + spelt + quote
            if text.startswith(field) or any(text.endswith(before + field) for before in separators) or any(
                    before + field + after in text for before in separators for after in separators):
                found.add(marker)
                break
    return found


def comment_lines(records: Sequence[Record]) -> bool:
    """Whether lines that start with # are notes rather than records: none
    of them is of the length of most records (a row whose first value
    starts with # is one)."""
    columns = _usual_count([len(fields) for _, fields in records])
    marked = [len(fields) for _, fields in records if fields and fields[0].startswith(COMMENT)]
    return bool(marked) and columns not in marked


def trailing_notes(records: Sequence[Record], text: bytes, table: Table) -> int | None:
    """Where the notes after the table begin among the records of the end
    of a long input (`text`), or None: the last block when it does not go
    on with the table, or else the records at its end unlike its rows."""
    if not records:
        return None
    counts = [len(fields) for _, fields in records]
    blocks = _blocks(records, text)
    last = blocks[-1]
    if len(blocks) > 1 and (2 * _usual_in(counts, last, table.columns) < len(last)
                            or _header_like(records[last[0]][1], table.column_kinds)):
        return records[last[0]][0]
    end = _without_notes(records, counts, 0, len(records), table.columns, table.column_kinds)
    return records[end][0] if end < len(records) else None
