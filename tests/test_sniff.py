"""Guessing a file's dialect: on generated files whose answer is not in
doubt, the guess reads the same table as the dialect they were written in;
hand-written files whose answer is a choice; skip_footer as _qarn reads the
text without its last lines; and the ways in (sources, the command)."""

import csv
import gzip
import io
import json
import os
import re

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import qarn
from _qarn import csv_to_qarn
from cli_support import not_when_sanitized, run_qarn
from scale import examples

PROPERTY_SETTINGS = settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])

WORDS = ["alpha", "Bravo", "charlie delta", "école", "Zürich", "x-ray", "O'Neil", "size 3\" x", "a, b", "k;l",
         "p|q", "tab\there", "two\nlines", "€ sign", "日本", "'quoted'"]
NAMES = ["id", "name", "amount", "city", "when", "count", "note", "price", "code", "label"]

# Each column's values, as text: every table has a number column, so that
# its header row is told from its records by their types.
COLUMN_KINDS = {
    "int": st.integers(-10**6, 10**6).map(str),
    "decimal": st.decimals(-1000, 1000, places=2, allow_nan=False, allow_infinity=False).map(str),
    "date": st.dates().map(lambda d: d.isoformat()),
    "text": st.sampled_from(WORDS),
    "code": st.sampled_from(["FR", "NA", "DE", "US"]),
}


@st.composite
def tables(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(COLUMN_KINDS)), min_size=1, max_size=6))
    kinds.insert(draw(st.integers(0, len(kinds))), "int")
    names = draw(st.permutations(NAMES))[: len(kinds)]
    rows = draw(st.lists(st.tuples(*(COLUMN_KINDS[kind] for kind in kinds)).map(list), min_size=3, max_size=30))
    # A column of nothing but NA is a column of missing values.
    assume(all(any(row[i] != "NA" for row in rows) for i, kind in enumerate(kinds) if kind == "code"))
    return names, rows


def plain(field: str) -> bool:
    return re.fullmatch(r"[\w .'-]*", field) is not None


@st.composite
def layouts(draw):
    return {
        "delimiter": draw(st.sampled_from(list(",;\t|: "))),
        "quotechar": draw(st.sampled_from(['"', "'"])),
        "lineterminator": draw(st.sampled_from(["\n", "\r\n", "\r"])),
        "encoding": draw(st.sampled_from(["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-32", "cp1252"])),
        "header": draw(st.booleans()),
        # A title line that splits into as many fields as a header row, just
        # above a blank line and the table, may be that header: not in doubt
        # are titles of one field.
        "preamble": draw(st.lists(st.sampled_from(["SALES", "Exported_2024", "Notes_follow"]), max_size=3)),
        "footer": draw(st.lists(st.sampled_from(["Source_the_registry", "Total"]), max_size=2)),
        # A row of totals right below the rows, as spreadsheets export them.
        "totals": draw(st.sampled_from([None, "Total", "Summe:"])),
    }


def written(names, rows, layout) -> bytes:
    out = io.StringIO(newline="")
    end = layout["lineterminator"]
    for line in layout["preamble"]:
        out.write(line + end)
    if layout["preamble"]:
        out.write(end)
    writer = csv.writer(out, delimiter=layout["delimiter"], quotechar=layout["quotechar"], lineterminator=end)
    writer.writerows(([names] if layout["header"] else []) + rows)
    if layout["totals"]:
        writer.writerow([layout["totals"]] + [""] * (len(names) - 2) + ["100"])
    if layout["footer"]:
        out.write(end + end.join(layout["footer"]) + end)
    return out.getvalue().encode(layout["encoding"])


def written_dialect(layout, text: bytes) -> qarn.Dialect:
    lines = text.decode(layout["encoding"]).count(layout["lineterminator"])
    footer = (len(layout["footer"]) + 1 if layout["footer"] else 0) + (1 if layout["totals"] else 0)
    return qarn.Dialect(delimiter=layout["delimiter"], quotechar=layout["quotechar"], encoding=layout["encoding"],
                        header=layout["header"], skip_rows=len(layout["preamble"]) + bool(layout["preamble"]),
                        skip_footer=footer if lines else 0)


def table_of(data: bytes) -> tuple:
    table = qarn.read(data)
    return tuple(table.column_names), tuple(tuple(table[name].values.tolist()) for name in table.column_names)


@PROPERTY_SETTINGS
@given(table=tables(), layout=layouts())
def test_the_guess_reads_the_table_a_file_was_written_from(table, layout):
    names, rows = table
    if layout["encoding"] == "cp1252":
        rows = [[field.replace("日本", "ja") for field in row] for row in rows]
    if layout["delimiter"] == " ":
        # Text with spaces is quoted; then every space-separated file
        # would be quoted, which the writer does only where it must.
        assume(all(plain(field) or " " not in field for row in rows for field in row))
    # Apostrophes around every text of a table are quotes as likely as text.
    cells = [field for row in rows for field in row]
    assume("'quoted'" not in cells or any(field in WORDS and field != "'quoted'" for field in cells))
    data = written(names, rows, layout)
    expected = qarn.convert(data, dialect=written_dialect(layout, data))
    guessed = qarn.sniff(data)
    assert table_of(qarn.convert(data, dialect=guessed)) == table_of(expected), guessed
    # The same guess, from a path and a file object.
    assert qarn.convert(data, dialect="auto") == qarn.convert(data, dialect=guessed)


