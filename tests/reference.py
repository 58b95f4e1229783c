"""The field grammars and type inference written plainly in Python, as the
oracle the property tests compare the module against."""

import datetime
import math
import re
from fractions import Fraction

import numpy as np

_INT = re.compile(r"[+-]?[0-9]+\Z")
_DOUBLE = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z|[+-]?(?i:inf|infinity|nan)\Z")
# Unicode White_Space, the characters a Boolean may be surrounded by.
WHITESPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def parse_bool(text: str):
    folded = text.strip(WHITESPACE).translate(_ASCII_LOWER)
    return {"true": True, "false": False}.get(folded)


def _parse_int(text: str, bits: int):
    if not _INT.match(text):
        return None
    value = int(text)
    return value if -(2 ** (bits - 1)) <= value < 2 ** (bits - 1) else None


def parse_int32(text: str):
    return _parse_int(text, 32)


def parse_int64(text: str):
    return _parse_int(text, 64)


def parse_double(text: str):
    # Python's float() rounds correctly and gives the same signed NaN; it
    # accepts more (underscores, whitespace), which the pattern rules out.
    return float(text) if _DOUBLE.match(text) else None


def plain_number(text: str, decimal: str = ".", thousands: str | None = None):
    """The plain spelling of a number written with this decimal mark and
    thousands separator (the digits before the mark ungrouped, or grouped
    as 1 to 3 digits then 3 after each separator), or None when the text is
    no number in that spelling."""
    integer = "[0-9]+" if thousands is None else f"(?:[0-9]{{1,3}}(?:{re.escape(thousands)}[0-9]{{3}})+|[0-9]+)"
    mark = re.escape(decimal)
    number = re.fullmatch(f"([+-]?)(?:({integer})(?:{mark}([0-9]*))?|{mark}([0-9]+))([eE][+-]?[0-9]+)?", text)
    if number is None:
        return text if re.fullmatch(r"[+-]?(?i:inf|infinity|nan)", text) else None
    sign, digits, fraction, only_fraction, exponent = number.groups()
    if only_fraction is not None:
        return f"{sign}.{only_fraction}{exponent or ''}"
    digits = digits.replace(thousands, "") if thousands else digits
    return f"{sign}{digits}{'' if fraction is None else '.' + fraction}{exponent or ''}"


def parse_float(text: str):
    """The decimal rounded once to the nearest binary32 value, ties to even:
    float32's neighbours of the double are tried against the exact value."""
    double = parse_double(text)
    if double is None:
        return None
    if not math.isfinite(double) or double == 0:
        return float(np.float32(double))
    exact = Fraction(text.lstrip("+"))
    if abs(exact) >= 2**128 - 2**103:  # halfway past the largest float, and beyond
        return math.copysign(math.inf, double)
    near = np.float32(double)
    near = near if math.isfinite(near) else np.float32(math.copysign(3.4028234663852886e38, double))
    # Below the halfway point the answer is finite: the step past the largest float is not one.
    with np.errstate(over="ignore"):
        steps = [np.nextafter(near, np.float32(-np.inf)), near, np.nextafter(near, np.float32(np.inf))]
    candidates = [v for v in steps if math.isfinite(v)]
    best = min(candidates, key=lambda v: (abs(Fraction(float(v)) - exact), int(v.view(np.uint32)) & 1))
    return math.copysign(float(best), double)


_EPOCH = datetime.datetime(1970, 1, 1)
_DATE = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})\Z")
_TIMESTAMP = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})"
    r"(?:[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\.([0-9]{1,9}))?)?(Z|[+-][0-9]{2}:[0-9]{2})?)?\Z"
)


def _days(year: str, month: str, day: str):
    try:
        return (datetime.date(int(year), int(month), int(day)) - _EPOCH.date()).days
    except ValueError:
        return None


def parse_date(text: str):
    """Days since 1970-01-01, by Python's calendar."""
    match = _DATE.match(text)
    return None if match is None else _days(*match.groups())


def parse_timestamp(text: str):
    """(microseconds since 1970-01-01T00:00 in UTC or wall time, has an offset)."""
    match = _TIMESTAMP.match(text)
    if match is None:
        return None
    year, month, day, hour, minute, second, fraction, zone = match.groups()
    days = _days(year, month, day)
    if days is None or int(hour or 0) > 23 or int(minute or 0) > 59 or int(second or 0) > 59:
        return None
    if fraction and fraction[6:].strip("0"):
        return None  # finer than a microsecond
    micros = (int(hour or 0) * 3600 + int(minute or 0) * 60 + int(second or 0)) * 10**6
    micros += int((fraction or "").ljust(6, "0")[:6])
    if zone not in (None, "Z"):
        if int(zone[1:3]) > 23 or int(zone[4:6]) > 59:
            return None
        offset = (int(zone[1:3]) * 60 + int(zone[4:6])) * 60 * 10**6
        micros -= offset if zone[0] == "+" else -offset
    value = days * 86_400 * 10**6 + micros
    first = (datetime.datetime(1, 1, 1) - _EPOCH) // datetime.timedelta(microseconds=1)
    after_last = first + 3_652_059 * 86_400 * 10**6  # the days of years 1 to 9999
    return (value, zone is not None) if first <= value < after_last else None


