"""Argument types shared by the commands."""

from __future__ import annotations

import argparse


def _integer(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, not {value}")
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be below 2**64, not {value}")
    return value


def positive(text: str) -> int:
    return _integer(text, 1)


def non_negative(text: str) -> int:
    return _integer(text, 0)


def sample_rows(text: str) -> int | None:
    """--sample-rows N, or 'all' (None): every row."""
    return None if text.lower() == "all" else non_negative(text)


def column_list(text: str) -> list[str]:
    """--columns a,b,0,-1: names or positions separated by commas (which of
    the two a field is, is known once the file's names are)."""
    fields = text.split(",")
    if any(field == "" for field in fields):
        raise argparse.ArgumentTypeError(f"empty column name in {text!r}")
    return fields