# Files whose dialect is a matter of choice: the answer chosen, and why.
AMBIGUOUS = [
    # Nothing but text: a first row is taken for a header, as most files have one.
    ("name,city\nann,oslo\nbob,rome\n", {"header": True}),
    # Nothing but numbers: a first row of numbers is data, not names.
    ("1,2,3\n4,5,6\n7,8,9\n", {"header": False}),
    # One column: no delimiter shows, the comma is kept.
    ("name\nann\nbob\n", {"delimiter": ",", "header": True}),
    # A comma inside each value and a semicolon between: the semicolon,
    # whose fields are numbers (decimal commas) rather than pieces of them.
    ("a;b\n1,5;2,5\n3,5;4,5\n", {"delimiter": ";"}),
    # Two header rows: the last one names the columns; the one above is
    # skipped with the lines before the table.
    ("group,group,other\na,b,c\n1,2,3\n4,5,6\n7,8,9\n", {"skip_rows": 1, "header": True}),
    # A stray quote, and no other quoted field: quoting is off, so that it
    # spoils no records.
    ('a,b,c\n1,x,2\n3,"y,4\n5,z,6\n7,w,8\n', {"quotechar": None}),
    # A stray quote among quoted fields: quotes stay, but a line end ends a
    # record even inside them.
    ('a,b,c\n1,"x, y",2\n3,"y,4\n5,"z, w",6\n7,w,8\n9,"v, u",1\n', {"newlines_in_values": False}),
    # Quoted line breaks: they stay values.
    ('a,b\n1,"x\ny"\n2,"z\nw"\n3,v\n', {"newlines_in_values": True}),
    # Quoted line breaks in every record, cutting each into two lines of one
    # length: every quote closes before the next field, so they stay values.
    ('0,0.5,"two\nlines",7,0.5\n' * 3, {"newlines_in_values": True}),
    # A blank line, then rows of another shape: a second table, left out.
    ("a,b\n1,2\n3,4\n5,6\n\nc,d,e\nx,y,z\n", {"skip_footer": 2}),
    # NA in a number column is missing; in a text column it stays text.
    ("n,t\n1,NA\nNA,x\n3,y\n", {"null_values": ("NA",)}),
    # A dot among numbers is a missing value; among text it would be text.
    ("n,t\n1,x\n.,y\n3,z\n4,w\n5,v\n", {"null_values": (".",)}),
    # So are a statistics office's ':' and '..'.
    ("geo;y2019;y2020\nAT;1.5;:\nBE;2.5;3.5\nDE;:;4.5\nFR;5;6\n", {"null_values": (":",)}),
    ("geo,y1990\nA,1.5\nB,..\nC,3.5\nD,5.5\n", {"null_values": ("..",)}),
    # Lines that start with # and are not rows are comments.
    ("a,b\n1,2\n# a note, with, commas\n3,4\n5,6\n", {"comment": "#"}),
    # A block of names and values above the table, which has a header row.
    ("A,1\nB,2\nC,3\n\nx,y,z\n" + "".join(f"{i},{i},{i}\n" for i in range(20)), {"skip_rows": 4}),
    # Lines that start with # but are rows of the table are no comments.
    ("# exported\nid,item,qty\n#1,apple,3\n#2,pear,4\n#3,plum,5\n", {"comment": None, "skip_rows": 1}),
    # Columns aligned with runs of spaces: no delimiter reads them, so one
    # column, and no row is taken for a note.
    ("x    y   z\n1    2   3\n10   20  30\n100  200 300\n", {"delimiter": ",", "skip_footer": 0}),
    # Years naming columns of rates are a header, not numbers.
    ("Country,Code,1960,1961\nAruba,ABW,4.82,4.65\nAndorra,AND,1.2,1.3\nChad,TCD,7.45,7.4\n", {"header": True}),
    # A marker of missing values far below the rows looked at closely.
    ("a,b\n" + "".join(f"{i},{i}\n" for i in range(300)) + "NA,5\n", {"null_values": ("NA",)}),
    # ... and far below them too (R writes NA; the first may be thousands of
    # lines down), or only in the last lines of an input longer than the sample.
    ("a,b\n" + "".join(f"{i},{i * 7}.25{'0' * 90}\n" for i in range(1500)) + "3,NA\n", {"null_values": ("NA",)}),
    ("a,b\n" + "".join(f"{i},{i * 7}.25{'0' * 90}\n" for i in range(12000)) + "3,NA\n", {"null_values": ("NA",)}),
    # A title above a blank line and more rows than are looked at closely:
    # the notes at the end are looked for after the table's start.
    ("A,B\nC,D\n\nx,y\n" + "".join(f"{i},{i}\n" for i in range(300)), {"skip_rows": 3, "skip_footer": 0}),
    # Every field quoted, none needing it: the quotes stay quotes, wherever
    # the part of the sample looked at for them ends.
    ('"a","b"\n' + '"xy","1"\n' * 1000, {"quotechar": '"', "header": True}),
    # A second table right below the first, without a blank line.
    ("a,b,c\n" + "".join(f"{i},x{i},{i}.5\n" for i in range(20)) + "k,n\nA,1\nB,2\nC,3\n", {"skip_footer": 4}),
    # A header with one field too few above records of one length: taken as
    # the header, it would drop the last column; skipped, the columns go by number.
    ("a,b\n1,2,3\n4,5,6\n7,8,9\n", {"header": False, "skip_rows": 1}),
    # Numbers that name columns, quoted by a writer that leaves numbers bare
    # (R's write.csv of a cross-table), are the header; quoted in every row,
    # they are data.
    ('"","0","1","2"\n"0",27,29,10\n"1",59,53,14\n"2",28,32,9\n', {"header": True, "skip_rows": 0}),
    ('"1","2"\n"3","4"\n"5","6"\n', {"header": False, "skip_rows": 0}),
    # Numbers in every row, and codes in the last two only: two rows do not
    # make the three above them header rows.
    ("alpha,alpha,0,alpha\n" * 3 + "x-ray,x-ray,0,x-ray\n" * 2, {"header": False, "skip_rows": 0}),
    # A space after every comma is skipped, and a quote after it opens a
    # field; spaces before some values only are part of them.
    ('name, n\n"a, b", 1\nc, 2\nd, 3\ne, 4\n', {"skipinitialspace": True, "delimiter": ","}),
    ("a, b\n1, 2\n", {"skipinitialspace": True}),
    ("id,comment\n1, hello\n2,world\n3, x\n4,y\n5,z\n6,w\n", {"skipinitialspace": False}),
    # Runs of spaces after the commas pad the fields, quoted ones too: they
    # do not make space the delimiter.
    ('a,  b,  c\n1,  2,  "x, y"\n4,  5,  "z, w"\n7,  8,  "q"\n', {"delimiter": ",", "skipinitialspace": True}),
    # Runs of spaces inside quoted fields of a space-delimited file align nothing.
    ('"id" "stars" "review"\n"1" 5 "Great.  Would buy."\n"2" 3 "Okay.  Box was torn."\n"3" 4 "Fine"\n',
     {"delimiter": " "}),
    ("a, b\n" + "".join(f"{i}, {i}.5\n" for i in range(3000)) + "7, NA\n", {"null_values": ("NA",)}),
    # Far down, a marker counts in a column of numbers only: in one of codes
    # it is a value (Namibia).
    ("id,cc\n" + "".join(f"{i},{'FR' if i != 9000 else 'NA'}\n" for i in range(20000)), {"null_values": ()}),
    # Among country codes, NA is Namibia even where a column of numbers holds
    # NA too: taken as missing, it would empty every cell of Namibia.
    ("cc,n\nFR,1\nNA,2\nDE,NA\nUS,4\nBE,5\n", {"null_values": ()}),
    ("name,n\nParis,1\nNA,NA\nRome,3\nOslo,4\n", {"null_values": ("NA",)}),
    # A writer that quotes every text (R's write.csv) leaves missing values
    # bare, in columns of text too; quoted, NA is text.
    ('"id","region"\n"1","north"\n"2","south"\n"3",NA\n"4","east"\n', {"null_values": ("NA",)}),
    ('"id","cc"\n"1","FR"\n"2","NA"\n"3",NA\n"4","DE"\n', {"null_values": ()}),
    # Apostrophes around some values of a column whose other text is bare are
    # part of the values: a writer quoting with them quotes every text, or
    # only what needs it.
    ("id,note\n0,'quoted'\n1,plain one\n2,plain two\n3,'quoted'\n4,plain\n", {"quotechar": '"'}),
    ("'id','note'\n0,'quoted'\n1,'plain one'\n2,'plain two'\n3,'quoted'\n", {"quotechar": "'"}),
    # Markers such as - and .. may fill most of a column of numbers (a
    # statistics office's table), and rows that hold them are no header.
    ("id,n\n1,5.0\n2,7.0\n3,-\n4,8.0\n5,-\n6,-\n", {"null_values": ("-",)}),
    ("Country,1990,2000\nA,1.5,..\nB,..,2.5\nC,..,..\nD,3.5,4.5\nE,..,5.5\nF,..,..\n",
     {"null_values": ("..",), "skip_rows": 0, "header": True}),
    # A row of totals ends a spreadsheet's export: named so, with numbers or
    # nothing in its other fields, it is no row of the table; nor is a note
    # the delimiter cuts, text wherever numbers belong.
    ("id;qty;price\n1;3;10\n2;5;20\n3;2;30\n4;7;40\nTotal;17;100\n", {"skip_footer": 1}),
    ("extra;group;ID;Ort\n0,7;1;1;x1\n-1,6;1;2;x2\n-0,2;1;3;x3\n3,4;2;5;x5\nSumme;;\n", {"skip_footer": 1}),
    ("name,qty,kg\nA,3,1.5\nB,4,2.5\nC,5,3.5\nTotal,,7.5\nSource: the office, figures provisional\n",
     {"skip_footer": 2}),
    ("word;meaning\nsum;the whole\nmean;the middle\ntotal;all of it\n", {"skip_footer": 0}),
    ("sp,isle,x,y\nA,B,1,2\nC,D,3,4\nE,F,5,6\nSource: the office, provisional\n", {"skip_footer": 1}),
    # ... and the first may come late in a table of few columns.
    ("a,b,c,d,e\n" + "".join(f"{i},{i},x,1,{i}.5\n" for i in range(200)) + "7,7,x,1,-\n", {"null_values": ("-",)}),
]


