"""compare_many() spread over a Dask cluster.

The pairs go to the workers in chunks; each chunk is one task that compares its pairs on the worker with the same
code as a local run (Python threads calling the engine, as many as the worker has threads, the engine's pool capped
to that count), so every pair gets the same answer wherever it runs. Inputs should be paths every worker can read
(a shared file system) or URLs that fsspec opens, so that image bytes never travel through the scheduler; only the
small result records come back, in input order. Needs the `distributed` extra: pip install "quillfen[distributed]".
"""
from __future__ import annotations

import collections
import dataclasses
import itertools
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from ._files import write_atomic
from ._options import Options
from ._run import WAIT_SLICE, Progress, local_results
from .report import shared_image_path
from .results import Result

__all__ = ["compare_many", "results", "connect", "WriteDiffImage", "DEFAULT_CHUNK"]

# Pairs per task: large enough that a task's overhead (a few milliseconds of scheduling and transfer) is small
# beside its comparisons, small enough that work spreads evenly and a lost worker costs little.
DEFAULT_CHUNK = 16

_INSTALL_HINT = 'Dask is not installed: pip install "quillfen[distributed]" (or dask[distributed])'


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as e:
        raise ImportError(_INSTALL_HINT) from e
    return distributed


def connect(scheduler: str) -> Any:
    """A dask.distributed Client for `scheduler`: an address such as "tcp://host:8786", or "local" / "local:N" for
    a cluster of N worker processes on this machine (default: one per CPU)."""
    distributed = _distributed()
    if scheduler == "local" or scheduler.startswith("local:"):
        count = scheduler.partition(":")[2]
        if count and (not count.isdigit() or int(count) < 1):
            raise ValueError(f"--scheduler local:N takes a number of workers N >= 1, got {scheduler!r}")
        cpus = os.cpu_count() or 1
        workers = int(count) if count else cpus
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=max(1, cpus // workers), processes=True,
            dashboard_address=None, silence_logs=40,
        )
        return distributed.Client(cluster)
    return distributed.Client(scheduler, timeout="20s")


_worker_threads: int | None = None


def _compare_chunk(
    chunk: list[tuple[int, Any]], opts: Options, finish: Callable[[Result], Result] | None,
) -> list[Result]:
    """Runs on a worker: the results of one chunk of consecutive (index, pair) items, in order, by the same
    local run as on one machine."""
    global _worker_threads
    from distributed import get_worker

    from ._native import set_threads

    threads = max(1, get_worker().state.nthreads)
    if _worker_threads != threads:
        # The engine's pool would otherwise use every core of the machine, which the worker shares with others.
        set_threads(threads)
        _worker_threads = threads
    out = []
    for result in local_results((item for _, item in chunk), opts, threads, start=chunk[0][0] if chunk else 0):
        if finish is not None:
            try:
                result = finish(result)
            except Exception as e:  # noqa: BLE001 - a pair whose outputs cannot be written is an error result
                result = Result(name=result.name, status="error", passed=False, error=f"{result.name}: {e}")
        out.append(result)
    return out


@dataclass(frozen=True)
class WriteDiffImage:
    """A finish step for compare_many: the worker writes the pair's diff image into a report folder that every
    worker can reach (at report.shared_image_path(name, "diff")) and sends the result back without it."""

    report_dir: str

    def __call__(self, result: Result) -> Result:
        if result.diff_png is None or result.name is None:
            return result
        # Atomic: a retried task never leaves half a file behind.
        write_atomic(os.path.join(self.report_dir, shared_image_path(result.name, "diff")), result.diff_png,
                     root=self.report_dir)
        return dataclasses.replace(result, diff_png=None)


def _lost(chunk: list[tuple[int, Any]], error: BaseException) -> list[Result]:
    """Error results for a chunk whose task failed as a whole (say a worker that died too often)."""
    results = []
    for index, item in chunk:
        name = str(item[0]) if isinstance(item, (tuple, list)) and len(item) == 3 and item[0] is not None else None
        label = repr(name) if name is not None else f"pair {index}"
        results.append(Result(name=name, status="error", passed=False,
                              error=f"{label}: the task comparing it failed: {type(error).__name__}: {error}"))
    return results


def compare_many(
    client: Any,
    pairs: Iterable[Any],
    options: dict[str, Any],
    *,
    progress: bool = False,
    chunk_size: int = DEFAULT_CHUNK,
    finish: Callable[[Result], Result] | None = None,
) -> Iterator[Result]:
    """The results of `pairs` compared on the workers of `client`, in input order.

    options: keyword options of quillfen_tools.compare (the others keep their defaults); checked here, at once,
    not on every worker. finish: a picklable function the worker applies to every result before sending it back
    (for example writing its images to shared storage and dropping the bytes).
    At most a few chunks per worker thread are in flight, so memory stays flat over any number of pairs.
    """
    _distributed()
    opts = Options.make(**options)
    total = len(pairs) if isinstance(pairs, Sequence) else None
    return results(client, pairs, opts, progress=Progress(progress, total), chunk_size=chunk_size, finish=finish)


def results(client: Any, pairs: Iterable[Any], opts: Options, *, progress: Progress | None = None,
            chunk_size: int = DEFAULT_CHUNK, finish: Callable[[Result], Result] | None = None) -> Iterator[Result]:
    """`compare_many` on a cluster under options already checked."""
    _distributed()
    return _run(client, pairs, opts, chunk_size, finish, progress or Progress(False, None))


def _run(
    client: Any, pairs: Iterable[Any], opts: Options, chunk_size: int,
    finish: Callable[[Result], Result] | None, progress: Progress,
) -> Iterator[Result]:
    threads = sum(client.nthreads().values()) or 1
    window = 2 * threads + 2
    source = enumerate(pairs)

    def submit(chunk: list[tuple[int, Any]]) -> Any:
        return client.submit(_compare_chunk, chunk, opts, finish, pure=False)

    pending: collections.deque[tuple[list[tuple[int, Any]], Any]] = collections.deque()
    failure: Exception | None = None
    try:
        while True:
            while failure is None and len(pending) < window:
                chunk: list[tuple[int, Any]] = []
                try:
                    chunk.extend(itertools.islice(source, chunk_size))
                except Exception as e:  # noqa: BLE001 - raised once the pairs read before it are done
                    failure = e
                if not chunk:
                    break
                pending.append((chunk, submit(chunk)))
            if not pending:
                if failure is not None:
                    raise failure
                return
            chunk, head = pending.popleft()
            tries = 0
            while True:
                try:
                    # Short timed waits, so that Ctrl-C reaches this thread at once.
                    done = head.result(timeout=WAIT_SLICE)
                    break
                except TimeoutError:
                    continue
                except Exception as e:  # noqa: BLE001 - the pairs of a failed task are error results, never lost
                    # Pair failures never raise (they are results), so this is the task itself failing, as when
                    # the cluster loses its worker at an awkward moment: once more, then its pairs are errors.
                    tries += 1
                    if tries > 1:
                        done = _lost(chunk, e)
                        break
                    head = submit(chunk)
            for result in done:
                progress.advance()
                yield result
    finally:
        for _, future in pending:
            future.cancel()
        progress.close()
