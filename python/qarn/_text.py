"""Counted words, as the package's messages and reprs spell them."""

from __future__ import annotations


def plural(count: int, word: str) -> str:
    """"1 row", "2 rows", "1,000 rows"."""
    return f"{count:,} {word}" if count == 1 else f"{count:,} {word}s"
