"""`qarn convert` with the options that say how to read the CSV: each gives
the bytes of `qarn.convert` with the same keywords, bad values are usage
errors, and files that are not CSV text get a hint."""

import gzip

import pytest

import _qarn
import qarn
from cli_support import not_when_sanitized, run_qarn

pytestmark = not_when_sanitized

COMMA_TEXT = b'name,city,n\n"Ann, Bo",Paris,1\nEve,"say ""hi""",2\n'


@pytest.mark.parametrize(
    "text, arguments",
    [
        (b"name;city;n\n'Ann, Bo';Paris;1\nEve;say \"hi\";2\n", ["--delimiter", "semicolon", "--quotechar", "'"]),
        (b"name\tcity\tn\nAnn, Bo\tParis\t1\nEve\tsay \"hi\"\t2\n", ["--delimiter", "tab", "--quotechar", "none"]),
        (b"name\tcity\tn\nAnn, Bo\tParis\t1\nEve\tsay \"hi\"\t2\n", ["--delimiter", "\\t", "--quotechar", "none"]),
        (b'name|city|n\n"Ann, Bo"|Paris|1\nEve|"say \\"hi\\""|2\n', ["--delimiter", "pipe", "--escapechar", "\\", "--no-doublequote"]),
        (b"# exported\nTitle\n\nname,city,n\n\"Ann, Bo\",Paris,1\n# note\nEve,\"say \"\"hi\"\"\",2\n", ["--skip-rows", "2", "--comment", "#"]),
        ('name,city,n\n"Ann, Bo",Paris,1\nEve,"say ""hi""",2\n'.encode("cp1252"), ["--encoding", "cp1252"]),
        ('name,city,n\n"Ann, Bo",Paris,1\nEve,"say ""hi""",2\n'.encode("utf-16"), ["--encoding", "utf-16"]),
        (b'name, city,  n\n"Ann, Bo",  Paris, 1\n  Eve, "say ""hi""",2\n', ["--skipinitialspace"]),
    ],
)
def test_each_dialect_converts_as_the_comma_text(tmp_path, text, arguments):
    (tmp_path / "in.csv").write_bytes(text)
    run_qarn("convert", "in.csv", *arguments, cwd=tmp_path, check_status=0)
    assert (tmp_path / "in.qarn").read_bytes() == _qarn.csv_to_qarn(COMMA_TEXT)


def test_a_guess_of_skipped_spaces_can_be_undone(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a, b\n1, x\n2, y\n")
    run_qarn("convert", "in.csv", "--auto", cwd=tmp_path, check_status=0)
    assert qarn.read(tmp_path / "in.qarn").column_names == ["a", "b"]
    run_qarn("convert", "in.csv", "--auto", "--no-skipinitialspace", cwd=tmp_path, check_status=0)
    assert (tmp_path / "in.qarn").read_bytes() == _qarn.csv_to_qarn(b"a, b\n1, x\n2, y\n")


def test_header_names_and_compression(tmp_path):
    (tmp_path / "rows.csv.gz").write_bytes(gzip.compress(b"1,2\n3,4\n"))
    (tmp_path / "plain.csv").write_bytes(gzip.compress(b"1,2\n3,4\n"))
    run_qarn("convert", "rows.csv.gz", "--no-header", cwd=tmp_path, check_status=0)
    assert (tmp_path / "rows.qarn").read_bytes() == _qarn.csv_to_qarn(b"column_1,column_2\n1,2\n3,4\n")
    run_qarn("convert", "plain.csv", "--no-header", "--column-names", "a,b", "--compression", "gzip", cwd=tmp_path, check_status=0)
    assert (tmp_path / "plain.qarn").read_bytes() == _qarn.csv_to_qarn(b"a,b\n1,2\n3,4\n")


def test_null_markers_chosen_types_and_every_row(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"zip,n\n00501,NA\n02134,2\n" + b"9,3\n" * 3 + b"x,2.5\n")
    run_qarn("convert", "in.csv", "--null-values", "NA,NULL", "--column-types", "zip=string", cwd=tmp_path,
             check_status=0)
    assert (tmp_path / "in.qarn").read_bytes() == qarn.convert(
        tmp_path / "in.csv", null_values=["NA", "NULL"], column_types={"zip": "string"})
    run_qarn("convert", "in.csv", "--sample-rows", "all", "--column-types", "0=string", cwd=tmp_path, check_status=0)
    assert qarn.read(tmp_path / "in.qarn").column_types == ["string", "string"]
    run_qarn("convert", "in.csv", "--sample-rows", "all", "--null-values", "default", cwd=tmp_path, check_status=0)
    assert qarn.read(tmp_path / "in.qarn").column_types == ["string", "double"]


@pytest.mark.parametrize(
    "arguments",
    [
        ["--delimiter", "semicolon", "--decimal", "comma", "--thousands", "period"],
        ["--sep", ";", "--decimal", ",", "--thousands", "."],
        ["--delimiter", ";", "--decimal", "COMMA", "--thousands", "dot"],
    ],
)
def test_decimal_comma_and_thousands_separator(tmp_path, arguments):
    (tmp_path / "in.csv").write_bytes(b"n;x;s\n1.000;2,5;1.5\n-3;1.234,75;1,5\n")
    run_qarn("convert", "in.csv", *arguments, cwd=tmp_path, check_status=0)
    converted = (tmp_path / "in.qarn").read_bytes()
    assert converted == qarn.convert(tmp_path / "in.csv", delimiter=";", decimal=",", thousands=".")
    assert qarn.read(converted).column_types == ["int", "double", "string"]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--delimiter", ";;"], "delimiter"),
        (["--delimiter", '"'], "delimiter"),
        (["--encoding", "no-such-codec"], "no-such-codec"),
        (["--compression", "rar"], "invalid choice"),
        (["--skip-rows", "-1"], "must be at least 0"),
        (["--skip-rows", str(2**64)], "must be below 2**64"),
        (["--quotechar", ""], "quotechar must be a single character"),
        (["--column-types", "a=datetime"], "column_types['a'] must be one of bool, int, long, float, double, string, date, timestamp"),
        (["--column-types", "=int"], "expected COLUMN=TYPE"),
        (["--sample-rows", "some"], "not a whole number"),
        (["--decimal", "semicolon"], "decimal must be one of '.' ','"),
        (["--thousands", "_"], "thousands must be one of"),
        (["--decimal", "comma", "--thousands", ","], "thousands must differ from decimal, which is ','"),
    ],
)
def test_bad_reading_options_are_usage_errors(tmp_path, arguments, message):
    (tmp_path / "a.csv").write_bytes(b"a\n1\n")
    result = run_qarn("convert", "a.csv", *arguments, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "a.qarn").exists()


