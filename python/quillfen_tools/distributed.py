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

from . import api
from .report import shared_image_path
from .results import Result

__all__ = ["compare_many", "connect", "WriteDiffImage", "DEFAULT_CHUNK"]

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


def _portable(options: dict[str, Any]) -> dict[str, Any]:
    """The options in a form that pickles without numpy: an ignore mask becomes its bytes and shape."""
    ignore = options.get("ignore")
    if ignore is None or isinstance(ignore, (list, tuple)):
        return options
    view = memoryview(ignore)
    return {**options, "ignore": ("mask", view.tobytes(), tuple(view.shape or ()))}


def _restored(options: dict[str, Any]) -> dict[str, Any]:
    ignore = options.get("ignore")
    if isinstance(ignore, tuple) and len(ignore) == 3 and ignore[0] == "mask":
        _, data, shape = ignore
        return {**options, "ignore": memoryview(data).cast("B", shape)}
    return options


_worker_threads: int | None = None


def _compare_chunk(
    chunk: list[tuple[int, Any]], options: dict[str, Any], finish: Callable[[Result], Result] | None,
) -> list[Result]:
    """Runs on a worker: the results of one chunk of (index, pair) items, in order."""
    global _worker_threads
    import concurrent.futures

    from distributed import get_worker

    threads = max(1, get_worker().state.nthreads)
    if _worker_threads != threads:
        # The engine's pool would otherwise use every core of the machine, which the worker shares with others.
        api.set_threads(threads)
        _worker_threads = threads
    opts = api._options(**_restored(options))

    def one(entry: tuple[int, Any]) -> Result:
        result = api._one(entry[0], entry[1], opts)
        if finish is not None:
            try:
                result = finish(result)
            except Exception as e:  # noqa: BLE001 - a pair whose outputs cannot be written is an error result
                result = Result(name=result.name, status="error", passed=False, error=f"{result.name}: {e}")
        return result

    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        return list(pool.map(one, chunk))


@dataclass(frozen=True)
class WriteDiffImage:
    """A finish step for compare_many: the worker writes the pair's diff image into a report folder that every
    worker can reach (at report.shared_image_path(name, "diff")) and sends the result back without it."""

    report_dir: str

    def __call__(self, result: Result) -> Result:
        if result.diff_png is None or result.name is None:
            return result
        path = os.path.join(self.report_dir, shared_image_path(result.name, "diff"))
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "wb") as f:
            f.write(result.diff_png)
        os.replace(tmp, path)  # a retried task never leaves half a file behind
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

    options: keyword options of quillfen_tools.compare (the others keep their defaults). finish: a picklable function the worker applies to
    every result before sending it back (for example writing its images to shared storage and dropping the bytes).
    At most a few chunks per worker thread are in flight, so memory stays flat over any number of pairs.
    """
    _distributed()
    defaults = {k: v for k, v in (api.compare.__kwdefaults__ or {}).items() if k != "name"}
    options = {**defaults, **options}
    api._options(**options)  # bad options fail here, at once, not on every worker
    portable = _portable(options)
    total = len(pairs) if isinstance(pairs, Sequence) else None
    return _run(client, pairs, portable, chunk_size, finish, api._Progress(progress, total))


def _run(
    client: Any, pairs: Iterable[Any], options: dict[str, Any], chunk_size: int,
    finish: Callable[[Result], Result] | None, progress: Any,
) -> Iterator[Result]:
    threads = sum(client.nthreads().values()) or 1
    window = 2 * threads + 2
    source = enumerate(pairs)

    def submit(chunk: list[tuple[int, Any]]) -> Any:
        return client.submit(_compare_chunk, chunk, options, finish, pure=False)

    pending: collections.deque[tuple[list[tuple[int, Any]], Any]] = collections.deque()
    try:
        while True:
            while len(pending) < window:
                chunk = list(itertools.islice(source, chunk_size))
                if not chunk:
                    break
                pending.append((chunk, submit(chunk)))
            if not pending:
                return
            chunk, head = pending.popleft()
            tries = 0
            while True:
                try:
                    # Short timed waits, so that Ctrl-C reaches this thread at once.
                    results = head.result(timeout=api._WAIT_SLICE)
                    break
                except TimeoutError:
                    continue
                except Exception as e:  # noqa: BLE001 - the pairs of a failed task are error results, never lost
                    # Pair failures never raise (they are results), so this is the task itself failing, as when
                    # the cluster loses its worker at an awkward moment: once more, then its pairs are errors.
                    tries += 1
                    if tries > 1:
                        results = _lost(chunk, e)
                        break
                    head = submit(chunk)
            for result in results:
                progress.advance()
                yield result
    finally:
        for _, future in pending:
            future.cancel()
        progress.close()
