"""Guessing how the records of a sample are written: the delimiter, the
quote and escape characters, and whether quotes may hold line ends. Each
candidate dialect is read by the converter's own reader; the one whose
records are the most alike in length, and whose fields look like values
rather than pieces of them, wins."""

from __future__ import annotations

import itertools
import re
import string
from collections import Counter
from dataclasses import dataclass

from . import _native
from ._sniff_cells import MISSING, TYPED, classify, looks_misread

# The delimiters files use, in the order that breaks ties.
STANDARD_DELIMITERS = (",", ";", "\t", "|", ":", " ")
QUOTES = ('"', "'")
ESCAPE = "\\"

_PROBE_BYTES = 1 << 15  # the part of the sample that candidates are tried on
_PROBE_RECORDS = 60
_FINALISTS = 4  # candidates whose fields are looked at, of those whose records are most alike
_FIELD_CELLS = 400  # fields looked at for each
_LINES_LOOKED_AT = 50  # lines that tell which characters may separate fields
_LINES_BYTES = 1 << 13  # where those lines are looked for
# Characters that are part of values too often to be taken for a delimiter
# that is not one of the usual ones.
_NEVER_DELIMITERS = frozenset(string.ascii_letters + string.digits + "\"'\\.-_+/()[]{}<>=&%$@!?*#" + " ")
_OTHER_DELIMITER_BYTES = frozenset(
    byte for byte in range(0x80) if chr(byte).isprintable() and chr(byte) not in _NEVER_DELIMITERS
    and chr(byte) not in STANDARD_DELIMITERS)
_NOT_OTHER_DELIMITER_BYTES = bytes(sorted(frozenset(range(256)) - _OTHER_DELIMITER_BYTES))


@dataclass(frozen=True)
class Candidate:
    delimiter: str
    quotechar: str | None
    escapechar: str | None
    newlines_in_values: bool = True

    def options(self) -> dict[str, object]:
        return {
            "delimiter": self.delimiter,
            "quotechar": self.quotechar,
            "escapechar": self.escapechar,
            "newlines_in_values": self.newlines_in_values,
        }


@dataclass(frozen=True)
class Guess:
    candidate: Candidate
    widest: int  # the most fields of a record in the part of the sample looked at
    margin: float  # how far ahead of the best candidate that reads other records, 0 to 1


def guess_dialect(text: bytes) -> Guess:
    """The dialect of UTF-8 text `text`, a sample from the start of a file."""
    probe = _probe(text)
    scored: list[tuple[float, int, Candidate, list[int]]] = []
    for order, candidate in enumerate(_candidates(probe)):
        counts = [count for _, count in _native.records(probe, _PROBE_RECORDS, **candidate.options())]
        scored.append((pattern_score(counts), order, candidate, counts))
    best_pattern = max(score for score, *_ in scored)
    contenders = sorted((item for item in scored if item[0] >= 0.5 * best_pattern and item[0] > 0),
                        key=lambda item: (-item[0], item[1]))[:_FINALISTS]
    contenders = [item for item in contenders if not _words_apart(probe, item[2])]
    if not contenders:
        return Guess(Candidate(",", '"', None), 1, 0.0)
    # Whose fields look most like values, where records alone do not tell.
    fields = _FieldScores(probe)
    finalists = sorted(
        ((score * fields.score(candidate, max(counts)), order, candidate, counts)
         for score, order, candidate, counts in contenders) if len(contenders) > 1 else contenders,
        key=lambda item: (-item[0], item[1]),
    )
    best_score, _, best, best_counts = finalists[0]
    rival = next((score for score, _, _, counts in finalists[1:] if counts != best_counts), 0.0)
    margin = 1.0 if best_score <= 0 else max(0.0, (best_score - rival) / best_score)
    if best.quotechar is not None and best.escapechar is None and _quotes_are_text(probe, best.delimiter,
                                                                                     best.quotechar):
        best = Candidate(best.delimiter, None, None)
    if best.quotechar is not None and best.newlines_in_values:
        best = _with_line_ends_settled(text, best)
    return Guess(best, max(best_counts, default=1), margin)