PARSERS = {"bool": parse_bool, "int": parse_int32, "long": parse_int64, "double": parse_double}


def infer_type(values: list[str], dates: bool = False) -> str:
    """With `dates`, "date", "timestamp" or "timestamp[UTC]" come after
    double: UTC when some value has an offset."""
    candidates = [v for v in values if v]
    if not candidates:
        return "string"
    for type_name, parse in PARSERS.items():
        if all(parse(v) is not None for v in candidates):
            return type_name
    if dates and all(parse_date(v) is not None for v in candidates):
        return "date"
    if dates and all(parse_timestamp(v) is not None for v in candidates):
        return "timestamp[UTC]" if any(parse_timestamp(v)[1] for v in candidates) else "timestamp"
    return "string"


def convert(text: str, type_name: str):
    """The stored value, or None when the row is invalid; "timestamp" is in
    UTC ("timestamp[UTC]": an offset is welcome) or not (one is a misfit)."""
    if type_name == "string":
        return text or None
    if type_name == "float":
        return parse_float(text)
    if type_name == "date":
        return parse_date(text)
    if type_name.startswith("timestamp"):
        parsed = parse_timestamp(text)
        if parsed is None or (parsed[1] and type_name == "timestamp"):
            return None
        return parsed[0]
    return PARSERS[type_name](text)


# ------------------------------------------------------------------ reader

_QUOTE, _COMMA, _CR, _LF = 0x22, 0x2C, 0x0D, 0x0A


def _utf8_error(fields: list[bytes]):
    """(field index, valid prefix length) of the first field that is not UTF-8."""
    for index, field in enumerate(fields):
        try:
            field.decode("utf-8")
        except UnicodeDecodeError as error:
            return index, error.start
    return None


def read_csv(data: bytes):
    """Reads like the module does, one byte at a time, straight from the
    grammar. Returns (header, rows of header width, error message or None)."""
    pos = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    line, records, after_cr = 1, 0, False

    def next_record():
        nonlocal pos, line, records, after_cr
        start = (pos, line, records)
        fields, field = [], bytearray()
        state = "after_cr" if after_cr else "record_start"
        while pos < len(data):
            c = data[pos]
            if state == "after_cr":
                state = "record_start"
                if c == _LF:
                    pos, line = pos + 1, line + 1
                    continue
            if state == "record_start":
                if c in (_CR, _LF):
                    pos, line = pos + 1, line + (c == _LF)
                    continue
                state = "field_start"
            pos, line = pos + 1, line + (c == _LF)
            if state == "quoted":
                if c == _QUOTE:
                    state = "quote_in_quoted"
                else:
                    field.append(c)
                continue
            if state == "quote_in_quoted" and c == _QUOTE:
                field.append(c)
                state = "quoted"
                continue
            if state == "field_start" and c == _QUOTE:
                state = "quoted"
                continue
            if c == _COMMA:
                fields.append(bytes(field))
                field, state = bytearray(), "field_start"
            elif c in (_CR, _LF):
                fields.append(bytes(field))
                after_cr, records = c == _CR, records + 1
                return fields, start
            else:
                field.append(c)
                state = "unquoted"
        if state in ("record_start", "after_cr"):
            return None, start
        fields.append(bytes(field))
        after_cr, records = False, records + 1
        return fields, start

    def message(start, bad):
        byte, line_no, record = start
        field, valid = bad
        return (f"CSV parse error: record {record} (line {line_no}, field: {field}, byte: {byte}): "
                f"invalid utf-8: invalid UTF-8 in field {field} near byte index {valid}")

    header, _ = next_record()
    header = header or []
    bad = _utf8_error(header)
    if bad:
        return None, None, "CSV header error: " + message((0, 1, 0), bad)
    names = [f.decode() for f in header]
    rows = []
    while True:
        fields, start = next_record()
        if fields is None:
            return names, rows, None
        bad = _utf8_error(fields)
        if bad:
            return names, rows, "CSV parse error: " + message(start, bad)
        fields = (fields + [b""] * len(names))[: len(names)]
        rows.append([f.decode() for f in fields])