@pytest.mark.parametrize(("text", "expected"), AMBIGUOUS, ids=[str(i) for i in range(len(AMBIGUOUS))])
def test_ambiguous_files_get_the_answer_chosen(text, expected):
    dialect = qarn.sniff(text.encode())
    assert {name: getattr(dialect, name) for name in expected} == expected


@pytest.mark.parametrize(("data", "encoding"), [
    (codec_text.encode(codec), name) for codec_text in ["a;b\n1;é\n2;ü\n"] for codec, name in [
        ("utf-8", "utf-8"), ("utf-8-sig", "utf-8-sig"), ("utf-16", "utf-16"), ("utf-16-le", "utf-16-le"),
        ("utf-16-be", "utf-16-be"), ("utf-32", "utf-32"), ("latin-1", "cp1252")]
] + [("a;b\n1;€\n2;“x”\n".encode("cp1252"), "cp1252"), (b"a;b\n1;\x81\xe9\n", "latin-1")])
def test_encodings_are_told_by_marks_nul_bytes_and_what_decodes(data, encoding):
    assert qarn.sniff(data).encoding == encoding


@settings(max_examples=examples(300), deadline=None)
@given(data=st.lists(st.sampled_from([b"a", b"1", b"1.5", b",", b";", b"\t", b" ", b":", b"|", b"#", b'"', b"'", b"\\",
                                      b"\r", b"\n", b"\xff", b"\x00", b"\xc3\xa9", b"NA", b"\xef\xbb\xbf"]),
                     max_size=80).map(b"".join))
