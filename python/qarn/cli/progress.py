"""What a conversion of many files shows while it runs: on a terminal a
progress bar (files done, MB done, MB/s, time left) with the summary lines
above it; elsewhere only the summary lines."""

from __future__ import annotations

import sys
from typing import TextIO

from tqdm import tqdm

from .errors import say


class Progress:
    def __init__(self, files: int, total_bytes: int, *, stream: TextIO | None = None) -> None:
        self._stream = stream or sys.stderr
        self._files = files
        self._done = 0
        self._bar: tqdm | None = None
        if files > 1 and self._stream.isatty():
            self._bar = tqdm(
                total=total_bytes,
                unit="B",
                unit_scale=True,
                unit_divisor=1000,
                file=self._stream,
                desc=self._description(),
                bar_format="{desc} {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B [{rate_fmt}, {remaining} left]",
                dynamic_ncols=True,
                leave=False,
            )

    def _description(self) -> str:
        return f"{self._done}/{self._files} files"

    def line(self, text: str) -> None:
        """A summary line, printed above the bar."""
        if self._bar is not None:
            self._bar.write(text, file=self._stream)
        else:
            say(text)

    def advance(self, input_bytes: int) -> None:
        """One more file done, of that many bytes of input."""
        self._done += 1
        if self._bar is not None:
            self._bar.set_description_str(self._description(), refresh=False)
            self._bar.update(input_bytes)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
