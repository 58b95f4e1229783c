"""qarn.convert's reading options by example: compressed input, encodings
and the errors of bytes they do not define, qarn.Dialect, qarn.CsvError and
every bad argument."""

import bz2
import csv
import gzip
import re
import io
import lzma
import pickle
import sys
import zipfile

import pytest
import zstandard

import qarn
from _qarn import csv_to_qarn
from qarn_decoder import text_table

CSV = "id,name\n1,ann\n2,é\n".encode()
QARN = csv_to_qarn(CSV)


def zipped(data: bytes, name: str = "t.csv", stored: bool = False) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED) as archive:
        member = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
        member.external_attr = 1  # read-only; 0 would become 0o600 << 16, which is not ASCII
        archive.writestr(member, data)
    return out.getvalue()


COMPRESSED = {
    "gzip": (".gz", gzip.compress),
    "bz2": (".bz2", bz2.compress),
    "xz": (".xz", lzma.compress),
    "zstd": (".zst", zstandard.ZstdCompressor().compress),
    "zip": (".zip", zipped),
}


def given_as(way, data, suffix, compression, tmp_path):
    """The data as a source, and the compression argument that goes with it."""
    if way == "bytes":
        return data, "infer"
    if way == "explicit":
        return memoryview(data), compression
    if way == "BytesIO":
        return io.BytesIO(data), "infer"
    path = tmp_path / ("t" + (suffix if way == "path" else ".csv"))
    path.write_bytes(data)
    return (open(path, "rb") if way == "file" else path), "infer"


# ------------------------------------------------------------- compression


@pytest.mark.parametrize("compression", sorted(COMPRESSED))
@pytest.mark.parametrize("way", ["bytes", "explicit", "BytesIO", "path", "path without suffix", "file"])
def test_compressed_input_converts_as_its_text(compression, way, tmp_path):
    suffix, compress = COMPRESSED[compression]
    source, argument = given_as(way, compress(CSV), suffix, compression, tmp_path)
    try:
        assert qarn.convert(source, compression=argument, chunk_size=2) == csv_to_qarn(CSV, 2)
    finally:
        if hasattr(source, "close"):
            source.close()


@pytest.mark.parametrize("compression", ["gzip", "bz2", "xz", "zstd"])
def test_streams_one_after_another_are_one_text(compression):
    compress = COMPRESSED[compression][1]
    assert qarn.convert(compress(CSV) + compress(b"3,x\n")) == csv_to_qarn(CSV + b"3,x\n")


@pytest.mark.parametrize("module", ["zlib", "isal.isal_zlib"])
def test_gzip_reads_the_same_with_either_inflater(module, monkeypatch):
    inflater = pytest.importorskip(module)
    monkeypatch.setattr("qarn._compression.inflater", lambda: inflater)
    assert qarn.convert(gzip.compress(CSV) + gzip.compress(b"3,x\n")) == csv_to_qarn(CSV + b"3,x\n")
    assert qarn.convert(gzip.compress(CSV) + b"\0" * 7) == csv_to_qarn(CSV)  # padding, as gzip allows
    with pytest.raises(ValueError, match="^cannot decompress the gzip input: 2 bytes after the last member"):
        qarn.convert(gzip.compress(CSV) + b"\0zz")
    with pytest.raises(ValueError, match="^cannot decompress the gzip input: "):
        qarn.convert(gzip.compress(CSV * 50)[:-9])
    with pytest.raises(ValueError, match="^cannot decompress the gzip input: "):
        qarn.convert(gzip.compress(CSV)[:10] + b"\xff" * 40)


@pytest.mark.parametrize("compression", sorted(COMPRESSED))
@pytest.mark.parametrize("way", ["explicit", "path", "bytes"])
def test_a_cut_stream_is_an_error_naming_its_compression(compression, way, tmp_path):
    if way == "bytes" and compression in ("bz2", "zip"):
        pytest.skip("an ASCII magic number is not enough: text may start so")
    suffix, compress = COMPRESSED[compression]
    source, argument = given_as(way, compress(CSV * 50)[:-9], suffix, compression, tmp_path)
    with pytest.raises(ValueError, match=f"^cannot decompress the {compression} input: "):
        qarn.convert(source, compression=argument)