def test_any_bytes_convert_with_auto_as_with_the_dialect_guessed(data):
    """No input makes the guess fail, and dialect="auto" is the guessed
    dialect given outright (which reduces to _qarn on the transformed
    text), malformed text and its errors included."""
    found = qarn.sniff_details(data)
    assert 0 <= found.confidence <= 1 and found.columns >= 1

    def outcome(**options):
        try:
            return qarn.convert(data, **options)
        except qarn.CsvError as error:
            return str(error)

    assert outcome(dialect="auto") == outcome(dialect=found.dialect)


# --------------------------------------------------------------- skip_footer

lines_of = re.compile(rb"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$")


@PROPERTY_SETTINGS
@given(values=st.lists(st.one_of(st.integers(-999, 999), st.sampled_from(["-", ".."])), min_size=5, max_size=120),
       delimiter=st.sampled_from([",", ";", "\t"]))
def test_markers_among_numbers_read_as_missing_however_many(values, delimiter):
    # A statistics office's column: numbers, and missing values marked
    # with - or .., one marker per column, as many as there are numbers or more.
    numbers = [v for v in values if isinstance(v, int)]
    markers = {v for v in values if isinstance(v, str)}
    assume(len(numbers) >= 2 and len(markers) == 1)
    text = f"name{delimiter}n\n" + "".join(f"r{i}{delimiter}{v}\n" for i, v in enumerate(values))
    column = qarn.read(qarn.convert(text.encode(), dialect="auto"))["n"]
    got = [None if missing else int(v) for v, missing in zip(column.values.tolist(), column.invalid.tolist())]
    assert got == [v if isinstance(v, int) else None for v in values]


@settings(max_examples=examples(300), deadline=None)
@given(text=st.lists(st.sampled_from([b"a", b"1", b",", b'"', b"\r", b"\n", b"\r\n", b"\xff", b"#"]),
                     max_size=40).map(b"".join),
       count=st.integers(0, 6), comment=st.sampled_from([None, "#"]))
def test_skip_footer_reads_as_the_text_without_its_last_lines(text, count, comment):
    """Malformed text too: whatever _qarn makes of what is left, errors included."""
    kept = b"".join(lines_of.findall(text)[: -count or None]) if count else text

    def outcome(function, *args, **kwargs):
        try:
            return function(*args, **kwargs)
        except ValueError as error:
            return str(error)

    expected = outcome(csv_to_qarn, kept) if comment is None else outcome(qarn.convert, kept, comment=comment)
    assert outcome(qarn.convert, text, skip_footer=count, comment=comment, threads=1) == expected


# ---------------------------------------------------------------- the ways in

SEMICOLONS = "Report\n\nname;amount\nann;1\nbob;NA\ncid;3\n".encode("cp1252")


def test_sniff_takes_paths_compressed_files_and_file_objects_and_puts_them_back(tmp_path):
    path = tmp_path / "data.csv.gz"
    path.write_bytes(gzip.compress(SEMICOLONS))
    expected = qarn.Dialect(delimiter=";", skip_rows=2, null_values=("NA",))
    assert qarn.sniff(path) == qarn.sniff(SEMICOLONS) == expected
    file = io.BytesIO(b"xx" + SEMICOLONS)
    file.seek(2)
    assert qarn.sniff(file) == expected and file.tell() == 2
    read_end, write_end = os.pipe()  # compressed, and not seekable
    os.write(write_end, gzip.compress(SEMICOLONS))
    os.close(write_end)
    with open(read_end, "rb", buffering=0) as pipe:
        assert qarn.sniff(pipe) == expected
    assert eval(repr(expected), {"qarn": qarn}) == expected
    with pytest.raises(ValueError, match="^sample_bytes must be at least 1, not 0$"):
        qarn.sniff(SEMICOLONS, sample_bytes=0)