def _probe(text: bytes) -> bytes:
    """The start of the sample, cut after a line end."""
    if len(text) <= _PROBE_BYTES:
        return text
    head = text[:_PROBE_BYTES]
    cut = max(head.rfind(b"\n"), head.rfind(b"\r"))
    return head[: cut + 1] if cut > 0 else head


def _candidates(probe: bytes) -> list[Candidate]:
    lines = [line for line in probe[:_LINES_BYTES].splitlines()[:_LINES_LOOKED_AT] if line.strip()]
    delimiters = [d for d in STANDARD_DELIMITERS if _on_many_lines(d, lines)] + _other_delimiters(probe, lines)
    if not delimiters:
        delimiters = [","]
    quotes: list[str | None] = [q for q in QUOTES if _opens_fields(q, probe[:_LINES_BYTES])]
    # A quote that opens a field may swallow line ends that should end
    # records: reading line by line keeps such a stray quote to one record.
    line_ends = (True, False) if quotes else (True,)
    if not quotes:
        quotes = ['"']  # the same records as no quoting at all
    else:
        quotes.append(None)
    escapes: list[str | None] = [None]
    if probe.find(ESCAPE.encode()) >= 0 and any((ESCAPE + q).encode() in probe for q in QUOTES):
        escapes.append(ESCAPE)
    return [
        Candidate(d, q, e, keeps)
        for d, q, e, keeps in itertools.product(delimiters, quotes, escapes, line_ends)
        if d != q and (q is not None or (e is None and keeps))
    ]


def _on_many_lines(char: str, lines: list[bytes]) -> bool:
    """Whether a character is on a third of the lines or more."""
    byte = char.encode()
    return 3 * sum(1 for line in lines if line.find(byte) >= 0) >= len(lines) and bool(lines)


def _opens_fields(quote: str, probe: bytes) -> bool:
    """Whether a quote character begins a field somewhere: at the start of
    a line or after a character that may be a delimiter."""
    mark = quote.encode()
    if mark not in probe:
        return False
    return probe.startswith(mark) or re.search(_FIELD_START + re.escape(mark), probe) is not None


_FIELD_START = b"[\n\r" + re.escape("".join(STANDARD_DELIMITERS).encode()) + b"]"


def _other_delimiters(probe: bytes, lines: list[bytes]) -> list[str]:
    """Characters other than the usual delimiters that appear as often on
    nearly every line."""
    if len(lines) < 2:
        return []
    found = []
    for byte in sorted(set(probe[:_LINES_BYTES].translate(None, _NOT_OTHER_DELIMITER_BYTES))):
        mark = bytes((byte,))
        if sum(1 for line in lines if line.find(mark) >= 0) < 0.8 * len(lines):
            continue
        count, times = Counter(line.count(mark) for line in lines).most_common(1)[0]
        if count >= 1 and times >= 0.8 * len(lines):
            found.append(chr(byte))
    return found


def pattern_score(counts: list[int]) -> float:
    """How many records are alike in length: records of the same number of
    fields add up, more fields count more, and every further length
    divides the whole. 0 when no record has two fields. A dialect that
    swallows line ends reads fewer records, and scores less."""
    if not counts:
        return 0.0
    groups = Counter(counts)
    total = sum(times * (fields - 1) / fields for fields, times in groups.items())
    return total / len(groups)


def _words_apart(probe: bytes, candidate: Candidate) -> bool:
    """Whether spaces would not read as the delimiter: they only split text
    into words (a file of one column of text is likelier than a table of
    words with no values), or they align columns in runs, which one
    delimiter does not read."""
    if candidate.delimiter != " ":
        return False
    if candidate.quotechar is not None and f' {candidate.quotechar}'.encode() in probe:
        return False  # fields quoted because they hold spaces
    lines = probe.splitlines()[:_LINES_LOOKED_AT]
    if sum(b"  " in line.strip() for line in lines) * 2 > len(lines):
        return True
    records = _native.records(probe, _PROBE_RECORDS, fields=True, **candidate.options())
    kinds = [classify(field) for _, fields in records for field in fields]
    return sum(kind in TYPED for kind in kinds) < 0.1 * len(kinds)