def ascii_zip() -> bytes:
    """A zip archive, stored, whose every byte is ASCII: valid CSV as well."""
    for n in range(1000):
        archive = zipped(b"a,b\n%d,2\n" % n, stored=True)
        if archive.isascii():
            return archive
    raise AssertionError("no ASCII archive")


@pytest.mark.parametrize(
    "data",
    [b"BZh,x\n1,2\n", b"BZh91AY&SY\n", b"PK\x03\x04,x\n1,2\n", ascii_zip()],
    ids=["BZh text", "bz2 header only", "PK text", "ASCII zip archive"],
)
def test_text_that_starts_like_an_archive_converts_as_text(data):
    assert qarn.convert(data) == csv_to_qarn(data)
    if data == ascii_zip():  # unless asked
        assert qarn.convert(data, compression="zip") == csv_to_qarn(zipfile.ZipFile(io.BytesIO(data)).read("t.csv"))


@pytest.mark.parametrize(
    "members, message",
    [
        ({}, "holds none"),
        ({"a.csv": b"a\n", "b.csv": b"b\n"}, "holds 'a.csv', 'b.csv'"),
    ],
)
def test_a_zip_archive_must_hold_one_file(members, message, tmp_path):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        archive.mkdir("folder")  # folders do not count
        for name, data in members.items():
            archive.writestr(name, data)
    path = tmp_path / "t.zip"
    path.write_bytes(out.getvalue())
    for source in (path, out.getvalue()):
        with pytest.raises(ValueError, match=f"^a zip archive must hold exactly one file to convert; this one {message}$"):
            qarn.convert(source)


def test_zstd_without_its_module_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "zstandard", None)
    with pytest.raises(ImportError, match=r"pip install 'qarn\[zstd\]'"):
        qarn.convert(COMPRESSED["zstd"][1](CSV))
    assert qarn.convert(gzip.compress(CSV)) == QARN


# --------------------------------------------------------------- encodings

SINGLE_BYTE = ["latin-1", "cp1252", "iso8859-15", "cp1251", "koi8-r", "mac-roman", "cp437", "cp850", "ascii"]


@pytest.mark.parametrize("encoding", SINGLE_BYTE)
def test_every_character_of_a_single_byte_encoding_converts(encoding):
    # Each byte the encoding defines, in a quoted field of its own line.
    text = "".join(
        f'"{char.replace(chr(34), chr(34) * 2)}",{byte}\n'
        for byte in range(1, 256)
        if (char := _decoded(bytes([byte]), encoding)) is not None
    )
    data = text.encode(encoding)
    assert qarn.convert(data, encoding=encoding, sample_rows=0) == csv_to_qarn(text.encode(), sample_rows=0)


def _decoded(data, encoding):
    try:
        return data.decode(encoding)
    except UnicodeDecodeError:
        return None


@pytest.mark.parametrize(
    "encoding, text",
    [
        ("shift_jis", "名前,値\nｶﾀｶﾅ,東京\n"),  # one byte and two byte characters
        ("gbk", "名字,值\n北京,1\n"),
        ("euc-jp", "名前,値\n東京,1\n"),
        ("big5", "名字,值\n台北,1\n"),
        ("cp037", "name,value\nJosé,1\n"),  # EBCDIC: even ASCII is other bytes
        ("utf-16-be", "name,value\nJosé,😀\n"),
        ("utf-32-le", "\ufeffname,value\nJosé,😀\n"),
        ("utf-7", "name,value\nJosé,+1\n"),
    ],
)
def test_other_encodings_convert_through_their_codec(encoding, text):
    assert qarn.convert(text.encode(encoding), encoding=encoding) == csv_to_qarn(text.encode())


def test_utf8_with_a_signature_drops_it_and_the_reader_the_next():
    twice = b"\xef\xbb\xbf" * 2 + CSV
    assert qarn.convert(twice, encoding="utf-8-sig") == QARN
    assert qarn.convert(twice) == csv_to_qarn(twice)  # as plain UTF-8: one is content
    with pytest.raises(qarn.CsvError) as caught:
        qarn.convert(twice + b"\xff\n", encoding="utf-8-sig")
    assert (caught.value.record, caught.value.line, caught.value.byte) == (3, 4, len(twice))


