"""Converting CSV to QARN from Python: in the comma dialect exactly the
bytes of `_qarn.csv_to_qarn`, on several threads and without the
interpreter lock; in other dialects, encodings and compressions what
`_qarn.csv_to_qarn` makes of the same table written in the comma dialect."""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import os
import warnings
from collections.abc import Buffer, Callable, Iterator, Sequence
from typing import Any

from . import _native
from ._atomic import Target, target_writer
from ._column_types import ColumnTypes, native_column_types
from ._compression import check_compression, decompressed, suffix_compression
from ._csv_error import CsvError, is_csv_error, shifted
from ._encoding import check_encoding, is_utf8, to_utf8
from ._logical import column_type_names
from ._lost import LostCells, Reject, LostCellsWarning, how_to_keep, rejects_writer, strict_error
from ._lines import length_without_last_lines
from ._other_names import converting_names, dates_hint
from ._source import Source, open_source
from ._streaming import Opened, Sink, Written, opened, reader, streamable
from ._threads import checked_threads, usable_threads
from .sniff import Sniffed, sniff_buffer
from .dialect import Dialect, is_csv_dialect


# The conversion's defaults, for every way in (the function, the command,
# the conversion jobs of the pool and of Dask).
CHUNK_SIZE = 10000  # rows per table slice
SAMPLE_ROWS = 1000  # rows read to choose the column types

# Inputs smaller than this convert on the calling thread alone: starting
# threads would cost more than they save. The result is the same either way.
SMALLEST_PARALLEL_INPUT = 1 << 20


class _FromDialect:
    """The value of an option not given: the dialect's."""

    def __repr__(self) -> str:
        return "<the dialect's>"


FROM_DIALECT: Any = _FromDialect()