@pytest.mark.parametrize(
    "content, arguments, line",
    [
        (b"a,b\n1,caf\xe9\n", [], "record 1 (line 2, field 1, byte 4): not valid UTF-8; if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"),
        # Where the record begins, past the LF of the CR LF before it and a blank line.
        (b"a,b\r\n1,x\r\n\r\n2,\xff\r\n", [], "record 2 (line 4, field 1, byte 12): not valid UTF-8; if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"),
        # The same in its decompressed text.
        (gzip.compress(b"a,b\r\n1,x\r\n\r\n2,\xff\r\n"), [], "record 2 (line 4, field 1, byte 12): not valid UTF-8; if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"),
        (b"h\xe9\n1\n", [], "the header row (line 1, field 0, byte 0): not valid UTF-8; if the file was written by a Windows program, try --encoding cp1252 (or latin-1)"),
        (gzip.compress(b"a\n1\n"), ["--compression", "none"], "the header row (line 1, field 0, byte 0): not valid UTF-8; the file starts with the gzip magic bytes: use --compression gzip"),
        ("a,b\n1,2\n".encode("utf-16-le"), [], "looks like UTF-16 text without a byte-order mark: use --encoding utf-16-le"),
        ("a,b\n1,2\n".encode("utf-16"), [], "the header row (line 1, field 0, byte 0): not valid UTF-8; the file starts with a UTF-16 byte-order mark: use --encoding utf-16"),
        (b'a,b\n1,x\n2,"q\n\x81"\n', ["--encoding", "cp1252"], "record 2 (line 3, field 1, byte 8): cannot decode byte 0x81 at byte 13 with 'cp1252'"),
        (qarn.convert(b"a\n1\n"), [], "looks like a QARN file already, not CSV (qarn inspect shows what it holds)"),
    ],
)
def test_files_that_are_not_csv_text_fail_in_one_line_with_a_hint(tmp_path, content, arguments, line):
    (tmp_path / "in.csv").write_bytes(content)
    result = run_qarn("convert", "in.csv", *arguments, cwd=tmp_path, check_status=1)
    assert result.stderr == f"qarn: in.csv: {line}\n"
    assert not (tmp_path / "in.qarn").exists()
    if not content.startswith(b"N|"):  # inspect shows a QARN file, whatever its name
        shown = run_qarn("inspect", "in.csv", *arguments, cwd=tmp_path, check_status=1)
        assert shown.stderr == f"qarn: in.csv: {line}\n"