def test_a_start_of_an_input_has_no_known_end():
    """A file object longer than the sample: its cut last line is no note."""
    rows = b"a,b,c\n" + b"1,2,3\n" * 50000
    assert qarn.sniff(io.BytesIO(rows), sample_bytes=1000) == qarn.Dialect()
    assert qarn.sniff(io.BytesIO(gzip.compress(rows)), sample_bytes=1000) == qarn.Dialect()
    assert qarn.sniff(rows, sample_bytes=1000) == qarn.Dialect()


def test_utf8_belied_after_the_sample_reads_as_cp1252_unless_given():
    data = b"a,b\n" + b"x,1\n" * 300000 + b"caf\xe9,2\n" + b"y,3\n" * 300000
    assert qarn.sniff(data).encoding == "utf-8"
    assert qarn.read(qarn.convert(data, dialect="auto"))["a"].values[300000] == "caf\u00e9"
    with pytest.raises(qarn.CsvError, match="invalid UTF-8"):
        qarn.convert(data, dialect="auto", encoding="utf-8")


@pytest.mark.parametrize("target", ["memory", "path", "file object"])
def test_utf8_belied_after_the_sample_converts_alike_into_every_target(target, tmp_path):
    # The failed reading as UTF-8 must leave nothing in the target or the rejects.
    data = b"a,b\n" + b"x,1\n" * 300000 + b"caf\xe9,oops\n" + b"y,3\n" * 300000
    rejects = tmp_path / "rejects.csv"
    if target == "memory":
        converted = qarn.convert(data, dialect="auto", rejects=rejects)
    elif target == "path":
        qarn.convert(data, tmp_path / "t.qarn", dialect="auto", rejects=rejects)
        converted = (tmp_path / "t.qarn").read_bytes()
    else:
        sink = io.BytesIO()
        qarn.convert(data, sink, dialect="auto", rejects=rejects)
        converted = sink.getvalue()
    assert converted == qarn.convert(data, encoding="cp1252")
    assert rejects.read_bytes().count(b"oops") == 1


@pytest.mark.parametrize("columns", [744, 745, 2900])
def test_a_quoted_header_longer_than_the_lines_looked_at_keeps_its_quotes(columns):
    # From 745 columns the header line no longer ends within the first 8 KiB.
    data = b",".join(b'"col%05d"' % i for i in range(columns)) + b"\n" + b",".join(b"%d" % i for i in range(columns))
    assert qarn.sniff(data + b"\n").quotechar == '"'
    assert qarn.read(qarn.convert(data, dialect="auto")).column_names[-1] == f"col{columns - 1:05}"


def test_options_given_with_auto_override_the_guess():
    guessed = qarn.convert(SEMICOLONS, dialect="auto")
    assert guessed == qarn.convert(SEMICOLONS, delimiter=";", skip_rows=2, null_values="default")
    assert qarn.convert(SEMICOLONS, dialect="auto", skip_rows=0, header=False) == qarn.convert(
        SEMICOLONS, delimiter=";", header=False, null_values=["NA"])


# (text, decimal, thousands) the guess gives for the numbers' marks.
NUMBER_MARKS = [
    pytest.param(b"id;price\n1;2,5\n2;10,25\n3;7\n4;0,125\n", ",", None, id="decimal commas"),
    pytest.param(b"id\tprice\n1\t1.234,5\n2\t12,0\n3\t3.000\n4\t-7,25\n", ",", ".", id="and thousands"),
    pytest.param(b"item\tcount\na\t1,234\nb\t56,789\nc\t999\nd\t2,5\n", ".", None, id="thousands commas"),
    pytest.param(b"id;price;kg\n1;1.234,5;0.125\n2;2,5;0.250\n3;3,75;0.375\n", ".", None,
                 id="a point after a zero"),
    pytest.param(b"id;price;rate\n1;2,5;0.5\n2;3,5;1.5\n", ".", None, id="a decimal point elsewhere"),
    pytest.param(b"a;b\n0,5;1\n1,25;2\n2,75;3\n3,5E-05;4\n7E-3;5\n", ",", None, id="with exponents"),
    pytest.param(b'id,price\n1,"2,5"\n2,"3,5"\n', ".", None, id="the comma separates"),
    pytest.param(b"id;pair\n1;2,5\n2;x,y\n", ".", None, id="not only numbers"),
    pytest.param(b"id;pair\n1;2,5\n2;3\n3;4\n", ".", None, id="one in a column"),
    pytest.param(b"id;price\n1;2,5\n2;NA\n3;4,75\n4;1,5\n", ",", None, id="beside missing values"),
    pytest.param(b'id,amount\n1,"1,234.50"\n2,"12,500"\n3,999.99\n4,"1,000,000"\n5,NA\n', ".", ",",
                 id="thousands commas, quoted"),
    pytest.param(b"id\tamount\n1\t1,234.5\n2\t7.25\n3\t12\n", ".", ",", id="one that cannot be decimal"),
    pytest.param(b'id,amount\n1,"1,234.50"\n2,"12,500"\n3,15000.5\n', ".", None, id="some long number ungrouped"),
    pytest.param(b'id;count\n1;1,234,567\n2;12,500,000\n3;345,678,901\n', ".", None, id="whole numbers alone"),
    pytest.param(b'host,ports\nweb,"80,443"\nmail,"25,465,587"\npop,"110,995"\n', ".", None, id="lists"),
    pytest.param(b'order,amount,codes\n1,"1,234.50","101,205,307"\n2,87.00,"110,230"\n3,"12,500.00",400\n', ".",
                 ",", id="amounts beside lists"),
    pytest.param(b'item,qty,kg,price\nA,"1,500.5","0,750","3,5"\nB,"2,250.0","1,125","12,75"\n', ".", None,
                 id="amounts beside decimal commas"),
    pytest.param(b"id\tamount\tcodes\n1\t  1,234.50\t101,205\n2\t 12,500.00\t110,230,340\n", ".", None,
                 id="padded amounts beside lists"),
]


