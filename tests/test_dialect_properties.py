"""Property tests of the reading options of qarn.convert: each is defined by
a text in the comma dialect that `_qarn.csv_to_qarn` converts to the same
bytes (or fails on with the same error), so each is checked against that
text: another dialect and encoding, lines skipped, no header, column names,
comments, records that end at line ends in quotes."""

import bz2
import csv
import gzip
import io
import lzma

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import qarn
from _qarn import csv_to_qarn
from csv_strategies import csv_spellings, tables
from qarn_decoder import decode, text_table
from scale import examples

PROPERTY_SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])


pytestmark = pytest.mark.usefixtures("threads_for_small_inputs")


def outcome(function, *args, **kwargs):
    """The bytes, or the message (a str) of the ValueError."""
    try:
        return function(*args, **kwargs)
    except ValueError as error:
        return str(error)


def comma_csv(rows) -> bytes:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue().encode("utf-8")


sizes = st.fixed_dictionaries({"chunk_size": st.integers(1, 20), "sample_rows": st.integers(0, 20),
                               "threads": st.integers(1, 4)})


# --------------------------------------- dialects and encodings, by writing

ENCODINGS = ["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-32", "latin-1", "cp1252"]
SPECIALS = list(',;\t|: "\'\\\r\n') + ["\r\n", '""', "\x00", "\ufeff", "#"]


def cells(encoding):
    """Text the encoding can hold; in latin-1 and cp1252 what both hold."""
    narrow = encoding in ("latin-1", "cp1252")

    def held(text):
        return not narrow or all(text.encode(e, "ignore") == text.encode(e, "replace") for e in ("latin-1", "cp1252"))

    common = st.sampled_from([s for s in SPECIALS + ["a", "1", "é", "€", "日"] if held(s)])
    others = st.characters(codec="latin-1" if narrow else None, blacklist_categories=("Cs",)).filter(held)
    return st.lists(st.one_of(common, others), max_size=6).map("".join)


dialects = st.fixed_dictionaries({
    "delimiter": st.sampled_from(list(",;\t|: ")),
    "quotechar": st.sampled_from(['"', "'", None]),
    "escapechar": st.sampled_from([None, "\\"]),
    "doublequote": st.booleans(),
})


def written(rows, dialect, lineterminator) -> str | None:
    """The rows as csv.writer writes them in the dialect; None when it
    cannot (a character to escape and no escape character)."""
    out = io.StringIO()
    quotechar = dialect["quotechar"]
    writer = csv.writer(out, delimiter=dialect["delimiter"], quotechar=quotechar or '"',
                        escapechar=dialect["escapechar"], doublequote=dialect["doublequote"],
                        quoting=csv.QUOTE_NONE if quotechar is None else csv.QUOTE_MINIMAL,
                        lineterminator=lineterminator)
    try:
        writer.writerows(rows)
    except csv.Error:
        return None
    return out.getvalue()


