"""The field grammars and type inference written plainly in Python, as the
oracle the property tests compare the module against."""

import re

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


PARSERS = {"bool": parse_bool, "int": parse_int32, "long": parse_int64, "double": parse_double}


def infer_type(values: list[str]) -> str:
    candidates = [v for v in values if v]
    if not candidates:
        return "string"
    for type_name, parse in PARSERS.items():
        if all(parse(v) is not None for v in candidates):
            return type_name
    return "string"


def convert(text: str, type_name: str):
    """The stored value, or None when the row is invalid."""
    if type_name == "string":
        return text or None
    return PARSERS[type_name](text)
