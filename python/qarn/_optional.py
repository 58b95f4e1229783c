"""Importing the optional libraries, with an error that names the extra."""

from __future__ import annotations

import importlib
import sys
from types import ModuleType
from typing import Any


def require(module: str, extra: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs {module}, which is not installed: pip install 'qarn[{extra}]'"
        ) from error


def loaded_class(module: str, name: str) -> Any:
    """The class `name` of `module` when the module is imported already:
    data cannot be of a class of a library that nobody imported."""
    loaded = sys.modules.get(module)
    return getattr(loaded, name, None) if loaded is not None else None