@converting_names
def convert(
    csv_source: Source,
    target: Target | None = None,
    *,
    chunk_size: int = CHUNK_SIZE,
    sample_rows: int | None = SAMPLE_ROWS,
    threads: int | None = None,
    dialect: Dialect | str | type[csv.Dialect] | None = None,
    delimiter: str = FROM_DIALECT,
    quotechar: str | None = FROM_DIALECT,
    escapechar: str | None = FROM_DIALECT,
    doublequote: bool = FROM_DIALECT,
    newlines_in_values: bool = FROM_DIALECT,
    skipinitialspace: bool = FROM_DIALECT,
    encoding: str = FROM_DIALECT,
    header: bool = FROM_DIALECT,
    skip_rows: int = FROM_DIALECT,
    skip_footer: int = FROM_DIALECT,
    comment: str | None = FROM_DIALECT,
    null_values: Sequence[str] | str | None = FROM_DIALECT,
    column_names: Sequence[str] | None = None,
    column_types: ColumnTypes | None = None,
    parse_dates: bool = False,
    decimal: str | None = None,
    thousands: str | None = None,
    compression: str | None = "infer",
    rejects: Target | None = None,
    strict: bool = False,
) -> bytes | None:
    """Converts CSV to QARN. With the options at their defaults, the same
    bytes as `_qarn.csv_to_qarn(data, chunk_size, sample_rows)`, and the
    same message when the CSV cannot be converted.

    `csv_source` is bytes-like (held, not copied, for the call), a path
    (mapped into memory, not read into a copy) or a binary file object
    (a plain file is mapped from where it stands; any other, such as
    `gzip.open(...)`, is read). The result is returned, or written to
    `target` (a path: under a temporary name in the same folder, renamed
    once complete, so that a failed conversion leaves nothing behind; or a
    binary file object) and None is returned.

    With a target, each table slice is written as soon as it is made; a
    regular file given as the source (a path or a plain file object) is
    mapped, and its pages are dropped as the conversion reads past them;
    any other path or file object is read a block at a time (decompressed
    as it is read; a zip archive only from a file that can seek); so that
    memory stays a few table slices per thread, the sample and a 32 MiB
    window of the input, however large the input. Where the
    whole input is needed (a `rejects` list or `strict`, `skip_footer`, an
    encoding other than UTF-8, `dialect="auto"`, and text whose first bytes
    are those of a bz2 or zip archive), it is held (a path: mapped) as
    without a target, and only the output is streamed. `threads` defaults to the
    CPUs this process may use, and no more than those are started; 1
    converts on the calling thread. The
    interpreter lock is released for the whole conversion, so other Python
    threads run meanwhile.

    How the CSV is read comes from `dialect` (a `qarn.Dialect`; default
    `qarn.Dialect()`: comma-separated UTF-8 with a header row; "auto": the
    one `qarn.sniff` guesses from the (decompressed) input), field by
    field overridden by the keywords of the same names: `delimiter` (","),
    `quotechar` ('"'; None: no quoting), `escapechar` (None),
    `doublequote` (True), `newlines_in_values` (True), `skipinitialspace`
    (False: spaces after the delimiter are content), `encoding`
    ("utf-8"), `header` (True), `skip_rows` (0), `skip_footer` (0),
    `comment` (None) and `null_values` (none; "default" for the usual
    markers such as NA and NULL); see `qarn.Dialect` for what each means.

    `column_types` chooses types over inference: one type name for every
    column ("string"), a list by position (None: inferred) or a dict by
    name or position; the names are "bool", "int", "long", "float",
    "double", "string", "date" and "timestamp", and a chosen column's
    fields are converted as an inferred column of that type. A chosen
    timestamp column is in UTC when values have offsets (in the sample, or
    anywhere with `sample_rows=None`).
    `parse_dates=True` lets inference choose dates and timestamps (ISO
    8601; see the README for the exact grammar). `sample_rows=None` infers
    the types from every record, in a pass of its own, so that no value
    misfits its column. `column_names` names the columns: it replaces the
    header row, or with `header=False` stands for the one the input lacks;
    their number is the number of columns.

    `decimal` ("." or ","; None: ".") is the decimal mark of numbers, and `thousands`
    (None, ",", ".", " " or "'"; not the decimal mark) the separator that
    may group the digits before it: 1 to 3 digits, then groups of exactly
    3, each after the separator ("2,639,808", "-1.000,5"); ungrouped
    digits are still a number. Otherwise a number is spelt as usual (sign,
    leading zeros, exponent, inf and nan), and a field that is not a
    number in this spelling, such as "1.5" with `decimal=","` or "1,00"
    with `thousands=","`, is none: not in inference, and a misfit in a
    number column. Both apply to inferred and chosen int, long, float and
    double columns alike; other columns keep their fields as they are.
    With `dialect="auto"` and both None, a decimal comma (and "." as
    `thousands`, where it groups digits) is used where the guess finds
    one: a column of numbers written with one and no decimal point
    anywhere; else "," as `thousands` for the columns of amounts grouped
    by it ("12,500.75", and no plain number of four whole digits or more)
    alone (`qarn.sniff_details` tells).

    A field that does not fit its column's type (a misfit: not an empty
    field or a null marker, which are missing values) is stored as invalid,
    and fields beyond the last column are dropped. `rejects` (a path or a
    binary file object) receives them as CSV: record, line, byte, column
    and the field's text, one row per misfit and per record with extra
    fields (under the column name "(extra fields)", joined by the
    delimiter, each quoted where it holds the delimiter, a quote or a line
    end; empty ones, as after a trailing delimiter, lose nothing). `strict=True` makes the first of them a ValueError
    saying where, and nothing is written. Without either, losing cells
    warns (`qarn.LostCellsWarning`).

    `compression` is "gzip", "bz2", "xz", "zstd" (needs the `zstd` extra),
    "zip" (an archive of one file), None (not compressed), or "infer"
    (the default): from a path's suffix (.gz, .bz2, .xz, .zst, .zip), else
    from the data's first bytes. Compressed input is decompressed into
    memory, but for streamed conversions (see above).

    Bad options raise TypeError or ValueError naming the option. CSV that
    cannot be converted, or bytes the encoding does not define, raise
    `qarn.CsvError` (a ValueError) whose attributes tell where; its
    positions are in the (decompressed) input as given."""
    # First, while the parameters are the only local names.
    options = {name: value for name, value in locals().items() if name not in ("csv_source", "target")}
    for name, path in (("target", target), ("rejects", rejects)):
        if _same_file(csv_source, path):
            raise ValueError(f"{name} is the input file, which it would replace")
    if target is None:
        result, lost = convert_counting(csv_source, **options)
    else:
        with target_writer(target) as write:
            result, lost = convert_counting(csv_source, sink=Sink(write), **options)
    if rejects is None and not strict and lost:
        # At the caller's line, past the check of the keyword names.
        warnings.warn(f"{lost.counts()} lost; {how_to_keep(lost)}", LostCellsWarning, stacklevel=3)
    return result if target is None else None


