"""What a folder run shows on the terminal: a progress bar (or one plain line per pair when not on a terminal),
the pairs that need a look, and the summary line. Every name is made printable first."""
from __future__ import annotations

import sys
import time
from typing import IO

from .results import Result
from .words import details, printable

__all__ = ["PROG", "Progress", "summary_line", "verdict"]

#: The command's name, in its messages.
PROG = "quillfen"


def verdict(result: Result) -> str:
    return "passed" if result.passed else "FAILED"


class Progress:
    """A one-line progress bar on a terminal (stderr); plain lines, one per pair, otherwise (on `out`)."""

    def __init__(self, total: int, out: IO[str], tty: bool):
        self.total, self.out, self.tty = total, out, tty
        self.width = len(str(total))
        self.start = time.monotonic()
        self.last = 0.0
        self.failing = 0
        self.shown = False

    def _bar(self, done: int) -> str:
        cols = 28
        filled = cols * done // self.total if self.total else cols
        elapsed = time.monotonic() - self.start
        return (f"\r  [{'#' * filled}{'.' * (cols - filled)}] {done:>{self.width}}/{self.total}"
                f"  {self.failing} not passing  {elapsed:5.1f}s ")

    def update(self, done: int, result: Result, counts_as_passed: bool) -> None:
        if not counts_as_passed:
            self.failing += 1
        name = printable(result.name)
        if not self.tty:
            self.out.write(f"[{done:>{self.width}}/{self.total}] {result.status:<12} {name}"
                           + ("" if result.status == "unchanged" else f"  {printable(details(result))}") + "\n")
            self.out.flush()
            return
        err = sys.stderr
        if not counts_as_passed:
            # Pairs that need a look are listed above the bar as they come.
            err.write("\r\x1b[K")
            err.write(f"  {result.status:<12} {name}  {printable(details(result))}\n")
        now = time.monotonic()
        if not counts_as_passed or now - self.last > 0.1 or done == self.total:
            self.last = now
            err.write(self._bar(done))
            err.flush()
            self.shown = True

    def close(self) -> None:
        if self.tty and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def summary_line(summary: dict[str, int], total: int) -> str:
    parts = [f"{n} {status}" for status, n in summary.items() if n]
    return f"{total} pair{'s' if total != 1 else ''}: " + (", ".join(parts) if parts else "none compared")