@pytest.mark.parametrize(
    "data, options, message, where",
    [
        (b"a,b\n1,\x81\n", {"encoding": "cp1252"}, "CSV parse error: CSV parse error: record 1 (line 2, field: 1, "
         "byte: 4): cannot decode byte 0x81 at byte 6 with 'cp1252'", ("data", 1, 2, 1, 4)),
        (b"a,\x81b\n1,2\n", {"encoding": "cp1252"}, "CSV header error: CSV parse error: record 0 (line 1, field: 1, "
         "byte: 0): cannot decode byte 0x81 at byte 2 with 'cp1252'", ("header", 0, 1, 1, 0)),
        # The record starts lines before the byte, in bytes of the input (é is one).
        (b'a,b\n\xe9,"x\ny\n\x80', {"encoding": "ascii"}, "CSV parse error: CSV parse error: record 1 (line 2, "
         "field: 0, byte: 4): cannot decode byte 0xe9 at byte 4 with 'ascii'", ("data", 1, 2, 0, 4)),
        (b'a,b\n\xe9,"x\ny\xff\n', {"encoding": "iso8859-7"}, "CSV parse error: CSV parse error: record 1 (line 2, "
         "field: 1, byte: 4): cannot decode byte 0xff at byte 10 with 'iso8859-7'", ("data", 1, 2, 1, 4)),
        ("a,b\nü,2\n".encode("utf-16")[:-1], {"encoding": "utf-16"}, "CSV parse error: CSV parse error: record 1 "
         "(line 2, field: 1, byte: 10): cannot decode byte 0x0a at byte 16 with 'utf-16': truncated data",
         ("data", 1, 2, 1, 10)),
        ("a,b\n1,".encode("utf-16-be") + b"\xdc\x00\n", {"encoding": "utf-16-be"}, "CSV parse error: CSV parse "
         "error: record 1 (line 2, field: 1, byte: 8): cannot decode bytes 0xdc 0x00 at byte 12 with 'utf-16-be': "
         "illegal encoding", ("data", 1, 2, 1, 8)),
        ("名,値\n東京,1\n".encode("shift_jis") + b"\x81", {"encoding": "shift_jis"}, "CSV parse error: CSV parse "
         "error: record 2 (line 3, field: 0, byte: 13): cannot decode byte 0x81 at byte 13 with 'shift_jis': "
         "incomplete multibyte sequence", ("data", 2, 3, 0, 13)),
        # Records counted as though a header row were there.
        (b"1,\x81\n", {"encoding": "cp1252", "header": False}, "CSV parse error: CSV parse error: record 1 "
         "(line 1, field: 1, byte: 0): cannot decode byte 0x81 at byte 2 with 'cp1252'", ("data", 1, 1, 1, 0)),
        # A header row that names replace is decoded all the same.
        (b"a,\x81\n1,2\n", {"encoding": "cp1252", "column_names": ["x", "y"]}, "CSV header error: CSV parse error: "
         "record 0 (line 1, field: 1, byte: 0): cannot decode byte 0x81 at byte 2 with 'cp1252'",
         ("header", 0, 1, 1, 0)),
        # Lines and bytes of the input as given, skipped lines included.
        (b"skip\r\n\xe9\na,b\n1,\x81\n", {"encoding": "cp1252", "skip_rows": 2}, "CSV parse error: CSV parse "
         "error: record 1 (line 4, field: 1, byte: 12): cannot decode byte 0x81 at byte 14 with 'cp1252'",
         ("data", 1, 4, 1, 12)),
        # In a line the reader skips, there is no record.
        (b"skip \x81\na,b\n", {"encoding": "cp1252", "skip_rows": 1}, "CSV header error: CSV parse error: line 1 "
         "(byte: 5): cannot decode byte 0x81 at byte 5 with 'cp1252', in a line that is skipped",
         ("header", None, 1, None, 5)),
        (b"a,b\n#\x81\n1,2\n", {"encoding": "cp1252", "comment": "#"}, "CSV parse error: CSV parse error: line 2 "
         "(byte: 5): cannot decode byte 0x81 at byte 5 with 'cp1252', in a line that is skipped",
         ("data", None, 2, None, 5)),
        # The converter's own errors, unchanged.
        (b"a,b\n1,\xff\n", {}, "CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 4): invalid "
         "utf-8: invalid UTF-8 in field 1 near byte index 0", ("data", 1, 2, 1, 4)),
        (b"x\n\xff\n", {"skip_rows": 1}, "CSV header error: CSV parse error: record 0 (line 2, field: 0, byte: 2): "
         "invalid utf-8: invalid UTF-8 in field 0 near byte index 0", ("header", 0, 2, 0, 2)),
        (gzip.compress(b"a\n\xff\n"), {}, "CSV parse error: CSV parse error: record 1 (line 2, field: 0, byte: 2): "
         "invalid utf-8: invalid UTF-8 in field 0 near byte index 0", ("data", 1, 2, 0, 2)),
    ],
)
def test_csv_errors_tell_where_in_the_input(data, options, message, where, tmp_path):
    with pytest.raises(qarn.CsvError) as caught:
        qarn.convert(data, **options)
    error = caught.value
    assert str(error) == message
    assert (error.stage, error.record, error.line, error.field, error.byte) == where
    # The same from a file, which is mapped: no view of it may outlive the error.
    (tmp_path / "in.csv").write_bytes(data)
    with pytest.raises(qarn.CsvError, match=re.escape(message)):
        qarn.convert(tmp_path / "in.csv", **options)
    if not options:
        with pytest.raises(ValueError) as plain:
            csv_to_qarn(gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data)
        assert str(plain.value) == message