def _same_file(source: object, target: object) -> bool:
    """Whether two paths name one existing file."""
    if not isinstance(source, (str, os.PathLike)) or not isinstance(target, (str, os.PathLike)):
        return False
    try:
        return os.path.samefile(source, target)
    except OSError:
        return False


def convert_counting(
    csv_source: Source,
    *,
    chunk_size: int = CHUNK_SIZE,
    sample_rows: int | None = SAMPLE_ROWS,
    threads: int | None = None,
    dialect: Dialect | str | type[csv.Dialect] | None = None,
    parse_dates: bool = False,
    decimal: str | None = None,
    thousands: str | None = None,
    column_names: Sequence[str] | None = None,
    column_types: ColumnTypes | None = None,
    compression: str | None = "infer",
    rejects: Target | None = None,
    strict: bool = False,
    sink: Sink | None = None,
    **dialect_fields: Any,
) -> tuple[bytes | Written, LostCells]:
    """`convert` into memory, or into `sink` as it goes (then what was
    written is returned), with what was lost: for the command line, which
    reports it. Writes `rejects`; raises for `strict`."""
    threads = checked_threads(threads)
    sniffing = isinstance(dialect, str) and dialect == "auto"
    if dialect is None or sniffing:
        dialect = Dialect()
    elif is_csv_dialect(dialect) or (isinstance(dialect, str) and dialect in csv.list_dialects()):
        dialect = Dialect.from_csv(dialect)
    elif not isinstance(dialect, Dialect):
        given = repr(dialect) if isinstance(dialect, str) else type(dialect).__name__
        raise TypeError(f'dialect must be a qarn.Dialect, "auto", a dialect of the csv module or its name, '
                        f'or None, not {given}')
    given = {name: value for name, value in dialect_fields.items() if value is not FROM_DIALECT}
    dialect = dataclasses.replace(dialect, **given)  # checks the given fields before any input is read
    names = _checked_names(column_names)
    chosen_types = native_column_types(column_types)
    if not isinstance(strict, bool):
        raise TypeError(f"strict must be True or False, not {type(strict).__name__}")
    value_options: dict[str, Any] = {}
    dates_hint(parse_dates)
    if parse_dates is not False:
        value_options["parse_dates"] = parse_dates  # checked as a bool there
    if decimal is not None and decimal != ".":
        value_options["decimal"] = decimal
    if thousands is not None:
        value_options["thousands"] = thousands
    guess_marks = sniffing and decimal is None and thousands is None
    check_compression(compression)
    options = _native_options(dialect, names) | chosen_types | value_options

    whole = sniffing or rejects is not None or strict or bool(dialect.skip_footer) or \
        check_encoding(dialect.encoding).name != "utf-8"
    if sink is not None and not whole and streamable(csv_source):
        with opened(csv_source, compression) as source:
            if source.text is not None:
                return _convert_stream(source, csv_source, options, chunk_size, sample_rows, threads, sink)
            if not isinstance(csv_source, (str, os.PathLike)):
                return _convert_held(source.file, compression, dialect, given, sniffing, guess_marks, names,
                                     chosen_types, value_options, options, chunk_size, sample_rows, threads,
                                     strict, rejects, sink)
    return _convert_held(csv_source, compression, dialect, given, sniffing, guess_marks, names, chosen_types,
                         value_options, options, chunk_size, sample_rows, threads, strict, rejects, sink)


def _convert_stream(source: Opened, csv_source: Source, options: dict[str, Any], chunk_size: int,
                    sample_rows: int | None, threads: int, sink: Sink) -> tuple[Written, LostCells]:
    """The text converted into the sink: a regular file mapped, read in
    place; anything else read a window at a time."""
    if source.mappable is not None:
        descriptor, offset = source.mappable
        if os.fstat(descriptor).st_size - offset < SMALLEST_PARALLEL_INPUT:
            threads = 1
    assert source.text is not None
    try:
        rows, invalid, misfits, extra, _ = _native.convert(
            reader(source.text), chunk_size, sample_rows, usable_threads(threads), **options, report=True, sink=sink,
            file=source.mappable
        )
    except ValueError as error:
        if is_csv_error(str(error)):
            raise CsvError(shifted(str(error), 0)) from None
        raise
    if source.mappable is not None and not isinstance(csv_source, (str, os.PathLike)):
        csv_source.seek(0, os.SEEK_END)  # type: ignore[union-attr]  # where reading it would have left it
    return Written(rows, invalid, sink.size, sink.head), LostCells(misfits, extra, [])


