"""Runs of many pairs: an ordered, bounded window of pairs in flight on local threads, and the progress bar.

At most a few pairs per thread are in flight or finished but not yet handed out, so memory stays flat however
many pairs come, and results leave in input order. The Dask backend (distributed.py) keeps the same window over
chunks of pairs and runs this same local window on each worker.
"""
from __future__ import annotations

import collections
import concurrent.futures
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from . import _native
from ._options import Options
from ._verdict import compare_item
from .results import Result

__all__ = ["Progress", "default_jobs", "local_results", "WAIT_SLICE"]

#: How often a waiting run looks up from its wait, so that Ctrl-C is handled promptly.
WAIT_SLICE = 0.05


def default_jobs() -> int:
    """Pairs compared at once by default: one per thread of the worker pool."""
    return max(1, min(_native.max_threads(), os.cpu_count() or 1))


class Progress:
    """A rich progress bar on stderr when asked for, rich is installed and stderr is a terminal; else nothing."""

    def __init__(self, enabled: bool, total: int | None) -> None:
        self.bar: Any = None
        if not enabled or not sys.stderr.isatty():
            return
        try:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn, TimeRemainingColumn
        except ImportError:
            return
        self.bar = Bar(
            TextColumn("comparing"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn(),
            console=Console(file=sys.stderr), transient=False,
        )
        self.bar.start()
        self.task = self.bar.add_task("compare", total=total)

    def advance(self) -> None:
        if self.bar is not None:
            self.bar.advance(self.task)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()
            self.bar = None


def local_results(pairs: Iterable[Any], opts: Options, jobs: int, progress: Progress | None = None,
                  start: int = 0) -> Iterator[Result]:
    """The result of every pair, in input order, `jobs` pairs at a time on Python threads (the engine releases
    the interpreter lock and spreads each pair over the shared worker pool). `start` numbers the first pair in
    messages. When reading `pairs` raises, every result already made is handed out first, then the error."""
    window = 2 * jobs
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="quillfen_tools")
    pending: collections.deque[concurrent.futures.Future[Result]] = collections.deque()
    source = enumerate(pairs, start)
    failure: BaseException | None = None
    try:
        while True:
            while failure is None and len(pending) < window:
                try:
                    index, item = next(source)
                except StopIteration:
                    failure = StopIteration()
                    break
                except Exception as e:  # noqa: BLE001 - raised after the results already on their way
                    failure = e
                    break
                pending.append(executor.submit(compare_item, index, item, opts))
            if not pending:
                if failure is not None and not isinstance(failure, StopIteration):
                    raise failure
                return
            head = pending[0]
            # A short timed wait in a loop, so that Ctrl-C reaches this thread at once.
            while not head.done():
                concurrent.futures.wait((head,), timeout=WAIT_SLICE)
            pending.popleft()
            result = head.result()
            if progress is not None:
                progress.advance()
            yield result
    finally:
        for f in pending:
            f.cancel()
        # Pairs already running finish on their own and are dropped.
        executor.shutdown(wait=False, cancel_futures=True)
        if progress is not None:
            progress.close()