@pytest.mark.parametrize(("text", "decimal", "thousands"), NUMBER_MARKS)
def test_number_marks_are_guessed_and_convert_as_their_plain_spelling(text, decimal, thousands):
    found = qarn.sniff_details(text)
    assert (found.decimal, found.thousands) == (decimal, thousands)
    auto = qarn.convert(text, dialect="auto")
    if found.thousands_columns is None:
        assert auto == qarn.convert(text, dialect=found.dialect, decimal=decimal, thousands=thousands)
    if decimal == ",":
        # The same records with "." marks and no grouping, in the comma dialect.
        table = [[cell.replace(".", "").replace(",", ".") for cell in row]
                 for row in csv.reader(io.StringIO(text.decode()), delimiter=found.dialect.delimiter)]
        plain = "".join(",".join(cell if cell != "NA" else "" for cell in row) + "\n" for row in table)
        assert auto == csv_to_qarn(plain.encode())
        # Marks given, even the defaults, are kept.
        kept = qarn.convert(text, dialect="auto", decimal=".")
        assert kept == qarn.convert(text, dialect=found.dialect) != auto
    if thousands == ",":
        # Commas taken out of the amounts alone; lists beside them stay.
        plain = io.StringIO()
        twin = csv.writer(plain, lineterminator="\n")
        for row in csv.reader(io.StringIO(text.decode()), delimiter=found.dialect.delimiter):
            cells = ["" if cell == "NA" else cell for cell in row]
            twin.writerow([cell.replace(",", "") if i in found.thousands_columns else cell for i, cell in enumerate(cells)])
        assert auto == csv_to_qarn(plain.getvalue().encode())


# Tables written with a space after each comma, and without: the guess of
# skipped spaces gives the same table, quotes that open no field without the
# spaces (an apostrophe, a stray quote, quotes before more text) included.
SPACED_TWINS = [
    "id,zip,city\n1,'01234,Boston\n2,'02345,Salem\n3,'03456,Dover\n4,'04567,Lynn\n",
    'id,desc,qty\n1,a,1\n2,b,2\n3,"c,3\n4,d,4\n5,e,5\n6,f,6\n',
    'id,brand,n\n1,"Lyon" brand,2\n2,"Paris" thing,3\n3,other,4\n',
    'name,n,note\np,1,"a;b"\nq,2,"c;d"\nr,3,e\n',
    'id,name,note\n1,ann,"line one\nline two"\n2,bob,plain\n3,cy,plain\n',
    "id,owner,qty\n1,Joneses',9\n2,w2,4\n3,w3,6\n",
    'name,year,product\n"Smith;J",1990,"Lyon" brand\nDoe,1991,other\nRoe,1992,thing\nPoe,1993,stuff\n',
]


@pytest.mark.parametrize("text", SPACED_TWINS)
def test_spaces_after_commas_leave_the_guessed_table_as_it_is_without_them(text):
    spaced = text.replace(",", ", ").replace(";", ", ")
    assert qarn.sniff(spaced.encode()).skipinitialspace
    assert qarn.convert(spaced.encode(), dialect="auto") == qarn.convert(text.replace(";", ", ").encode(), dialect="auto")