def _convert_held(csv_source: Source, compression: str | None, dialect: Dialect, given: dict[str, Any],
                  sniffing: bool, guess_marks: bool, names: list[str] | None, chosen_types: dict[str, Any],
                  value_options: dict[str, Any], options: dict[str, Any], chunk_size: int,
                  sample_rows: int | None, threads: int, strict: bool, rejects: Target | None,
                  output: Sink | None) -> tuple[bytes | Written, LostCells]:
    """The input held in memory (a path mapped), converted into memory or
    into the sink."""

    def probe(text: bytes) -> str | None:
        # Where a text fails to convert, for bytes the encoding does not
        # define; a header row that column_names replace is read too, so
        # that such a byte in it is found there.
        located = {k: v for k, v in options.items() if k != "column_names"}
        try:
            _native.convert(text, chunk_size, sample_rows, 1, **located)
        except ValueError as error:
            if is_csv_error(str(error)):
                return str(error)
            raise
        return None

    with open_source(csv_source) as data, _rejects_sink(rejects) as sink, contextlib.ExitStack() as views:
        if compression == "infer" and isinstance(csv_source, (str, os.PathLike)):
            compression = suffix_compression(csv_source) or "infer"
        data = decompressed(data, compression, lambda raw=data: is_utf8(dialect.encoding) and _valid_utf8(raw))
        if sniffing:
            found = sniff_buffer(data, encoding=given.get("encoding"))
            dialect = dataclasses.replace(found.dialect, **given)
            options = _native_options(dialect, names) | chosen_types | value_options
            if guess_marks:
                options |= _guessed_marks(found)
        # A guess of UTF-8 from the sample may be belied by a byte further
        # on: the Windows code page reads most such text, Latin-1 all.
        guessed_utf8 = sniffing and "encoding" not in given and dialect.encoding == "utf-8"
        encodings = [dialect.encoding, *(_FALLBACK_ENCODINGS if guessed_utf8 else ())]
        if guessed_utf8:
            # Settled before anything is written: an attempt that failed part
            # way would leave its output in the target and its rejects in
            # theirs.
            encodings = _readable_encodings(data, dialect, options, probe, views, chunk_size, sample_rows, threads)
        for tried, encoding in enumerate(encodings, 1):
            try:
                return _convert_text(data, dataclasses.replace(dialect, encoding=encoding), options, probe, sink,
                                     views, chunk_size, sample_rows, threads, strict, output)
            except CsvError as error:
                if tried == len(encodings) or not _undecodable(error):
                    raise
    raise AssertionError("unreachable")  # pragma: no cover


# The encodings a sniffed input is read in when it is not UTF-8 after all.
_FALLBACK_ENCODINGS = ("cp1252", "latin-1")


def _readable_encodings(data: Buffer, dialect: Dialect, options: dict[str, Any], probe: Callable[[bytes], str | None],
                        views: contextlib.ExitStack, chunk_size: int, sample_rows: int | None,
                        threads: int) -> list[str]:
    """UTF-8 alone for text that is UTF-8; else the fallbacks, unless the
    bytes that are not lie where the conversion never reads them (a line
    skipped, the footer): converting it once, into memory, tells."""
    if _valid_utf8(data):
        return ["utf-8"]
    try:
        _convert_text(data, dialect, options, probe, None, views, chunk_size, sample_rows, threads, False, None)
    except CsvError as error:
        if not _undecodable(error):
            raise
        return list(_FALLBACK_ENCODINGS)
    return ["utf-8"]


def _undecodable(error: CsvError) -> bool:
    return "invalid UTF-8 in field" in str(error) or "cannot decode" in str(error)