class _FieldScores:
    """How much the fields each candidate reads look like whole values: a
    value of a type or a missing one counts 1, text a little less, and a
    field that seems cut from a larger one or to keep its quotes nothing.
    Candidates read mostly the same fields, often the same records: each
    field's weight and each distinct reading's score are worked out once."""

    def __init__(self, probe: bytes) -> None:
        self._probe = probe
        self._weights: dict[str, float] = {}
        self._readings: list[tuple[list[tuple[int, list[str]]], float]] = []

    def score(self, candidate: Candidate, widest: int) -> float:
        records = _native.records(self._probe, max(10, _FIELD_CELLS // widest), fields=True, **candidate.options())
        for seen, score in self._readings:
            if seen == records:
                return score
        score = self._mean_weight(records)
        self._readings.append((records, score))
        return score

    def _mean_weight(self, records: list[tuple[int, list[str]]]) -> float:
        weights = self._weights
        total = 0.0
        cells = 0
        for _, fields in records:
            cells += len(fields)
            for field in fields:
                weight = weights.get(field)
                if weight is None:
                    weight = weights[field] = _weight(field)
                total += weight
        return total / cells if cells else 0.0


def _weight(field: str) -> float:
    if looks_misread(field, _QUOTE_CHARACTERS):
        return 0.0
    kind = classify(field)
    return 1.0 if kind in TYPED or kind in MISSING else 0.8


_QUOTE_CHARACTERS = "".join(QUOTES)


_SETTLE_BYTES = 1 << 16  # the part of the sample where stray quotes are looked for


def _with_line_ends_settled(text: bytes, candidate: Candidate) -> Candidate:
    """The candidate, with newlines_in_values=False when a quote that opens
    a field swallows line ends that more records of the usual length would
    have been read from: a stray quote, which should spoil one line only."""
    text = text[:_SETTLE_BYTES]
    with_line_ends = [c for _, c in _native.records(text, len(text), **candidate.options())]
    line_by_line = Candidate(candidate.delimiter, candidate.quotechar, candidate.escapechar, False)
    without = [c for _, c in _native.records(text, len(text), **line_by_line.options())]
    if with_line_ends == without or _most_alike(without) <= _most_alike(with_line_ends):
        return candidate
    return line_by_line


def _quotes_are_text(probe: bytes, delimiter: str, quote: str) -> bool:
    """Whether quotes are part of the values rather than around them: a
    quote that begins a field closes before more text of the field (as in
    `"Lyon" brand`) or not at all on its line, and no quoted field needs its
    quotes (none holds the delimiter, a line end, or a doubled or escaped
    quote)."""
    if quote.encode() not in probe:
        return False
    d, q = re.escape(delimiter.encode()), re.escape(quote.encode())
    # A quote at a field's start: after a line end or the delimiter (the
    # texts searched begin with a line end), matched from that character
    # on, which the search finds quickly.
    starts = rb"[\n" + d + rb"]" + q
    text_after = re.compile(starts + rb"[^" + q + rb"\r\n]*(?:" + q + rb"[^" + d + q + rb"\r\n]|$)", re.MULTILINE)
    head = probe[:_LINES_BYTES]
    head = head[: max(head.rfind(b"\n"), head.rfind(b"\r")) + 1] or head  # whole lines: no field cut short
    quoted_lines = b"".join(b"\n" + line for line in head.split(b"\n") if line.find(quote.encode()) >= 0)
    if text_after.search(quoted_lines) is None:
        return False
    needed = re.compile(starts + rb"[^" + q + rb"]*(?:" + d + rb"|\n|\r|" + q + q + rb"|\\" + q + rb")")
    return needed.search(b"\n" + probe) is None


def _most_alike(counts: list[int]) -> float:
    """The largest group of records of one length, more fields counting
    more: what a swallowing quote takes from, and what splitting records
    at line ends in their values does not add to."""
    return max((times * (fields - 1) / fields for fields, times in Counter(counts).items()), default=0.0)