@not_when_sanitized
def test_the_command_sniffs_as_text_and_json_and_converts_with_auto(tmp_path):
    (tmp_path / "a.csv").write_bytes(SEMICOLONS)
    (tmp_path / "b.csv").write_bytes(b"x|y\n1|2\n3|4\n")
    (tmp_path / "d.csv").write_bytes(b"x;y\n1;2.500,5\n3;4,25\n5;6,5\n")
    (tmp_path / "e.csv").write_bytes(b'x,y\n1,"2,500.5"\n3,"4,000"\n5,"6,000,000"\n')
    (tmp_path / "f.csv").write_bytes(b'x, y\n1, "2, 5"\n3, 4\n5, 6\n')
    shown = run_qarn("sniff", "a.csv", "b.csv", "d.csv", "e.csv", "f.csv", cwd=tmp_path, check_status=0)
    shown = shown.stdout.decode().splitlines()
    assert shown == [
        "a.csv: utf-8, delimiter semicolon, quote '\"', escape none, header, skip_rows 2, skip_footer 0, "
        "null NA, 2 columns, confidence 1.00",
        "b.csv: utf-8, delimiter pipe, quote '\"', escape none, header, skip_rows 0, skip_footer 0, "
        "null none, 2 columns, confidence 1.00",
        "d.csv: utf-8, delimiter semicolon, quote '\"', escape none, header, skip_rows 0, skip_footer 0, "
        "null none, decimal comma, thousands period, 2 columns, confidence 1.00",
        "e.csv: utf-8, delimiter comma, quote '\"', escape none, header, skip_rows 0, skip_footer 0, "
        "null none, thousands comma, 2 columns, confidence 1.00",
        "f.csv: utf-8, delimiter comma, quote '\"', escape none, header, skip_rows 0, skip_footer 0, "
        "spaces after the delimiter skipped, null none, 2 columns, confidence 1.00",
    ]
    found = json.loads(run_qarn("sniff", "--json", "a.csv", cwd=tmp_path, check_status=0).stdout)
    assert found == {"file": "a.csv", "delimiter": ";", "quotechar": '"', "escapechar": None, "doublequote": True,
                     "newlines_in_values": True, "encoding": "utf-8", "header": True, "skip_rows": 2,
                     "skip_footer": 0, "comment": None, "null_values": ["NA"], "decimal": ".", "thousands": None,
                     "skipinitialspace": False, "thousands_columns": None, "columns": 2, "confidence": 1.0}
    found = json.loads(run_qarn("sniff", "--json", "e.csv", cwd=tmp_path, check_status=0).stdout)
    assert (found["thousands"], found["thousands_columns"]) == (",", [1])
    # UTF-16 without a byte order mark, which the command refuses unguessed.
    (tmp_path / "c.csv").write_bytes(SEMICOLONS.decode().encode("utf-16-le"))
    run_qarn("convert", "--auto", "a.csv", "b.csv", "c.csv", "--skip-footer", "1", cwd=tmp_path, check_status=0)
    assert (tmp_path / "a.qarn").read_bytes() == qarn.convert(SEMICOLONS, dialect="auto", skip_footer=1)
    assert (tmp_path / "c.qarn").read_bytes() == (tmp_path / "a.qarn").read_bytes()
    failed = run_qarn("sniff", "missing.csv", cwd=tmp_path, check_status=1)
    assert failed.stderr.startswith("qarn: missing.csv: ")


# The guess reads the first records only; the separator applies to the
# columns it found amounts in, so a list further down another column, or a
# decimal comma, stays as the converter reads it without the separator.
@pytest.mark.parametrize("late", ['"80,443"', '"0,750"'])
def test_guessed_thousands_commas_leave_other_columns_alone_past_the_records_looked_at(late):
    rows = [f'h{i},"{1000 + i:,}.50",{443 if i % 2 else 80}' for i in range(300)]
    text = "\n".join(["host,traffic,ports", *rows, f'web,"1,234.50",{late}']).encode() + b"\n"
    found = qarn.sniff_details(text)
    assert (found.thousands, found.thousands_columns) == (",", (1,))
    table = qarn.read(qarn.convert(text, dialect="auto")).to_arrow()
    assert table["traffic"][-1].as_py() == 1234.5
    assert table["ports"][-1].as_py() == late.strip('"')


# Notes after the table, where the input's end is known: read with the rest
# (a short input), past the records looked at (a longer one), or from the
# last 16 KiB (an input longer than the sample).
@pytest.mark.parametrize(("rows", "sample_bytes"), [(20, 1 << 20), (400, 1 << 20), (3000, 4000)])
def test_notes_after_the_table_are_found_wherever_the_end_is_read(rows, sample_bytes):
    text = "a,b,c\n" + "".join(f"{i},x{i},{i}.5\n" for i in range(rows)) + "\nSource: the registry\nTotal: 3\n"
    found = qarn.sniff_details(text.encode(), sample_bytes=sample_bytes)
    assert (found.dialect.skip_footer, found.columns) == (2, 3)


def test_the_native_guess_takes_bytes_only():
    from qarn import _native

    with pytest.raises(TypeError):
        _native.sniff_text("a,b\n", whole=True)
    with pytest.raises(TypeError):
        _native.sniff_text(b"a,b\n", whole=True, tail="x")
    assert _native.sniff_text(b"a;b\n1;2\n", whole=True)["delimiter"] == ";"


