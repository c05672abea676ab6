"""`quillfen dirs --scheduler` on a cluster started from the command line (`dask scheduler` and `dask worker`
processes on 127.0.0.1, as on a real cluster): one worker against two on the same folders of real screenshot
pairs, beside the same command run locally and the Pillow + numpy peer (one thread per CPU, counting only).

    python bench/bench_dask_cluster.py [--repeat 4] [--limit N]

Every quillfen run writes the report (--out); on the cluster the workers write the diff images into it. The
workers are started (and have joined) before the clock starts: a real cluster is running when a suite sends its
pairs. Each worker has one thread, so two workers use the two cores of a small machine.
"""
import argparse
import os
import pathlib
import shutil
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "tools"))

from bench_dirs import PEER, checked, make_folders, measure  # noqa: E402
from common import SCREENSHOTS_HINT, screenshot_pairs  # noqa: E402


def main(argv=()):
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=4, help="copies of the screenshot folders")
    ap.add_argument("--limit", type=int, default=None, help="use only the first N pairs")
    args = ap.parse_args(list(argv))
    pairs = screenshot_pairs(limit=args.limit)
    if not pairs:
        print(SCREENSHOTS_HINT)
        return
    try:
        import distributed  # noqa: F401
    except ImportError:
        print('needs Dask: pip install "quillfen[distributed]"')
        return
    from dask_processes import ProcessCluster

    cpus = os.cpu_count() or 1
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="quillfen-bench-cluster-"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    quillfen = [sys.executable, "-m", "quillfen_tools", "dirs"]
    try:
        base, cur = make_folders(tmp / "pairs", pairs, args.repeat)
        n = len(pairs) * args.repeat
        peer_file = tmp / "peer.py"
        peer_file.write_text(PEER)
        measure([sys.executable, str(peer_file), str(base), str(cur), str(cpus)])  # page cache
        print(f"{n} real screenshot pairs, {cpus} CPUs; every quillfen run writes the report")
        rows = {f"Pillow + numpy, {cpus} threads (count only)":
                measure([sys.executable, str(peer_file), str(base), str(cur), str(cpus)])}
        rows["quillfen dirs, local (one process)"] = checked(measure(quillfen + [str(base), str(cur), "--out",
                                                                                 str(tmp / "local")]))
        for workers in (1, 2):
            with ProcessCluster(workers=workers, threads=1, env=env) as cluster:
                # The workers import quillfen on their first task: a short run first, as a cluster in use has.
                measure(quillfen + [str(base), str(cur), "--out", str(tmp / "warm"), "--scheduler", cluster.address])
                label = f"quillfen dirs --scheduler, {workers} worker{'s' if workers > 1 else ''} x 1 thread"
                rows[label] = checked(measure(quillfen + [str(base), str(cur), "--out", str(tmp / f"w{workers}"),
                                                          "--scheduler", cluster.address]))
        peer = next(iter(rows.values()))[0]
        print(f"{'':48} {'wall s':>8} {'pairs/s':>8} {'peak MiB':>9} {'vs peer':>8}")
        for name, (wall, rss, _) in rows.items():
            print(f"{name:48} {wall:8.2f} {n / wall:8.1f} {rss:9.0f} {peer / wall:7.2f}x")
        one, two = (v[0] for k, v in rows.items() if "--scheduler" in k)
        print(f"two workers against one: {one / two:.2f}x the pairs per second (peak MiB is the client's)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
