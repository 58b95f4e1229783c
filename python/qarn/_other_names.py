"""Keyword arguments spelt as other CSV readers spell them: the TypeError
Python raises for an unknown keyword, with what the option is called here."""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, TypeVar

F = TypeVar("F", bound=Callable[..., Any])

_CONVERTING = {
    "sep": "qarn calls it delimiter",
    "names": "qarn calls it column_names",
    "dtype": "qarn calls it column_types (a type name for every column, or a list or dict of them: "
    "'bool', 'int', 'long', 'float', 'double', 'string', 'date', 'timestamp')",
    "usecols": "a conversion keeps every column; choose them when reading: qarn.read(q, columns=[...])",
    "na_values": "qarn calls it null_values",
    "skiprows": "qarn calls it skip_rows",
    "skipfooter": "qarn calls it skip_footer",
}
_READING = {"usecols": "qarn calls it columns"}


def _hinted(hints: dict[str, str]) -> Callable[[F], F]:
    def decorate(function: F) -> F:
        @functools.wraps(function)
        def checked(*args: Any, **kwargs: Any) -> Any:
            for name in kwargs.keys() & hints.keys():
                raise TypeError(f"{function.__name__}() got an unexpected keyword argument {name!r}; {hints[name]}")
            return function(*args, **kwargs)

        return checked  # type: ignore[return-value]

    return decorate


converting_names = _hinted(_CONVERTING)
reading_names = _hinted(_READING)


def dates_hint(parse_dates: object) -> None:
    """TypeError for `parse_dates` given as a list of columns, as pandas takes it."""
    if isinstance(parse_dates, (list, tuple)):
        raise TypeError(
            f"parse_dates must be True or False, not {type(parse_dates).__name__}; "
            "to read given columns as dates, choose their type: column_types={'when': 'date'}"
        )