def _convert_text(data: Buffer, dialect: Dialect, options: dict[str, Any], probe: Callable[[bytes], str | None],
                  sink: Callable[[list[Reject]], None] | None, views: contextlib.ExitStack, chunk_size: int,
                  sample_rows: int | None, threads: int, strict: bool,
                  output: Sink | None) -> tuple[bytes | Written, LostCells]:
    """The (decompressed) data converted: transcoded, without its footer
    lines, on as many threads as its size is worth."""
    data, dropped = to_utf8(data, dialect.encoding, probe)
    if dialect.skip_footer:
        whole = views.enter_context(memoryview(data))
        data = views.enter_context(whole[: length_without_last_lines(whole, dialect.skip_footer)])
    if memoryview(data).nbytes < SMALLEST_PARALLEL_INPUT:
        threads = 1
    if sink is not None and dropped:
        sink = _shifting(sink, dropped)
    try:
        result, lost = _converted(data, chunk_size, sample_rows, usable_threads(threads), options,
                                  rejects_wanted=1 if strict else sink, output=output)
    except ValueError as error:
        if is_csv_error(str(error)):
            raise CsvError(shifted(str(error), dropped)) from None
        raise
    if strict and lost:
        first = lost.rejects[0]
        head = result if isinstance(result, bytes) else result.head
        raise strict_error((*first[:2], first[2] + dropped, *first[3:]), _column_types(head)) from None
    return result, lost


@contextlib.contextmanager
def _rejects_sink(target: Target | None) -> Iterator[Callable[[list[Reject]], None] | None]:
    if target is None:
        yield None
        return
    with rejects_writer(target) as write:
        yield write


def _shifting(sink: Callable[[list[Reject]], None], dropped: int) -> Callable[[list[Reject]], None]:
    """The sink, given byte offsets in the input as given rather than after
    the bytes that reading it dropped from its front."""
    return lambda rejects: sink([(r, line, byte + dropped, c, t) for r, line, byte, c, t in rejects])


def _converted(data: Buffer, chunk_size: int, sample_rows: int | None, threads: int, options: dict[str, Any],
               rejects_wanted: int | Callable[[list[Reject]], None] | None,
               output: Sink | None = None) -> tuple[bytes | Written, LostCells]:
    """The converted bytes (or what went into `output`) and what they lost,
    with the first `rejects_wanted` rejects, or all of them handed to it a
    batch at a time."""
    if output is not None:
        rows, invalid, misfits, extra, rejects = _native.convert(
            data, chunk_size, sample_rows, threads, **options, report=True, rejects=rejects_wanted, sink=output
        )
        return Written(rows, invalid, output.size, output.head), LostCells(misfits, extra, rejects or [])
    result, misfits, extra, rejects = _native.convert(
        data, chunk_size, sample_rows, threads, **options, report=True, rejects=rejects_wanted
    )
    return result, LostCells(misfits, extra, rejects or [])


def _column_types(data: bytes) -> dict[str, str]:
    """Each column's type by name, the first of a repeated name winning."""
    head = _native.read_head(data)
    types: dict[str, str] = {}
    for name, type_name in zip(head["names"], column_type_names(head)):
        types.setdefault(name, type_name)
    return types


_DEFAULTS = Dialect()


def _guessed_marks(found: Sniffed) -> dict[str, Any]:
    """The number marks the guess found, as value options."""
    marks = {"decimal": found.decimal} if found.decimal != "." else {}
    if found.thousands:
        marks["thousands"] = found.thousands
    if found.thousands_columns is not None:
        marks["thousands_columns"] = found.thousands_columns
    return marks


def _native_options(dialect: Dialect, column_names: list[str] | None) -> dict[str, Any]:
    """The native converter's keywords: those that differ from its defaults
    only, so that a default conversion is the plain one."""
    options = {
        name: getattr(dialect, name)
        for name in ("delimiter", "quotechar", "escapechar", "doublequote", "newlines_in_values", "skipinitialspace",
                     "comment", "skip_rows", "header")
        if getattr(dialect, name) != getattr(_DEFAULTS, name)
    }
    if dialect.null_values:
        options["null_values"] = list(dialect.null_values)
    if column_names is not None:
        options["column_names"] = column_names
    return options


def _checked_names(column_names: object) -> list[str] | None:
    if column_names is None:
        return None
    if isinstance(column_names, (str, bytes)) or not isinstance(column_names, Sequence):
        raise TypeError(f"column_names must be a list of strings or None, not {type(column_names).__name__}")
    names = list(column_names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"column_names must be strings, not {type(name).__name__}")
    if not names:
        raise ValueError("column_names must name at least one column")
    return names


def _valid_utf8(data: Buffer) -> bool:
    return _native.utf8_valid(data)
