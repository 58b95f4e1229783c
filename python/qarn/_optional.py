"""Importing the optional libraries, with an error that names the extra."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs {module}, which is not installed: pip install 'qarn[{extra}]'"
        ) from error
