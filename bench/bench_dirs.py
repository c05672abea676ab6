"""`quillfen dirs` over folders of real screenshot pairs against a Pillow + numpy script that only counts the
differing pixels, each run as its own process on the same folders: wall time and peak memory (max RSS).

quillfen is measured twice: counting only (no --out) and with the whole report (diff image and two WebP
thumbnails per pair, report.json, index.html). The peer decodes both PNG files with Pillow and counts the pixels
whose RGBA bytes differ with numpy (no perceptual threshold, no anti-aliasing test, no image written): once as
the plain loop a user would write, once spread over a thread pool of one thread per CPU (Pillow's decoder and
numpy release the interpreter lock).

Flat memory: the same folders repeated several times over (hard links under other names) must not raise
quillfen's peak memory.

    python bench/bench_dirs.py [--repeat 4] [--limit N]
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import SCREENSHOTS_HINT, screenshot_pairs  # noqa: E402

PEER = r'''
import os, sys
from concurrent.futures import ThreadPoolExecutor
import numpy as np
from PIL import Image

def count(pair):
    b = np.asarray(Image.open(pair[0]).convert("RGBA"))
    c = np.asarray(Image.open(pair[1]).convert("RGBA"))
    if b.shape != c.shape:
        h, w = max(b.shape[0], c.shape[0]), max(b.shape[1], c.shape[1])
        pb = np.zeros((h, w, 4), np.uint8); pb[:b.shape[0], :b.shape[1]] = b
        pc = np.zeros((h, w, 4), np.uint8); pc[:c.shape[0], :c.shape[1]] = c
        b, c = pb, pc
    return int(np.any(b != c, axis=2).sum())

base, cur, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
pairs = []
for root, _, files in os.walk(base):
    for f in files:
        if f.endswith(".png"):
            rel = os.path.relpath(os.path.join(root, f), base)
            pairs.append((os.path.join(base, rel), os.path.join(cur, rel)))
pairs.sort()
if threads > 1:
    with ThreadPoolExecutor(threads) as ex:
        counts = list(ex.map(count, pairs))
else:
    counts = [count(p) for p in pairs]
print(len(counts), sum(1 for n in counts if n))
'''


def make_folders(root, pairs, repeat, unique=False):
    base, cur = root / "baseline", root / "current"
    for r in range(repeat):
        for i, p in enumerate(pairs):
            name = f"r{r}/{p.page}-{p.width}x{p.height}/{p.kind}.png" if repeat > 1 else \
                f"{p.page}-{p.width}x{p.height}/{p.kind}.png"
            if unique:
                name = f"{i:05d}-{name.replace('/', '-')}"
            for folder, target in ((base, p._paths[0]), (cur, p._paths[1])):
                path = folder / name
                path.parent.mkdir(parents=True, exist_ok=True)
                link(target, path)
    return base, cur


def link(target, path):
    """A hard link to the cached file (a copy on another file system): a symbolic link leading out of the folder
    compared is an error entry, not an image."""
    try:
        os.link(target, path)
    except OSError:
        shutil.copyfile(target, path)


def checked(row):
    """The row of a quillfen run, once its summary line shows that every pair was compared (an error entry would
    make the figures those of a run that did nothing)."""
    summary = next((line for line in row[2].splitlines() if " pairs: " in line or " pair: " in line), "")
    if not summary or " error" in summary:
        raise SystemExit(f"the quillfen run did not compare every pair: {summary or row[2][-2000:]!r}")
    return row


def measure(argv):
    """(wall seconds, peak RSS in MiB, stdout) of one process."""
    t = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_maxrss / 1024, out


def main(argv=()):
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=4, help="copies of the folders for the flat-memory run")
    ap.add_argument("--limit", type=int, default=None, help="use only the first N pairs")
    args = ap.parse_args(list(argv))
    pairs = screenshot_pairs(limit=args.limit)
    if not pairs:
        print(SCREENSHOTS_HINT)
        return
    cpus = os.cpu_count() or 1
    quillfen = [sys.executable, "-m", "quillfen_tools", "dirs"]
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="quillfen-bench-dirs-"))
    try:
        base, cur = make_folders(tmp / "one", pairs, 1)
        n = len(pairs)
        size = sum(p._paths[0].stat().st_size + p._paths[1].stat().st_size for p in pairs) / 2 ** 20
        print(f"{n} real screenshot pairs (1280x720 and 1280x3000, {size:.0f} MiB of PNG), {cpus} CPUs")
        peer_file = tmp / "peer.py"
        peer_file.write_text(PEER)
        # A first pass of each reads the files into the page cache, so neither pays for the disk.
        measure([sys.executable, str(peer_file), str(base), str(cur), str(cpus)])
        rows = {}
        rows["Pillow + numpy, plain loop (count only)"] = measure(
            [sys.executable, str(peer_file), str(base), str(cur), "1"])
        rows[f"Pillow + numpy, {cpus} threads (count only)"] = measure(
            [sys.executable, str(peer_file), str(base), str(cur), str(cpus)])
        rows["quillfen dirs (statuses, no report)"] = measure(quillfen + [str(base), str(cur)])
        report = tmp / "report"
        rows["quillfen dirs --out (with the report)"] = measure(quillfen + [str(base), str(cur), "--out", str(report)])
        images = sum(f.stat().st_size for f in (report / "images").iterdir()) / 2 ** 20

        best_peer = min(v[0] for k, v in rows.items() if k.startswith("Pillow"))
        print(f"{'':44} {'wall s':>8} {'pairs/s':>8} {'peak MiB':>9} {'vs best peer':>13}")
        for name, (wall, rss, _) in rows.items():
            print(f"{name:44} {wall:8.2f} {n / wall:8.1f} {rss:9.0f} {best_peer / wall:12.1f}x")
        print(f"report images: {images:.0f} MiB ({images * 1024 / n:.0f} KiB per pair)")

        # A suite's day: most pairs are unchanged (two renders of an unchanged page are the same file); here
        # 49 identical pairs for every changed one.
        identical = [p for p in pairs if p.kind == "identical"]
        changed = [p for p in pairs if p.kind != "identical"]
        if identical and changed:
            mix = identical * 49
            mix += changed[: max(1, len(mix) // 49)]
            mix_base, mix_cur = make_folders(tmp / "mix", mix, 1, unique=True)
            m = len(mix)
            peer = measure([sys.executable, str(peer_file), str(mix_base), str(mix_cur), str(cpus)])
            ours = measure(quillfen + [str(mix_base), str(mix_cur), "--out", str(tmp / "mix-report")])
            print(f"suite-like mix, {m} pairs ({m - len(changed[: max(1, len(mix) // 49)])} identical):")
            print(f"{'Pillow + numpy, ' + str(cpus) + ' threads (count only)':44} {peer[0]:8.2f} {m / peer[0]:8.1f} "
                  f"{peer[1]:9.0f} {1:12.1f}x")
            print(f"{'quillfen dirs --out (with the report)':44} {ours[0]:8.2f} {m / ours[0]:8.1f} {ours[1]:9.0f} "
                  f"{peer[0] / ours[0]:12.1f}x")

        if args.repeat > 1:
            shutil.rmtree(report)
            big_base, big_cur = make_folders(tmp / "many", pairs, args.repeat)
            wall1, rss1, _ = rows["quillfen dirs --out (with the report)"]
            wall, rss, _ = measure(quillfen + [str(big_base), str(big_cur), "--out", str(report)])
            print(f"flat memory: {n} pairs peak {rss1:.0f} MiB; {n * args.repeat} pairs peak {rss:.0f} MiB "
                  f"(ratio {rss / rss1:.2f}), {n * args.repeat / wall:.1f} pairs/s")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
