"""The `qarn` command: convert CSV files to QARN, look inside QARN files,
check them and turn them back into CSV."""

from .main import main

__all__ = ["main"]
