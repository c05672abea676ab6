"""The same folder of real screenshot pairs compared on this machine and on a local Dask cluster of two worker
processes: wall time, the overhead per pair, and what travels between the client, the scheduler and the workers.

    python bench/bench_distributed.py [--repeat 2] [--chunk 16]

Both runs make the diff images (the cluster's workers write theirs into the report folder). The cluster is started
before the clock starts: a real cluster is running already when a suite sends its pairs.
"""
import argparse
import os
import pathlib
import pickle
import shutil
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_dirs import make_folders  # noqa: E402
from common import SCREENSHOTS_HINT, screenshot_pairs  # noqa: E402


def run(entries, report, client=None, chunk=None):
    from quillfen_tools import distributed
    from quillfen_tools.folders import run_dirs

    if chunk is not None:
        distributed.DEFAULT_CHUNK = chunk
    t = time.perf_counter()
    result = run_dirs(entries, report_dir=report, client=client)
    wall = time.perf_counter() - t
    summary = {k: v for k, v in result.summary.items() if v}
    result.records.close()
    return wall, summary


def main(argv=()):
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=2, help="copies of the screenshot folders")
    ap.add_argument("--chunk", type=int, default=16, help="pairs per task")
    ap.add_argument("--limit", type=int, default=None, help="use only the first N pairs")
    args = ap.parse_args(list(argv))
    pairs = screenshot_pairs(limit=args.limit)
    if not pairs:
        print(SCREENSHOTS_HINT)
        return
    try:
        import distributed
    except ImportError:
        print('needs Dask: pip install "quillfen[distributed]"')
        return
    from quillfen_tools import distributed as qtd
    from quillfen_tools.folders import pair_folders

    tmp = pathlib.Path(tempfile.mkdtemp(prefix="quillfen-bench-dask-"))
    cluster = client = None
    try:
        base, cur = make_folders(tmp / "pairs", pairs, args.repeat)
        entries = pair_folders(base, cur)
        n = len(entries)
        cpus = os.cpu_count() or 1
        print(f"{n} real screenshot pairs, {cpus} CPUs; local run vs a local Dask cluster of 2 worker processes "
              f"x {max(1, cpus // 2)} threads, {args.chunk} pairs per task; diff images and report written")
        run(entries[: min(n, 8)], tmp / "warm")  # page cache and imports
        print("warm", flush=True)
        local_wall, local_summary = run(entries, tmp / "local")
        t = time.perf_counter()
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=max(1, cpus // 2), processes=True,
                                           dashboard_address=None, silence_logs=40)
        client = distributed.Client(cluster)
        start = time.perf_counter() - t
        run(entries[: min(n, 8)], tmp / "warm2", client, args.chunk)  # workers import quillfen once
        dask_wall, dask_summary = run(entries, tmp / "dask", client, args.chunk)
        assert dask_summary == local_summary, (dask_summary, local_summary)

        print(f"{'':34} {'wall s':>8} {'pairs/s':>8} {'vs local':>9}")
        print(f"{'local (threads, one process)':34} {local_wall:8.2f} {n / local_wall:8.1f} {1:9.2f}x")
        print(f"{'Dask LocalCluster, 2 processes':34} {dask_wall:8.2f} {n / dask_wall:8.1f} "
              f"{local_wall / dask_wall:9.2f}x")
        print(f"overhead per pair on the cluster: {(dask_wall - local_wall) / n * 1e3:+.2f} ms "
              f"(cluster start, not counted: {start:.1f} s)")

        # What crosses the network: a task carries its chunk of paths and the options; a result comes back as
        # records without image bytes (the workers wrote the diff images into the shared report folder).
        chunk_items = [(i, (e.name, e.baseline, e.current)) for i, e in enumerate(entries[: args.chunk])]
        options = qtd._portable(dict(qtd.api.compare.__kwdefaults__ or {}, diff=True))
        options.pop("name", None)
        sent = len(pickle.dumps((chunk_items, options)))
        results = list(qtd.compare_many(client, [item for _, item in chunk_items], dict(options, diff=True),
                                        finish=qtd.WriteDiffImage(str(tmp / "dask"))))
        back = len(pickle.dumps(results))
        print(f"per task of {len(chunk_items)} pairs: {sent} bytes sent, {back} bytes of results back "
              f"({(sent + back) / len(chunk_items):.0f} bytes per pair); image data never passes the scheduler")
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