@pytest.mark.parametrize("encoding", ENCODINGS)
@PROPERTY_SETTINGS
@given(data=st.data(), dialect=dialects, lineterminator=st.sampled_from(["\n", "\r\n"]), sizes=sizes)
def test_a_table_written_in_any_dialect_and_encoding_reads_as_in_the_comma_dialect(
        encoding, data, dialect, lineterminator, sizes):
    rows = data.draw(st.lists(st.lists(cells(encoding), max_size=4), min_size=1, max_size=8))
    if rows[0] and rows[0][0].startswith("\ufeff"):
        # A byte order mark that starts the text is not content; quoted in
        # one dialect but not in the other, it would be in one of them.
        rows[0][0] = "x" + rows[0][0]
    text = written(rows, dialect, lineterminator)
    if text is None and dialect["escapechar"] is None:  # what it could not write without one
        dialect["escapechar"] = "\\"
        text = written(rows, dialect, lineterminator)
    assume(text is not None)  # a record of one empty field, without quotes
    expected = csv_to_qarn(comma_csv(rows), sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(text.encode(encoding), **dialect, encoding=encoding, **sizes) == expected
    # The same through a Dialect, and through a file object.
    given_dialect = qarn.Dialect(**dialect, encoding=encoding)
    assert qarn.convert(io.BytesIO(text.encode(encoding)), dialect=given_dialect, **sizes) == expected


# Malformed text: the structural bytes in every order, with invalid UTF-8.
# Read with another delimiter and quote, it is the text with those swapped
# for the comma and the double quote, and the same swap in its values (all
# read as text: a space swapped for a comma may make a number).
soup_pieces = [b"a", b" ", b"1", b"\r", b"\n", b"\xc3\xa9", b"\xc3", b"\xff", b"\xef\xbb\xbf"]


def text_outcome(function, *args, **kwargs):
    result = outcome(function, *args, **kwargs)
    return result if isinstance(result, str) else text_table(result)


@PROPERTY_SETTINGS
@given(st.data(), st.sampled_from(list(",;\t|: ")), st.sampled_from(['"', "'"]), st.integers(1, 20))
def test_malformed_text_in_any_dialect_reads_as_its_comma_twin(data, delimiter, quotechar, chunk_size):
    pieces = soup_pieces + [delimiter.encode(), quotechar.encode(), b",", b'"', b"'"]
    soup = data.draw(st.lists(st.sampled_from(pieces), max_size=60).map(b"".join))
    swap = {ord(delimiter): ord(","), ord(","): ord(delimiter)}
    swap.update({ord(quotechar): ord('"'), ord('"'): ord(quotechar)})
    twin = soup.translate(bytes(swap.get(b, b) for b in range(256)))
    expected = text_outcome(csv_to_qarn, twin, chunk_size, 0)
    if not isinstance(expected, str):
        names, rows = expected
        expected = ([n.translate(swap) for n in names], [[v.translate(swap) for v in row] for row in rows])
    got = text_outcome(qarn.convert, soup, delimiter=delimiter, quotechar=quotechar, chunk_size=chunk_size, sample_rows=0)
    assert got == expected


def spaced(rows, delimiter, lineterminator, spaces) -> str:
    """The rows as csv.writer writes each field, with `spaces` (one run per
    field, taken in turn) before each field."""
    runs = iter(spaces)
    lines = []
    for row in rows:
        pieces = []
        for field in row:
            out = io.StringIO()
            csv.writer(out, delimiter=delimiter, lineterminator="").writerow([field])
            pieces.append(" " * next(runs, 0) + out.getvalue())
        lines.append(delimiter.join(pieces) + lineterminator)
    return "".join(lines)


@PROPERTY_SETTINGS
@given(st.data(), st.sampled_from(list(",;\t| ")), st.sampled_from(["\n", "\r\n"]), sizes)
def test_skipped_initial_spaces_read_as_the_records_pythons_csv_module_reads(data, delimiter, lineterminator, sizes):
    rows = data.draw(st.lists(st.lists(cells("utf-8"), min_size=1, max_size=4), min_size=1, max_size=8))
    # A lone field of spaces (or none) is a blank line once they are skipped.
    assume(all(len(row) > 1 or row[0].strip(" ") for row in rows))
    if rows[0][0].startswith("\ufeff"):
        rows[0][0] = "x" + rows[0][0]
    spaces = data.draw(st.lists(st.integers(0, 3), max_size=32))
    text = spaced(rows, delimiter, lineterminator, spaces)
    records = [r for r in csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, skipinitialspace=True) if r]
    expected = csv_to_qarn(comma_csv(records), sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(text.encode(), delimiter=delimiter, skipinitialspace=True, **sizes) == expected


def without_skipped_spaces(text: bytes) -> bytes:
    """The text without the spaces a reader that skips them skips: those
    where a field or record begins, outside quotes (the comma dialect, whose
    quotes hold line ends and whose fields go on after a closing quote)."""
    start = 3 if text.startswith(b"\xef\xbb\xbf") else 0
    out = bytearray(text[:start])
    state = "field start"
    for byte in text[start:]:
        c = bytes([byte])
        if state == "field start" and c == b" ":
            continue
        if state in ("field start", "after closing"):
            if state == "after closing" and c == b'"':
                state = "quoted"  # a doubled quote
            elif c in b",\r\n":
                state = "field start"
            else:
                state = "quoted" if c == b'"' and state == "field start" else "unquoted"
        elif state == "unquoted" and c in b",\r\n":
            state = "field start"
        elif state == "quoted" and c == b'"':
            state = "after closing"
        out += c
    return bytes(out)


# Malformed text (stray and unclosed quotes, text after a closing quote,
# blank lines and lines of spaces, a byte order mark) with spaces before
# fields: read skipping them, it is the same text without them.
@PROPERTY_SETTINGS
@given(st.lists(st.sampled_from([b"a", b" ", b"  ", b"1", b"\r", b"\n", b"\r\n", b",", b", ", b'"', b'""', b' "',
                                 b"\xc3\xa9", b"\xef\xbb\xbf"]), max_size=60).map(b"".join), sizes)
def test_malformed_text_with_skipped_spaces_reads_as_the_text_without_them(soup, sizes):
    twin = without_skipped_spaces(soup)
    # A byte order mark after the first spaces is content, but would start the twin.
    assume(soup.startswith(b"\xef\xbb\xbf") or not twin.startswith(b"\xef\xbb\xbf"))
    expected = outcome(csv_to_qarn, twin, sizes["chunk_size"], 0)
    got = outcome(qarn.convert, soup, skipinitialspace=True, chunk_size=sizes["chunk_size"], sample_rows=0,
                  threads=sizes["threads"])
    assert got == expected


class PipesEscaped(csv.Dialect):
    delimiter, quotechar, escapechar, doublequote = "|", "'", "\\", False
    skipinitialspace, lineterminator, quoting = True, "\r\n", csv.QUOTE_MINIMAL


class Unquoted(csv.Dialect):
    delimiter, quotechar, escapechar, doublequote = ";", None, "\\", True
    skipinitialspace, lineterminator, quoting = False, "\n", csv.QUOTE_NONE


SNIFFED = csv.Sniffer().sniff('a;b\n1;"x;""y"""\n2;z\n')
ROWS = [["name", "note", "n"], ["Ann, Bo", 'say "hi"', "1"], ["a|b;c", "it's", " 2"], ["x\ny", "\\", ""]]


@pytest.mark.parametrize("dialect", [csv.excel, csv.excel_tab, "unix", csv.get_dialect("excel"), PipesEscaped,
                                     Unquoted(), SNIFFED], ids=str)
def test_dialects_of_the_csv_module_read_as_csv_reads_them(dialect):
    out = io.StringIO()
    csv.writer(out, dialect=dialect).writerows(ROWS)
    text = out.getvalue()
    records = [r for r in csv.reader(io.StringIO(text, newline=""), dialect=dialect) if r]
    assert qarn.convert(text.encode(), dialect=dialect) == csv_to_qarn(comma_csv(records))


COMPRESSORS = {None: bytes, "gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}


@PROPERTY_SETTINGS
@given(st.lists(st.sampled_from(["a", "1", ",", '"', '""', "\r", "\n", "\r\n", " ", "é", "ü"]), max_size=60).map("".join),
       st.sampled_from(["utf-16", "utf-16-be", "utf-32", "latin-1", "cp1252"]), st.sampled_from(sorted(COMPRESSORS, key=str)),
       sizes)
def test_malformed_text_encoded_and_compressed_reads_as_its_utf8_bytes(text, encoding, compression, sizes):
    data = COMPRESSORS[compression](text.encode(encoding))
    expected = outcome(csv_to_qarn, text.encode("utf-8"), sizes["chunk_size"], sizes["sample_rows"])
    assert outcome(qarn.convert, data, encoding=encoding, compression=compression, **sizes) == expected


# ------------------------------------------------------------ table layout

valid_csv = tables().flatmap(lambda table: csv_spellings(*table))
# Lines skipped whole, whatever they hold: quotes left open, invalid UTF-8.
skipped_line = st.lists(st.sampled_from([b"a", b",", b'"', b"#", b"\xff", b"\xef\xbb\xbf"]), max_size=6).map(b"".join)


def shifted_error(message: str, lines: int, size: int) -> str:
    error = qarn.CsvError(message)
    return message.replace(f"(line {error.line}, ", f"(line {error.line + lines}, ", 1).replace(
        f"byte: {error.byte})", f"byte: {error.byte + size})", 1)


@PROPERTY_SETTINGS
@given(valid_csv, st.lists(st.tuples(skipped_line, st.sampled_from([b"\n", b"\r\n", b"\r"])), max_size=4),
       st.one_of(st.just(b""), st.sampled_from([b"1,\xff\n", b'"\xff'])), sizes)
def test_skipped_lines_are_the_text_without_them(body, lines, bad, sizes):
    body += bad
    prefix = b""
    for i, (line, end) in enumerate(lines):
        following = lines[i + 1][0] + lines[i + 1][1] if i + 1 < len(lines) else body
        if end == b"\r" and following.startswith(b"\n"):
            end = b"\r\n"  # else that LF would end this line, not its own
        prefix += line + end
    expected = outcome(csv_to_qarn, body, sizes["chunk_size"], sizes["sample_rows"])
    if isinstance(expected, str):  # positions are those of the whole input
        expected = shifted_error(expected, prefix.count(b"\n"), len(prefix))
    assert outcome(qarn.convert, prefix + body, skip_rows=len(lines), **sizes) == expected


def first_record_width(body: bytes) -> int:
    return len(decode(csv_to_qarn(body)).column_names)


@PROPERTY_SETTINGS
@given(valid_csv, sizes)
def test_without_a_header_columns_are_named_after_their_place(body, sizes):
    width = first_record_width(body)
    mark = b"\xef\xbb\xbf" if body.startswith(b"\xef\xbb\xbf") else b""
    header = ",".join(f"column_{i}" for i in range(1, width + 1)).encode() + b"\n"
    expected = csv_to_qarn(mark + header + body[len(mark):] if width else body, sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(body, header=False, **sizes) == expected


names = st.lists(st.text(max_size=4), min_size=1, max_size=5)


@PROPERTY_SETTINGS
@given(tables(), names, st.booleans(), sizes)
def test_column_names_replace_the_header_or_stand_for_it(table, given_names, header, sizes):
    input_names, rows = table
    text = comma_csv([input_names] + rows if header else rows)
    expected = csv_to_qarn(comma_csv([given_names] + rows), sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(text, header=header, column_names=given_names, **sizes) == expected


comment_line = st.lists(st.sampled_from([b"a", b",", b'"', b"#", b"\xff", b" "]), max_size=6).map(lambda p: b"#" + b"".join(p))


@PROPERTY_SETTINGS
@given(tables(), st.data(), st.sampled_from([b"\n", b"\r\n"]), sizes)
def test_comment_lines_are_the_text_without_them(table, data, end, sizes):
    input_names, rows = table
    # A record that starts like a comment, or with a byte order mark (skipped
    # only at the start of the input), would not be the same record.
    records = [["x" + r[0] if r[0].lstrip(" ").startswith(("#", "\ufeff")) else r[0]] + r[1:] if r else r
               for r in [input_names] + rows]
    lines = [comma_csv([record]).removesuffix(b"\n") + end for record in records]
    # Where spaces at a field's start are skipped, so are those before a comment.
    spaced = data.draw(st.booleans())
    indents = st.sampled_from([b"", b" ", b"   "]) if spaced else st.just(b"")
    comments = data.draw(st.lists(st.tuples(st.integers(0, len(lines)), indents, comment_line)))
    with_comments = list(lines)
    for place, indent, comment in sorted(comments, key=lambda c: -c[0]):
        with_comments.insert(place, indent + comment + end)
    if spaced:
        expected = qarn.convert(b"".join(lines), skipinitialspace=True, **sizes)
    else:
        expected = csv_to_qarn(b"".join(lines), sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(b"".join(with_comments), comment="#", skipinitialspace=spaced, **sizes) == expected


# A record whose last field opens a quote and runs to the line end: read
# without newlines in values, the line end closes it.
plain_field = st.text(st.sampled_from("ab1 é"), max_size=4)
quoted_content = st.text(st.sampled_from('ab,"\'é '), max_size=5).map(lambda t: '"' + t.replace('"', '""'))


@st.composite
def open_quoted_records(draw):
    """The text, and the same with each line end inside quotes closed."""
    given, closed = [], []
    for _ in range(draw(st.integers(0, 6))):
        fields = draw(st.lists(st.one_of(plain_field, quoted_content.map(lambda q: q + '"')), max_size=3))
        opened = draw(st.one_of(st.none(), quoted_content))
        end = draw(st.sampled_from(["\n", "\r\n", "\r"]))
        line = ",".join(fields + ([opened] if opened is not None else []))
        given.append(line + end)
        closed.append(line + ('"' if opened is not None else "") + end)
    return "".join(given).encode(), "".join(closed).encode()


@PROPERTY_SETTINGS
@given(open_quoted_records(), sizes)
def test_line_ends_in_quotes_end_records_without_newlines_in_values(texts, sizes):
    text, closed = texts
    expected = csv_to_qarn(closed, sizes["chunk_size"], sizes["sample_rows"])
    assert qarn.convert(text, newlines_in_values=False, **sizes) == expected


# ------------------------------------------- decimal commas, as guessed

# Prices with a decimal comma (two decimals: never a thousands comma),
# maybe grouped by '.', beside text that may hold stray quotes.
_prices = st.integers(-10**7, 10**7).map(lambda cents: f"{cents / 100:.2f}")
_words = st.text(alphabet='ab é"x', max_size=6).filter(lambda text: not text.startswith('"'))


def _comma_spelt(price: str, grouped: bool) -> str:
    whole, fraction = price.split(".")
    if grouped:
        digits = f"{int(whole.lstrip('-')):,}".replace(",", ".")
        whole = ("-" if whole.startswith("-") else "") + digits
    return f"{whole},{fraction}"


@given(st.lists(st.tuples(_prices, _words, st.booleans()), min_size=3, max_size=30), st.booleans(),
       st.sampled_from([";", "\t", "|"]))
@settings(suppress_health_check=[HealthCheck.too_slow], deadline=None, max_examples=examples(80))
def test_guessed_decimal_commas_read_as_the_records_with_points_in_the_comma_dialect(rows, grouped, delimiter):
    header = f"price{delimiter}note{delimiter}flag\n"
    text = header + "".join(f"{_comma_spelt(price, grouped)}{delimiter}{note}{delimiter}{int(flag)}\n"
                            for price, note, flag in rows)
    found = qarn.sniff_details(text.encode())
    assume(found.dialect == qarn.Dialect(delimiter=delimiter))
    assert found.decimal == ","
    twin = "price,note,flag\n" + "".join(f"{price},{note},{int(flag)}\n" for price, note, flag in rows)
    assert outcome(qarn.convert, text.encode(), dialect="auto") == outcome(csv_to_qarn, twin.encode())


# ------------------------------------------- thousands commas, as guessed

# Amounts as reports in English write them: grouped by ',' from four whole
# digits on, with two decimals or none.
_amounts = st.integers(-10**11, 10**11)


def _grouped(cents: int, fraction: bool) -> str:
    whole, rest = divmod(abs(cents), 100)
    sign = "-" if cents < 0 else ""
    return f"{sign}{whole:,}.{rest:02d}" if fraction else f"{sign}{whole:,}"


@given(st.lists(st.tuples(_amounts, _words, st.booleans()), min_size=3, max_size=30), st.booleans(),
       st.sampled_from([",", ";", "\t", "|"]))
@settings(suppress_health_check=[HealthCheck.too_slow], deadline=None, max_examples=examples(80))
def test_guessed_thousands_commas_read_as_the_records_ungrouped_in_the_comma_dialect(rows, fraction, delimiter):
    amounts = [_grouped(cents, fraction) for cents, _, _ in rows]
    quote = '"' if delimiter == "," else ""
    text = f"amount{delimiter}note{delimiter}flag\n" + "".join(
        f"{quote}{amount}{quote}{delimiter}{note}{delimiter}{int(flag)}\n"
        for amount, (_, note, flag) in zip(amounts, rows, strict=True))
    found = qarn.sniff_details(text.encode())
    assume(found.dialect == qarn.Dialect(delimiter=delimiter))
    # A column of whole numbers alone may be a list ("80,443") and proves
    # nothing; one grouped with a fraction does.
    grouped = any("," in amount for amount in amounts)
    assert (found.decimal, found.thousands) == (".", "," if fraction and grouped else None)
    assume(found.thousands == ",")
    twin = "amount,note,flag\n" + "".join(
        f"{amount.replace(',', '')},{note},{int(flag)}\n" for amount, (_, note, flag) in zip(amounts, rows, strict=True))
    assert outcome(qarn.convert, text.encode(), dialect="auto") == outcome(csv_to_qarn, twin.encode())
