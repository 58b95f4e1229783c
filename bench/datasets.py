"""Deterministic CSV generators for the benchmark.

Every data set is a function of (name, size, seed) only: the same arguments
give the same bytes on every machine. Plain Python `random` is used (no
numpy) so the bytes do not depend on which optional packages are installed.

    python bench/datasets.py numeric --size 100MB --seed 1

writes (or reuses) bench/data/numeric-100000000B-s1-v1.csv and prints its path.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import re
from pathlib import Path

# Bump when a generator changes, so cached files are not reused.
GENERATOR_VERSION = 1

DATA_DIR = Path(__file__).resolve().parent / "data"
BATCH_ROWS = 5000
PROBE_ROWS = 50  # first batch, to estimate the row size

_UNITS = {"": 1, "B": 1, "KB": 10**3, "MB": 10**6, "GB": 10**9,
          "KIB": 2**10, "MIB": 2**20, "GIB": 2**30}


def parse_size(text: str) -> int:
    """'100MB' -> 100_000_000 (decimal units; KiB/MiB/GiB are binary)."""
    m = re.fullmatch(r"\s*([0-9.]+)\s*([A-Za-z]*)\s*", text)
    if not m or m.group(2).upper() not in _UNITS:
        raise ValueError(f"bad size {text!r}; use e.g. 100KB, 20MB, 1GB")
    return int(float(m.group(1)) * _UNITS[m.group(2).upper()])


def quote(s: str) -> str:
    """RFC 4180 quoting: wrap in quotes and double any quote inside."""
    return '"' + s.replace('"', '""') + '"'


# ---------------------------------------------------------------- numeric

def _double_text(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.30:
        return "%.2f" % ((rng.random() - 0.5) * 2000)          # 3.25, -0.50
    if r < 0.50:
        return "%.3f" % (rng.random() * 100000)                # 12345.678
    if r < 0.60:
        return "%.0e" % (rng.random() * 0.01 + 1e-6)           # 1e-03
    if r < 0.70:
        return "%.1E" % (rng.random() * 1e11)                  # 2.5E+10
    if r < 0.85:
        return str(rng.randrange(-5000, 5000))                 # integer-as-double
    return repr(rng.uniform(-1.0, 1.0))                        # -0.5123…


_BOOLS = ("true", "false", "True", "False", "TRUE", "FALSE")


def _fixed_double_text(rng: random.Random) -> str:
    return "%.2f" % ((rng.random() - 0.5) * 2000)              # 12.50, -736.25


def _shortest_double_text(rng: random.Random) -> str:
    return repr(rng.random())                                  # 0.1234567890123456


def _numeric_batch(rng: random.Random, start: int, n: int, double_text=_double_text):
    header = ["id", "small_i32", "big_i32", "big_i64", "neg_i64",
              "x", "y", "z", "flag", "ok"]
    rnd = rng.randrange
    cols = [
        [str(i) for i in range(start, start + n)],
        [str(rnd(0, 1000)) for _ in range(n)],
        [str(rnd(-2**31, 2**31)) for _ in range(n)],
        [str(rnd(2**33, 2**62)) for _ in range(n)],
        [str(-rnd(2**32, 2**50)) for _ in range(n)],
        [double_text(rng) for _ in range(n)],
        [double_text(rng) for _ in range(n)],
        [double_text(rng) for _ in range(n)],
        rng.choices(_BOOLS, k=n),
        rng.choices(_BOOLS[:2], k=n),
    ]
    return header, cols, "\n"


# ---------------------------------------------------------------- strings

_NAMES = ["Zoë", "José", "Ångström", "Müller", "Ñandú", "Łukasz", "Chloé",
          "François", "Søren", "Ana", "Bob", "Karl", "İlkay", "Dvořák"]
_CITIES = ["東京", "北京市", "서울", "Zürich", "São Paulo", "Kraków", "Reykjavík",
           "Москва", "القاهرة", "Paris", "Lima", "Αθήνα", "München"]
_WORDS = ["lorem", "ipsum", "dolor", "sit", "amet", "naïve", "café", "déjà",
          "vu", "the", "quick", "brown", "fox", "データ", "测试", "🚀", "🎉",
          "ok", "👍🏽", "résumé"]
_EMOJI = ["🚀", "🎉", "😀", "👍🏽", "🇯🇵", "❤️", "🐍", "🌍", "✨", "🔥"]


def _comment(rng: random.Random) -> str:
    words = rng.choices(_WORDS, k=rng.randrange(1, 12))
    r = rng.random()
    if r < 0.10:
        return ""                                              # empty cell
    if r < 0.25:                                               # doubled quotes
        i = rng.randrange(len(words))
        words[i] = '"' + words[i] + '"'
        return quote(" ".join(words))
    if r < 0.40:                                               # newline inside
        cut = rng.randrange(len(words) + 1)
        nl = "\r\n" if rng.random() < 0.3 else "\n"
        return quote(" ".join(words[:cut]) + nl + " ".join(words[cut:]))
    if r < 0.55:                                               # comma inside
        return quote(", ".join(words))
    if r < 0.65:                                               # needless quotes
        return quote(" ".join(words))
    return " ".join(words)


def _strings_batch(rng: random.Random, start: int, n: int):
    header = ["id", "name", "city", "comment", "emoji", "code", "title"]
    cols = [
        [str(i) for i in range(start, start + n)],
        [rng.choice(_NAMES) if rng.random() > 0.05 else "" for _ in range(n)],
        rng.choices(_CITIES, k=n),
        [_comment(rng) for _ in range(n)],
        ["".join(rng.choices(_EMOJI, k=rng.randrange(0, 4))) for _ in range(n)],
        ["%c%c-%04d" % (rng.randrange(65, 91), rng.randrange(65, 91),
                        rng.randrange(10000)) for _ in range(n)],
        [quote(rng.choice(_NAMES) + " " + rng.choice(_CITIES))
         if rng.random() < 0.5 else rng.choice(_CITIES) for _ in range(n)],
    ]
    return header, cols, "\r\n"


# ---------------------------------------------------------------- mixed

_MDAYS = (31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)        # 2024
_DATES = ["2024-%02d-%02d" % (m + 1, d + 1)
          for m, days in enumerate(_MDAYS) for d in range(days)]
_PAYMENT = ["card", "cash", "card", "card", "voucher", "no charge", "dispute"]
_NOTES = ["airport", "luggage", "late night, surcharge", 'asked for "quiet"',
          "child seat", "cancelled then rebooked", "toll road"]
_SECONDS_2024 = len(_DATES) * 86400


def _stamp(t: int) -> str:
    day, s = divmod(t, 86400)
    h, s = divmod(s, 3600)
    m, s = divmod(s, 60)
    return "%s %02d:%02d:%02d" % (_DATES[day], h, m, s)


def _mixed_batch(rng: random.Random, start: int, n: int):
    header = ["trip_id", "vendor_id", "pickup_at", "dropoff_at",
              "passenger_count", "distance_km", "fare", "tip", "total",
              "payment", "pickup_zone", "dropoff_zone", "shared", "notes"]
    rnd, rand = rng.randrange, rng.random
    pick = [rnd(0, _SECONDS_2024 - 7200) for _ in range(n)]
    dur = [rnd(60, 7200) for _ in range(n)]
    dist = [rand() * 30 for _ in range(n)]
    fare = [2.5 + d * 1.7 for d in dist]
    tip = [f * 0.2 * rand() if rand() < 0.6 else 0.0 for f in fare]
    notes = []
    for _ in range(n):
        if rand() < 0.97:
            notes.append("")
        else:
            s = rng.choice(_NOTES)
            notes.append(quote(s) if ("," in s or '"' in s) else s)
    cols = [
        [str(7_000_000_000 + i) for i in range(start, start + n)],
        [str(rnd(1, 5)) for _ in range(n)],
        [_stamp(p) for p in pick],
        [_stamp(p + d) for p, d in zip(pick, dur)],
        ["" if rand() < 0.03 else str(rnd(0, 7)) for _ in range(n)],
        ["%.2f" % d for d in dist],
        ["%.2f" % f for f in fare],
        ["%.2f" % t for t in tip],
        ["%.2f" % (f + t) for f, t in zip(fare, tip)],
        rng.choices(_PAYMENT, k=n),
        [str(rnd(1, 266)) for _ in range(n)],
        [str(rnd(1, 266)) for _ in range(n)],
        rng.choices(("true", "false", "false", "false"), k=n),
        notes,
    ]
    return header, cols, "\n"


# ---------------------------------------------------------------- wide

_SHORT = ["ab", "xyz", "foo", "bar", "baz", "qux", "alpha", "beta", "gamma",
          "delta", "eps", "zeta", "n/a", "ok", "ko", "rouge", "vert", "bleu"]
_SMALL_INTS = [str(i) for i in range(-50, 1000)]
_WIDE_COLS = 300


def _wide_batch(rng: random.Random, start: int, n: int):
    header, cols = [], []
    for c in range(_WIDE_COLS):
        kind = c % 3
        if kind == 0:
            header.append(f"n{c}")
            cols.append(rng.choices(_SMALL_INTS, k=n))
        elif kind == 1:
            header.append(f"d{c}")
            cols.append(["%.3f" % (rng.random() * 1000) for _ in range(n)])
        else:
            header.append(f"s{c}")
            cols.append(rng.choices(_SHORT, k=n))
    return header, cols, "\n"


# ---------------------------------------------------------------- quoted

_STOPS = ["Central Station", "Harbour", "Old Town", "University", "Airport T1",
          "Market Square", "Riverside", "North Gate", "Hospital", "Stadium"]


def _time_of_day(seconds: int) -> str:
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def _quoted_batch(rng: random.Random, start: int, n: int):
    """A timetable export that quotes every field, numbers included."""
    header = ["trip_id", "arrival_time", "departure_time", "stop_id",
              "stop_sequence", "stop_headsign", "pickup_type", "shape_dist_traveled"]
    rnd = rng.randrange
    arrive = [rnd(5 * 3600, 24 * 3600) for _ in range(n)]
    cols = [
        ["T%07d" % (i // 20) for i in range(start, start + n)],
        [_time_of_day(a) for a in arrive],
        [_time_of_day(a + rnd(0, 120)) for a in arrive],
        [str(rnd(1, 20000)) for _ in range(n)],
        [str(i % 20 + 1) for i in range(start, start + n)],
        rng.choices(_STOPS, k=n),
        [str(rnd(0, 4)) for _ in range(n)],
        ["%.3f" % (rng.random() * 40) for _ in range(n)],
    ]
    return header, [[quote(v) for v in col] for col in cols], "\n"


_SURNAMES = ["Smith", "Jones", "O'Brien", "García", "Nguyen", "Müller", "Rossi", "Kowalski"]
_GIVEN = ["Ann", "Bob", "Chloé", "Dmitri", "Eve", "Farid", "Grace", "Hiro"]
_PHRASES = ["said \"yes\"", "a \"quoted\" word", "12\" screen", "size: 3\" x 5\"",
            "the \"best\" one", "\"ok\""]


def _quote_heavy_batch(rng: random.Random, start: int, n: int):
    """Most fields hold a comma or a doubled quote inside quotes."""
    header = ["id", "name", "address", "remark", "tags", "amount"]
    rnd, choice = rng.randrange, rng.choice
    cols = [
        [str(i) for i in range(start, start + n)],
        [quote(f"{choice(_SURNAMES)}, {choice(_GIVEN)}") for _ in range(n)],
        [quote(f"{rnd(1, 300)} {choice(_STOPS)}, {rnd(1000, 99999)} {choice(_STOPS)}")
         for _ in range(n)],
        [quote(choice(_PHRASES)) for _ in range(n)],
        [quote(", ".join(rng.sample(_GIVEN, rnd(2, 4)))) for _ in range(n)],
        ["%.2f" % (rng.random() * 1000) for _ in range(n)],
    ]
    return header, cols, "\n"


# ------------------------------------------- real files, repeated to size
#
# Each of these stands in for a published file of a few MB repeated until
# the data set is large enough: a base table is made once from the seed and
# its rows are then repeated in order, so that every value of a string
# column comes back again and again, as in the real files.

_BASES: dict[str, list[list[str]]] = {}


def _repeating(name: str, base_rows: int, make_base, header: list[str], eol: str = "\n"):
    """A batch function that cycles through a base table of `base_rows`
    rows; `make_base(rng, rows)` builds its columns."""
    def batch(rng: random.Random, start: int, n: int):
        if start == 0 or name not in _BASES:
            _BASES[name] = list(zip(*make_base(rng, base_rows)))
        rows = _BASES[name]
        picked = [rows[(start + i) % len(rows)] for i in range(n)]
        return header, [list(col) for col in zip(*picked)], eol
    return batch


_SYLLABLES = ["ka", "lo", "ma", "ri", "san", "ton", "vil", "burg", "ne", "do", "shi", "pur", "ville",
              "abad", "grad", "ham", "ber", "cas", "el", "ta", "zo", "mi", "ra", "no", "ko", "polis"]
_REGIONS = ["North", "South", "East", "West", "Central", "Upper", "Lower", "Coastal", "Highland", "Valley"]


def _place(rng: random.Random, low: int = 2, high: int = 5) -> str:
    return "".join(rng.choices(_SYLLABLES, k=rng.randrange(low, high))).capitalize()


def _cities_base(rng: random.Random, rows: int):
    """A world-cities list: one row per city; names, countries and regions repeat."""
    rnd = rng.randrange
    countries = [(_place(rng, 2, 4), "%c%c" % (rnd(65, 91), rnd(65, 91))) for _ in range(240)]
    regions = {code: [f"{rng.choice(_REGIONS)} {_place(rng)}" for _ in range(rnd(3, 40))] for _, code in countries}
    names = [_place(rng) for _ in range(rows // 3)]
    cols = [[] for _ in range(9)]
    for i in range(rows):
        country, code = countries[min(int(rng.paretovariate(0.8)) - 1, len(countries) - 1)]
        name = rng.choice(names)
        values = [name, name.lower() if rng.random() < 0.1 else name, "%.4f" % rng.uniform(-60, 70),
                  "%.4f" % rng.uniform(-180, 180), country, code, rng.choice(regions[code]),
                  rng.choice(("", "", "", "", "admin", "minor", "primary")),
                  "" if rng.random() < 0.15 else str(int(rng.paretovariate(1.2) * 1000))]
        for col, value in zip(cols, values):
            col.append(quote(value) if "," in value else value)
    cols.append([str(1_840_000_000 + i) for i in range(rows)])
    return cols


_PLAYERS = [f"{_first}. {_last}" for _first in "ABCDEFGHJKLMNPRSTW"
            for _last in ("James", "Curry", "Brown", "Davis", "Young", "Allen", "Green", "Lopez", "Smith", "Ball")]
_PLAYS = ["MISS {p} {d}' Jump Shot", "{p} {d}' Driving Layup ({n} PTS) ({q} AST)", "{p} REBOUND (Off:{o} Def:{n})",
          "{p} Free Throw {o} of 2 ({n} PTS)", "{p} P.FOUL (P{o}.T{o}) (B.Official)", "SUB: {p} FOR {q}",
          "{p} Bad Pass Turnover (P{o}.T{n})", "{p} 3PT Jump Shot ({n} PTS) ({q} AST)", "Jump Ball {p} vs. {q}: Tip to {q}",
          "{p} BLOCK ({o} BLK)", "MISS {p} 3PT Pull-Up Jump Shot", "{p} STEAL ({o} STL)", "Timeout: Regular (Full {o} Short 0)"]


def _play_by_play_base(rng: random.Random, rows: int):
    """A play-by-play text file: game, period, clock, long descriptions of
    plays that come back in every game, and a running score."""
    rnd = rng.randrange
    cols = [[] for _ in range(8)]
    for i in range(rows):
        game, event = divmod(i, 450)
        period = 1 + event * 4 // 450
        text = rng.choice(_PLAYS).format(p=rng.choice(_PLAYERS), q=rng.choice(_PLAYERS), d=rnd(1, 28),
                                         n=rnd(0, 12), o=rnd(1, 3))
        home, away = (text, "") if rng.random() < 0.5 else ("", text)
        values = [str(22_300_001 + game), str(event), str(rnd(1, 20)), str(period),
                  "%d:%02d" % (rnd(0, 12), rnd(0, 60)), home, away,
                  "" if rng.random() < 0.7 else "%d - %d" % (event // 4 + rnd(0, 9), event // 4 + rnd(0, 9))]
        for col, value in zip(cols, values):
            col.append(quote(value) if ("," in value or '"' in value) else value)
    return cols


_TEAMS = ["ANA", "BAL", "BOS", "CHA", "CLE", "DET", "HOU", "KCA", "MIN", "NYA", "OAK", "SEA", "TBA", "TEX",
          "TOR", "ARI", "ATL", "CHN", "CIN", "COL", "LAN", "MIA", "MIL", "NYN", "PHI", "PIT", "SDN", "SFN"]
_DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]


def _game_log_base(rng: random.Random, rows: int):
    """A game log with most fields in quotes: dates, teams, line scores,
    parks, officials and players by id and by name."""
    rnd = rng.randrange
    people = [(f"{_place(rng, 2, 3)[:4].lower()}{chr(rnd(97, 123))}{rnd(1, 9):03d}", f"{_place(rng, 1, 3)} {_place(rng)}")
              for _ in range(1500)]
    parks = [f"{t}{rnd(1, 9):02d}" for t in _TEAMS]
    cols = [[] for _ in range(24)]
    for i in range(rows):
        day = i // 15
        visitor, home = rng.sample(_TEAMS, 2)
        line = lambda: "".join(str(min(int(rng.expovariate(1.6)), 9)) for _ in range(9))  # noqa: E731
        ump, vp, hp, wp = (rng.choice(people) for _ in range(4))
        values = [quote("2023%02d%02d" % (4 + day // 30 % 6, 1 + day % 30)), quote("0"), quote(_DAYS[day % 7]),
                  quote(visitor), quote("AL" if _TEAMS.index(visitor) < 14 else "NL"), str(rnd(1, 163)),
                  quote(home), quote("AL" if _TEAMS.index(home) < 14 else "NL"), str(rnd(1, 163)),
                  str(rnd(0, 12)), str(rnd(0, 12)), "54", quote(rng.choice("DN")), quote(line()), quote(line()),
                  quote(rng.choice(parks)), str(rnd(8000, 50000)), str(rnd(9000, 14000)),
                  quote(ump[0]), quote(ump[1]), quote(vp[0]), quote(vp[1]), quote(hp[0]), quote(wp[1])]
        for col, value in zip(cols, values):
            col.append(value)
    return cols


def _timetable_base(rng: random.Random, rows: int):
    """A timetable export that quotes every field: stop times of trips that
    run the same stops at the same times every few minutes."""
    rnd = rng.randrange
    stops = [f"{rnd(1000, 9999)}{rng.choice('ABCDEFGH')}" for _ in range(900)]
    names = {stop: f"{_place(rng)} {rng.choice(('Station', 'Street', 'Square', 'Road', 'Park'))}" for stop in stops}
    routes = [rng.sample(stops, rnd(12, 40)) for _ in range(60)]
    cols = [[] for _ in range(9)]
    trip = 0
    while len(cols[0]) < rows:
        route = rng.choice(routes)
        clock = rnd(5 * 3600, 22 * 3600) // 300 * 300
        for sequence, stop in enumerate(route, 1):
            arrive = _time_of_day(clock)
            clock += rnd(1, 4) * 60
            values = [f"{trip // 40:05d}_{rng.choice(('WKDY', 'SAT', 'SUN'))}_{trip:06d}", arrive, arrive, stop,
                      str(sequence), names[route[-1]], "0", "0" if sequence > 1 else "1", ""]
            for col, value in zip(cols, values):
                col.append(quote(value))
        trip += 1
    return [col[:rows] for col in cols]


GENERATORS = {
    "numeric": _numeric_batch,
    "strings": _strings_batch,
    "mixed": _mixed_batch,
    "wide": _wide_batch,
    "numeric-fixed": lambda rng, start, n: _numeric_batch(rng, start, n, _fixed_double_text),
    "numeric-shortest": lambda rng, start, n: _numeric_batch(rng, start, n, _shortest_double_text),
    "quoted": _quoted_batch,
    "quote-heavy": _quote_heavy_batch,
}
# The stand-ins for real files, whose string columns repeat.
REPEATING = {
    "cities": _repeating("cities", 45_000, _cities_base,
                         ["city", "city_ascii", "lat", "lng", "country", "iso2", "admin_name", "capital",
                          "population", "id"]),
    "play-by-play": _repeating("play-by-play", 60_000, _play_by_play_base,
                               ["game_id", "eventnum", "eventmsgtype", "period", "pctimestring",
                                "homedescription", "visitordescription", "score"]),
    "game-log": _repeating("game-log", 25_000, _game_log_base,
                           ["date", "number", "day", "visitor", "visitor_league", "visitor_game", "home",
                            "home_league", "home_game", "visitor_score", "home_score", "outs", "day_night",
                            "visitor_line", "home_line", "park", "attendance", "minutes", "umpire_id",
                            "umpire", "visitor_pitcher_id", "visitor_pitcher", "home_pitcher_id",
                            "winning_pitcher"]),
    "timetable": _repeating("timetable", 80_000, _timetable_base,
                            ["trip_id", "arrival_time", "departure_time", "stop_id", "stop_sequence",
                             "stop_headsign", "pickup_type", "drop_off_type", "shape_dist_traveled"]),
}
ALL = {**GENERATORS, **REPEATING}


def generate(name: str, size: int, seed: int = 1, batch=None) -> tuple[bytes, dict]:
    """Return (csv_bytes, meta) of about `size` bytes; meta has the row count.
    `batch` is the generator, for data sets other scripts define (default:
    the one of ALL named `name`)."""
    batch = batch or ALL[name]
    rng = random.Random(f"{name}:{seed}")
    parts: list[bytes] = []
    total = rows = 0
    header = None
    avg_row = None
    while True:
        want = PROBE_ROWS
        if avg_row is not None:
            want = min(BATCH_ROWS, max(1, math.ceil((size - total) / avg_row)))
        hdr, cols, eol = batch(rng, rows, want)
        if header is None:
            header = hdr
            parts.append((",".join(hdr) + eol).encode())
            total = len(parts[0])
        chunk = (eol.join(map(",".join, zip(*cols))) + eol).encode()
        parts.append(chunk)
        total += len(chunk)
        rows += want
        if avg_row is None:
            avg_row = len(chunk) / want
        if total >= size:
            break
    meta = {"name": name, "seed": seed, "requested_bytes": size,
            "bytes": total, "rows": rows, "columns": len(header),
            "generator_version": GENERATOR_VERSION}
    return b"".join(parts), meta


def cached_path(name: str, size: int, seed: int = 1, batch=None) -> Path:
    """Generate the data set once and return the path of the cached CSV."""
    path = DATA_DIR / f"{name}-{size}B-s{seed}-v{GENERATOR_VERSION}.csv"
    meta_path = path.with_suffix(".json")
    if path.exists() and meta_path.exists():
        return path
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    data, meta = generate(name, size, seed, batch)
    for p, content in ((path, data), (meta_path, json.dumps(meta).encode())):
        tmp = p.with_name(p.name + f".tmp{os.getpid()}")
        tmp.write_bytes(content)
        tmp.replace(p)
    return path


def load_meta(path: Path) -> dict:
    return json.loads(path.with_suffix(".json").read_text())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("names", nargs="*", default=list(ALL),
                    help=f"any of {', '.join(ALL)} (default: all)")
    ap.add_argument("--size", default="100MB")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    for name in args.names:
        if name not in ALL:
            ap.error(f"unknown data set {name!r}")
        print(cached_path(name, parse_size(args.size), args.seed))


if __name__ == "__main__":
    main()
