"""Generated CSV tables and the many CSV texts that spell each of them,
shared by the property tests of the converter and of the reader."""

import csv
import io

from hypothesis import strategies as st

ints = st.integers(-(2**31), 2**31 - 1)
longs = st.integers(-(2**63), 2**63 - 1)


def int_spellings(values):
    return st.tuples(values, st.sampled_from(["", "+", "0", "00"])).map(
        lambda t: ("-" if t[0] < 0 else t[1].replace("0", "")) + ("0" * t[1].count("0")) + str(abs(t[0]))
    )


doubles = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda x: f"{x:.3e}"),
    st.from_regex(r"\A[+-]?([0-9]{1,25}\.?[0-9]{0,25}|\.[0-9]{1,25})([eE][+-]?[0-9]{1,3})?\Z"),
    st.sampled_from(["inf", "-Infinity", "NaN", "-nan", "+INF", "1e400", "-1e-400", "5.", ".5", "-0"]),
)
bools = st.sampled_from(["true", "false", "TRUE", "False", " true", "false\t", "\u3000TRUE\u00a0", "tRuE"])
texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
near_misses = st.sampled_from(["", "", " ", "1 ", "x", "1e", ".", "+", "0x10", "1_0", "yes", "\u0663", "tru e"])

dates = st.one_of(
    st.dates().map(lambda day: day.isoformat()),
    st.sampled_from(["2023-02-29", "2024-02-29", "1900-02-29", "2000-02-29", "0000-01-01", "9999-12-31", "2024-1-01"]),
)


@st.composite
def timestamps(draw):
    """ISO timestamps to the minute, second or a fraction of 1 to 9 digits,
    with or without an offset; some are dates alone."""
    moment = draw(st.datetimes())
    text = moment.date().isoformat()
    if draw(st.integers(0, 9)) == 0:
        return text
    text += draw(st.sampled_from("T ")) + f"{moment.hour:02}:{moment.minute:02}"
    precision = draw(st.integers(0, 2))
    if precision >= 1:
        text += f":{moment.second:02}"
    if precision == 2:
        text += "." + f"{moment.microsecond:06}{draw(st.sampled_from(['000', '000', '001']))}"[: draw(st.integers(1, 9))]
    return text + draw(st.sampled_from(["", "", "Z", "+05:30", "-08:00", "+23:59", "-00:00", "+24:00"]))


CELLS = {
    "bool": bools,
    "int": int_spellings(ints),
    "long": int_spellings(longs),
    "double": doubles,
    "text": texts,
    "date": dates,
    "timestamp": timestamps(),
}


@st.composite
def tables(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(CELLS)), min_size=1, max_size=5))
    names = draw(st.lists(texts, min_size=len(kinds), max_size=len(kinds)))
    row_count = draw(st.integers(0, 40))
    rows = []
    for _ in range(row_count):
        row = [draw(st.one_of(CELLS[k], near_misses) if draw(st.integers(0, 9)) == 0 else CELLS[k]) for k in kinds]
        shape = draw(st.integers(0, 9))
        if shape == 0:
            row = row[: draw(st.integers(1, len(row)))]  # a short record
        elif shape == 1:
            row = row + draw(st.lists(texts, min_size=1, max_size=2))  # a long record
        rows.append(row)
    return names, rows


def needs_quotes(field: str, first_in_file: bool) -> bool:
    return any(c in field for c in ',"\r\n') or (first_in_file and field.startswith("\ufeff"))


@st.composite
def csv_spellings(draw, names, rows):
    """One of the many CSV texts of the same table."""
    line_ends = draw(st.sampled_from(["\n", "\r\n", "\r", "mixed"]))
    lines = []
    for index, record in enumerate([names] + rows):
        fields = []
        for position, field in enumerate(record):
            if needs_quotes(field, index == 0 and position == 0) or draw(st.integers(0, 4)) == 0:
                field = '"' + field.replace('"', '""') + '"'
            fields.append(field)
        line = ",".join(fields)
        lines.append(line if line else '""')  # an empty line would be skipped as blank
    ends = [draw(st.sampled_from(["\n", "\r\n", "\r"])) if line_ends == "mixed" else line_ends for _ in lines]
    text = "".join(line + end for line, end in zip(lines, ends))
    if draw(st.booleans()):
        text = text[: -len(ends[-1])]  # no terminator after the last record
    prefix = draw(st.sampled_from(["", "", "\ufeff", "\n", "\r\n\r\n"]))
    return (prefix + text).encode("utf-8")




def comma_csv(names, rows) -> bytes:
    """The table in the comma dialect, quoted only where it must be."""
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows([names, *rows])
    return out.getvalue().encode("utf-8")
