"""Where the QARN output of each CSV input goes, decided before any work
starts: beside the input, or in an output folder. In a folder, inputs from
several folders keep their folders relative to the one they share, so that
two inputs of one name never meet; inputs of a single folder go straight in."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path

from ._compression import suffix_compression


def qarn_name(source: str) -> str:
    """IN.csv becomes IN.qarn (in the same folder), and so does IN.csv.gz
    (or .bz2, .xz, .zst, .zip)."""
    path = Path(source)
    if suffix_compression(path) is not None:
        path = path.with_suffix("")
    return str(path.with_suffix(".qarn"))


def outputs_in(out_dir: str, sources: Sequence[str]) -> list[str]:
    """The output of each source under `out_dir`."""
    folders = [os.path.dirname(os.path.abspath(source)) for source in sources]
    shared = os.path.commonpath(folders) if folders else ""
    outputs = []
    for source, folder in zip(sources, folders):
        relative = os.path.relpath(folder, shared)
        name = os.path.basename(qarn_name(source))
        outputs.append(os.path.join(out_dir, name) if relative == os.curdir else os.path.join(out_dir, relative, name))
    return outputs


def check_one_input_each(pairs: Iterable[tuple[str, str]]) -> None:
    """Raises ValueError naming two (input, output) pairs with one output."""
    claimed: dict[str, str] = {}  # absolute output -> the input writing it
    for source, target in pairs:
        key = os.path.abspath(target)
        if key in claimed:
            raise ValueError(f"{claimed[key]} and {source} would both be written to {target}")
        claimed[key] = source