def test_csv_errors_survive_pickling():
    # Conversion jobs on other processes send their errors back pickled.
    with pytest.raises(qarn.CsvError) as caught:
        qarn.convert(b"a\n\xff\n")
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (str(copy), copy.stage, copy.record, copy.byte) == (str(caught.value), "data", 1, 2)


# ------------------------------------------------------------ dialect

@pytest.mark.parametrize("text", ['"a""b",c\n', '"a""b""",c\n', 'x,"a\\"b"\n', '"a"b"c",d\n', 'a\\,b,c\n'])
def test_quotes_that_do_not_double_read_as_pythons_csv_reads_them(text):
    data = (text + "1,2\n").encode()
    names = csv.reader(io.StringIO(text), doublequote=False, escapechar="\\").__next__()
    assert text_table(qarn.convert(data, doublequote=False, escapechar="\\", sample_rows=0))[0] == names


def test_keywords_override_the_dialect_field_by_field():
    dialect = qarn.Dialect(delimiter=";", encoding="cp1252", skip_rows=1)
    data = "skipped\nname;city\nJosé;x,y\n".encode("cp1252")
    assert qarn.convert(data, dialect=dialect) == csv_to_qarn('name,city\nJosé,"x,y"\n'.encode())
    assert qarn.convert(data, dialect=dialect, delimiter=",") == csv_to_qarn('"name;city"\n"José;x",y\n'.encode())
    assert qarn.convert(data, dialect=dialect, skip_rows=0, header=False, delimiter="|") == csv_to_qarn(
        'column_1\nskipped\nname;city\n"José;x,y"\n'.encode())


@pytest.mark.parametrize(
    "dialect, spelled",
    [
        (qarn.Dialect(), "qarn.Dialect()"),
        (qarn.Dialect(escapechar="\\", doublequote=False, newlines_in_values=False, encoding="cp1252",
                      header=False, skip_rows=2, comment="#"),
         "qarn.Dialect(escapechar='\\\\', doublequote=False, newlines_in_values=False, encoding='cp1252', "
         "header=False, skip_rows=2, comment='#')"),
    ],
)
def test_a_dialect_spells_itself_as_python(dialect, spelled):
    assert repr(dialect) == spelled
    assert eval(spelled, {"qarn": qarn}) == dialect
    with pytest.raises(AttributeError):
        dialect.delimiter = "|"


# ------------------------------------------------------------ bad arguments

