"""Which output each input of `qarn convert` becomes, decided before any
work starts, so that a mistake in the arguments costs nothing."""

from __future__ import annotations

import os
from dataclasses import dataclass, field, replace

from .._file_conversion import STDIO, ConversionJob
from .._targets import check_one_input_each, outputs_in, qarn_name


class UsageError(Exception):
    """Arguments that cannot be carried out; exit status 2."""


@dataclass
class Plan:
    jobs: list[ConversionJob] = field(default_factory=list)
    refused: list[tuple[str, str]] = field(default_factory=list)  # (path, why), failed before starting


def _targets(sources: list[str], output: str | None, out_dir: str | None) -> list[str]:
    if output is not None:
        return [output] * len(sources)
    if sources == [STDIO]:
        return [STDIO]
    if out_dir is not None:
        return outputs_in(out_dir, sources)
    return [qarn_name(source) for source in sources]


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def _check_arguments(sources: list[str], output: str | None, out_dir: str | None) -> None:
    if STDIO in sources and len(sources) > 1:
        raise UsageError("standard input ('-') must be the only input")
    if output is not None and len(sources) > 1:
        raise UsageError("-o names one output: give one input, or --out-dir for several")
    if out_dir is not None and STDIO in sources:
        raise UsageError("standard input goes to -o FILE or -o - (standard output), not --out-dir")


def plan(sources: list[str], template: ConversionJob, *, output: str | None, out_dir: str | None) -> Plan:
    """One job per input, with `template`'s options. Raises UsageError for
    arguments that contradict each other or would write two inputs to one
    output; an input that would be overwritten by its own output is refused
    (a failure of that file, the others still done)."""
    _check_arguments(sources, output, out_dir)
    targets = _targets(sources, output, out_dir)
    try:
        check_one_input_each((source, target) for source, target in zip(sources, targets) if target != STDIO)
    except ValueError as error:
        raise UsageError(str(error)) from None
    result = Plan()
    for source, target in zip(sources, targets):
        if STDIO not in (source, target) and _same_file(source, target):
            result.refused.append((source, "the output would replace the input; name another with -o or --out-dir"))
            continue
        result.jobs.append(replace(template, source=source, target=target))
    return result