# Each part of the guess on a small input, and what it gives: the dialect,
# the columns and the confidence.
PARTS = [
    pytest.param(b'# exported by hand\n# two notes\na,b\n1,2\n3,4\n',
                 "qarn.Dialect(skip_rows=2, comment='#')", 2, 0.71, id='comment lines'),
    pytest.param(b'a^b^c\n1^2^3\n4^5^6\n7^8^9\n',
                 "qarn.Dialect(delimiter='^')", 3, 1.0, id='another delimiter'),
    pytest.param(b'a,b\n1,"x\\"y"\n2,z\n3,w\n',
                 "qarn.Dialect(escapechar='\\\\')", 2, 1.0, id='escaped quotes'),
    pytest.param(b'name,city\nx,"Lyon" brand\ny,Paris\nz,Nice\n',
                 'qarn.Dialect(quotechar=None)', 2, 0.8, id='quotes that are text'),
    pytest.param(b'a,b\n1,"x\n2,y\n3,z\n4,w\n5,v\n6,u\n',
                 'qarn.Dialect(newlines_in_values=False)', 2, 1.0, id='a stray quote'),
    # Apostrophes that open titles and years ('15', '38, '49-'17) quote nothing;
    # double quotes, which open no field here, stay the quote for further on.
    pytest.param(b"id;title;year;rating\n1;'15';2002;6,7\n2;'38;1987;6,6\n3;'49-'17;1917;6\n4;Heat;1995;8,2\n"
                 b"5;Alien;1979;8,5\n6;'68;1988;5,4\n",
                 "qarn.Dialect(delimiter=';')", 4, 1.0, id='apostrophes in text'),
    pytest.param(b'x y z\n1 2 3\n4 5 6\n7 8 9\n',
                 "qarn.Dialect(delimiter=' ')", 3, 1.0, id='spaces between numbers'),
    pytest.param(b'the quick brown\nfox jumps over\nthe lazy dog\n',
                 'qarn.Dialect()', 1, 0.28, id='words apart'),
    pytest.param(b'a,b\n1,-\n2,3\n-,4\n5,?\n6,nil\n',
                 "qarn.Dialect(null_values=('-', '?', 'nil'))", 2, 1.0, id='markers among numbers'),
    pytest.param(b'code,n\nNA,1\nUS,2\nFR,3\n',
                 'qarn.Dialect()', 2, 1.0, id='a marker that is text'),
    pytest.param(b',Sales,,Costs,\nid,q1,q2,q1,q2\n1,2,3,4,5\n6,7,8,9,10\n11,12,13,14,15\n',
                 'qarn.Dialect(skip_rows=1)', 5, 1.0, id='a row naming groups of columns'),
    pytest.param(b'a,b\n1,2\n3,4\n5,6\nx,y,z\nk,l,m\nn,o,p\n',
                 'qarn.Dialect(skip_footer=3)', 2, 1.0, id='a second table below'),
    pytest.param(b'title\r\r\na,b\r1,2\r3,4\r5,6\r',
                 'qarn.Dialect(skip_rows=2)', 2, 1.0, id='CR line ends and a title'),
    pytest.param(b'nom;ville\n\xe9t\xe9;Z\xfcrich\n1;\xff\xfe\n2;x\n',
                 "qarn.Dialect(delimiter=';', encoding='cp1252', skip_rows=1)", 2, 0.7, id='cp1252'),
    pytest.param(b'id,val\n1,\xc2\xa012\xc2\xa0\n2,\xd9\xa3\n3,\xc2\xb2\n4,\xe2\x80\x83 5\n',
                 'qarn.Dialect()', 2, 1.0, id='Unicode digits and spaces'),
    pytest.param(b'code,name\nAB-12,x\nCD-34,y\nEF-56,z\nGH-78,w\n',
                 'qarn.Dialect()', 2, 1.0, id='codes of one shape'),
    pytest.param(b'when,n\n2024-01-02T10:00Z,1\n3/4/24 5:06 PM,2\n10:30:15.5,3\n2024.1.2 9:00+0530,4\n',
                 'qarn.Dialect()', 2, 1.0, id='dates and times'),
    pytest.param(b'price,qty\n$1,234.50,2\n\xe2\x82\xac 12,3\n1.5e3,4\n-inf,5\n',
                 'qarn.Dialect(header=False, skip_rows=2)', 2, 1.0, id='currencies and exponents'),
    pytest.param(b'a|b|c\n1|TRUE|x\n2|no|y\n3|Yes|z\n',
                 "qarn.Dialect(delimiter='|')", 3, 1.0, id='truth values'),
    pytest.param(b'Report\n\nid,amount\n1,2.5\n2,3.5\n3,4.5\n\nTotal,10.5\nSource: us\n',
                 'qarn.Dialect(skip_rows=2, skip_footer=2)', 2, 1.0, id='a title and notes around'),
    pytest.param(b'a;b\n"x;1";2\n"y""z";3\n\'w\';4\n',
                 "qarn.Dialect(delimiter=';')", 2, 0.79, id='quoted delimiters and doubled quotes'),
    pytest.param(b'address\r\n"12 Main St, Springfield"\r\n"4 Elm Rd, Shelbyville"\r\n"9 Oak Ave, Ogdenville"\r\n',
                 'qarn.Dialect()', 1, 0.7, id='one column quoted for its commas'),
    pytest.param(b'comment\n"Great, thanks"\n"Line one\nline two"\nok\n"Slow; but fine"\n',
                 'qarn.Dialect()', 1, 0.28, id='one column quoted for commas and line ends'),
    pytest.param(b'id;name;amount\r\n1;Anna;2,50;\r\n2;Ben;3,75;\r\n3;Cy;4,00;\r\n',
                 "qarn.Dialect(delimiter=';')", 3, 0.78, id='a delimiter ending every row'),
]


@pytest.mark.parametrize(("data", "dialect", "columns", "confidence"), PARTS)
def test_each_part_of_the_guess_gives_its_answer(data, dialect, columns, confidence):
    found = qarn.sniff_details(data)
    assert (repr(found.dialect), found.columns, found.confidence) == (dialect, columns, confidence)
