"""Nothing lost without a word: conversion counts fields that do not fit
their column's type (misfits; empty fields and null markers are missing
values instead) and records with fields beyond the last column, lists them
with `rejects=`, fails on the first with `strict=True`, and warns otherwise.
Checked against the plain grammars of tests/reference.py."""

import csv
import io
import re
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qarn
import reference
from cli_support import not_when_sanitized, run_qarn
from csv_strategies import tables
from scale import examples
from test_type_options import sizes

pytestmark = pytest.mark.usefixtures("threads_for_small_inputs")
SETTINGS = settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])


def text_and_starts(names, rows) -> tuple[bytes, list[tuple[int, int]]]:
    """The comma text, and the (line, byte) where each record begins: LF, CR
    and CR LF each end a line."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    starts = []
    for row in rows:
        so_far = out.getvalue()
        starts.append((len(re.findall("\r\n|\r|\n", so_far)) + 1, len(so_far.encode())))
        writer.writerow(row)
    return out.getvalue().encode(), starts


def quoted(field: str) -> str:
    """An extra field as the rejects spell it: quoted where it would not
    otherwise stay one field."""
    return '"' + field.replace('"', '""') + '"' if any(c in field for c in ',"\r\n') else field


def expected_rejects(names, rows, table, starts):
    """What the reference grammars lose of each record, in order."""
    utc = "timestamp[us, tz=UTC]"
    kinds = ["timestamp[UTC]" if column.logical_type == utc else column.type for column in table]
    rejects = []
    for number, (row, (line, byte)) in enumerate(zip(rows, starts), start=1):
        for position, kind in enumerate(kinds):
            cell = row[position] if position < len(row) else ""
            if cell and reference.convert(cell, kind) is None:
                rejects.append((number, line, byte, names[position], cell))
        extra = row[len(names):]
        if any(extra):  # empty extra fields, as after a trailing delimiter, lose nothing
            rejects.append((number, line, byte, "(extra fields)", ",".join(map(quoted, extra))))
    return rejects


@given(tables(), sizes, st.booleans())
@SETTINGS
def test_rejects_hold_exactly_the_cells_lost(tmp_path_factory, table, size, dates):
    names, rows = table
    text, starts = text_and_starts(names, rows)
    target = tmp_path_factory.mktemp("rejects") / "rejects.csv"
    data = qarn.convert(text, rejects=target, parse_dates=dates, **size)
    want = expected_rejects(names, rows, qarn.read(data), starts)
    got = [(int(r), int(l), int(b), c, t) for r, l, b, c, t in list(csv.reader(io.StringIO(target.read_bytes().decode())))[1:]]
    assert got == want
    # The same conversion otherwise: the bytes do not depend on asking.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert qarn.convert(text, parse_dates=dates, **size) == data
    assert [w.category for w in caught] == ([qarn.LostCellsWarning] if want else [])
    if want:
        with pytest.raises(ValueError, match=rf"^record {want[0][0]} \(line {want[0][1]}, byte {want[0][2]}\): "):
            qarn.convert(text, strict=True, parse_dates=dates, **size)


@pytest.mark.parametrize(
    "text, options, rejects",
    [
        # A record after comment lines begins after them.
        (b"a,b\n1,2\n# note\n# more\nx,4\n", {"comment": "#"}, [(2, 5, 22, "a", "x")]),
        (b"a,b\r\n1,2\r\n\r\nx,4\r\n", {}, [(2, 4, 12, "a", "x")]),
        # So does one after lines of spaces the dialect skips, and after a
        # comment they indent.
        (b"a\n1\n \n  \nx\n", {"skipinitialspace": True}, [(2, 5, 9, "a", "x")]),
        (b"a\n1\n  # note\n x\n", {"skipinitialspace": True, "comment": "#"}, [(2, 4, 13, "a", "x")]),
        # A trailing delimiter loses nothing; extra fields keep their boundaries.
        (b"a\n1,\n2,\"x,y\"\n3,x,y\n", {}, [(2, 3, 5, "(extra fields)", '"x,y"'), (3, 4, 13, "(extra fields)", "x,y")]),
    ],
)
def test_where_rejects_lie_and_what_they_hold(tmp_path, text, options, rejects):
    qarn.convert(text, column_types={"a": "int"}, rejects=tmp_path / "r.csv", **options)
    rows = list(csv.reader(io.StringIO((tmp_path / "r.csv").read_bytes().decode())))[1:]
    assert [(int(r), int(l), int(b), c, t) for r, l, b, c, t in rows] == rejects


def test_nothing_replaces_the_input(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a\n1\n")
    for options in ({"target": tmp_path / "in.csv"}, {"rejects": str(tmp_path / "in.csv")}):
        with pytest.raises(ValueError, match="is the input file, which it would replace$"):
            qarn.convert(tmp_path / "in.csv", **options)
    assert (tmp_path / "in.csv").read_bytes() == b"a\n1\n"


def test_whole_file_types_lose_nothing_but_extra_fields():
    text = b"zip,n\n00501,1\n" + b"99999,2\n" * 1500 + b"ABC,3000000000,x\n"
    with pytest.warns(qarn.LostCellsWarning, match="^2 misfits, 1 record with extra fields lost; pass rejects="):
        qarn.convert(text, sample_rows=10, null_values=["NA"])
    with pytest.warns(qarn.LostCellsWarning, match="^1 record with extra fields lost; pass rejects= to list them$"):
        table = qarn.read(qarn.convert(text, sample_rows=None))
    assert table.column_types == ["string", "long"] and table["zip"].values[0] == "00501"


@not_when_sanitized
def test_the_command_tells_missing_cells_from_misfits(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b,n\n1,x,5\n2,,NA\n3.5,y,7,extra\n")
    plain = run_qarn("convert", "in.csv", "--sample-rows", "2", "--null-values", "NA", cwd=tmp_path, check_status=0)
    assert plain.stderr.splitlines()[0].startswith("in.csv -> in.qarn: 3 rows, 3 columns, 2 missing, 1 misfit, "
                                                   "1 record with extra fields, ")
    assert plain.stderr.splitlines()[1] == ("  lost: --rejects FILE lists them; "
                                            "--column-types COLUMN=string or --sample-rows all keeps misfits")
    listed = run_qarn("convert", "in.csv", "--sample-rows", "2", "--rejects", "lost.csv", cwd=tmp_path, check_status=0)
    assert "  lost: listed in lost.csv;" in listed.stderr
    assert (tmp_path / "lost.csv").read_text() == (
        "record,line,byte,column,text\n3,4,18,a,3.5\n3,4,18,(extra fields),extra\n"
    )
    strict = run_qarn("convert", "in.csv", "-o", "strict.qarn", "--sample-rows", "2", "--strict", cwd=tmp_path, check_status=1)
    assert strict.stderr == "qarn: in.csv: record 3 (line 4, byte 18): '3.5' does not fit column 'a' of type int\n"
    assert not (tmp_path / "strict.qarn").exists()
    (tmp_path / "semi.csv").write_bytes(b"a;b\n1;2,5\n")
    semi = run_qarn("convert", "semi.csv", "--escapechar", "none", cwd=tmp_path, check_status=0)
    assert semi.stderr.splitlines()[1:] == ["  lost: --rejects FILE lists them",
                                            "  hint: the header is one column holding semicolons: try --delimiter semicolon"]
    (tmp_path / "two.csv").write_bytes(b"a\n1\n")
    several = run_qarn("convert", "in.csv", "two.csv", "--rejects", "x.csv", cwd=tmp_path, check_status=2)
    assert several.stderr == "qarn: --rejects with several inputs must hold {name}, as in rejects/{name}.csv\n"
    run_qarn("convert", "in.csv", "two.csv", "--sample-rows", "2", "--rejects", "{name}.lost", cwd=tmp_path, check_status=0)
    assert (tmp_path / "in.lost").read_bytes() == (tmp_path / "lost.csv").read_bytes()
    assert (tmp_path / "two.lost").read_text() == "record,line,byte,column,text\n"


@not_when_sanitized
def test_inspect_tells_what_a_csv_file_would_become(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b,n,d\n1,x,5,2024-01-01\n2,,NA,2024-01-02\n3.5,y,7,bad,extra\n")
    result = run_qarn("inspect", "in.csv", "--sample-rows", "2", "--null-values", "NA", "--parse-dates",
                      "--rows", "0", cwd=tmp_path, check_status=0)
    assert result.stdout.decode().splitlines() == [
        "in.csv: CSV, 3 rows, 4 columns, 2 missing, 2 misfits, 1 record with extra fields",
        "  lost: 'qarn convert --rejects FILE' lists them; --column-types COLUMN=string or --sample-rows all keeps misfits",
        "",
        "column  type    missing  misfits",
        "------  ------  -------  -------",
        "a       int           0        1",
        "b       string        1        0",
        "n       int           1        0",
        "d       date          0        1",
    ]