@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"delimiter": ", "}, ValueError, r"^delimiter must be a single character, not ', ' \(2 characters\)$"),
        ({"delimiter": ""}, ValueError, r"^delimiter must be a single character, not ''"),
        ({"delimiter": None}, TypeError, r"^delimiter must be a one-character string, not NoneType$"),
        ({"delimiter": b","}, TypeError, r"^delimiter must be a one-character string, not bytes$"),
        ({"delimiter": "§"}, ValueError, r"^delimiter must be an ASCII character, not '§'$"),
        ({"delimiter": "\n"}, ValueError, r"^delimiter cannot be a line end, got '\\n'$"),
        ({"delimiter": '"'}, ValueError, r"""^delimiter and quotechar must differ, both are '"'$"""),
        ({"delimiter": "\\", "escapechar": "\\"}, ValueError, r"^delimiter and escapechar must differ"),
        ({"quotechar": "\r"}, ValueError, r"^quotechar cannot be a line end, got '\\r'$"),
        ({"quotechar": "«"}, ValueError, r"^quotechar must be an ASCII character, not '«'$"),
        ({"quotechar": "''"}, ValueError, r"^quotechar must be a single character"),
        ({"quotechar": 1}, TypeError, r"^quotechar must be a one-character string or None, not int$"),
        ({"escapechar": '"'}, ValueError, r"""^quotechar and escapechar must differ, both are '"'$"""),
        ({"escapechar": ""}, ValueError, r"^escapechar must be a single character"),
        ({"comment": ","}, ValueError, r"^delimiter and comment must differ, both are ','$"),
        ({"comment": "##"}, ValueError, r"^comment must be a single character"),
        ({"doublequote": "no"}, TypeError, r"^doublequote must be True or False, not str$"),
        ({"newlines_in_values": 0}, TypeError, r"^newlines_in_values must be True or False, not int$"),
        ({"header": None}, TypeError, r"^header must be True or False, not NoneType$"),
        ({"skip_rows": -1}, ValueError, r"^skip_rows must be 0 or more and below 2\*\*64, not -1$"),
        ({"skip_rows": 1.0}, TypeError, r"^skip_rows must be an int, not float$"),
        ({"skip_rows": True}, TypeError, r"^skip_rows must be an int, not bool$"),
        ({"encoding": "no-such-codec"}, ValueError, r"^encoding 'no-such-codec' is unknown$"),
        ({"encoding": "rot13"}, ValueError, r"^encoding 'rot13' is not a text encoding$"),
        ({"encoding": None}, TypeError, r"^encoding must be a string, not NoneType$"),
        ({"column_names": "ab"}, TypeError, r"^column_names must be a list of strings or None, not str$"),
        ({"column_names": ["a", 1]}, TypeError, r"^column_names must be strings, not int$"),
        ({"column_names": []}, ValueError, r"^column_names must name at least one column$"),
        ({"compression": "rar"}, ValueError, r"^compression must be 'infer', 'gzip', 'bz2', 'xz', 'zstd', 'zip' "
                                             r"or None, not 'rar'$"),
        ({"compression": "gz"}, ValueError, r"^compression must be .* not 'gz'$"),
        ({"dialect": "Auto"}, TypeError,
         r'^dialect must be a qarn.Dialect, "auto", a dialect of the csv module or its name, or None, not \'Auto\'$'),
        ({"dialect": dict}, TypeError, r'^dialect must be a qarn.Dialect, "auto", .* or None, not type$'),
    ],
)
def test_bad_options_name_the_option(options, error, message):
    with pytest.raises(error, match=message) as caught:
        qarn.convert(CSV, **options)
    assert "\n" not in str(caught.value)
    dialect_fields = {k: v for k, v in options.items() if k not in ("column_names", "compression", "dialect")}
    if dialect_fields:  # a Dialect says the same
        with pytest.raises(error, match=message):
            qarn.Dialect(**dialect_fields)


@pytest.mark.parametrize(
    "call, options, message",
    [
        (qarn.convert, {"sep": ";"}, "convert() got an unexpected keyword argument 'sep'; qarn calls it delimiter"),
        (qarn.convert, {"usecols": ["a"]}, "convert() got an unexpected keyword argument 'usecols'; a conversion "
                                           "keeps every column; choose them when reading: qarn.read(q, columns=[...])"),
        (qarn.convert, {"parse_dates": ["a"]}, "parse_dates must be True or False, not list; to read given columns "
                                               "as dates, choose their type: column_types={'when': 'date'}"),
        (qarn.read, {"usecols": ["a"]}, "read() got an unexpected keyword argument 'usecols'; qarn calls it columns"),
    ],
)  # fmt: skip
def test_options_spelt_as_other_readers_spell_them_say_what_they_are_called_here(call, options, message):
    source = CSV if call is qarn.convert else qarn.convert(CSV)
    with pytest.raises(TypeError) as caught:
        call(source, **options)
    assert str(caught.value) == message
