"""quillfen_tools against the bare engine calls it makes, on real screenshots and synthetic pairs:

- qt.compare(path, path) beside reading the files and calling the engine for the same work by hand, per kind of pair;
- a numpy pair: the memory the Python side allocates beside the size of one image (copies beyond the engine's);
- compare_many over 1 000 real pairs (files) beside the engine's compare_batch over the same pairs (bytes in
  memory), wall time and peak memory, each in a fresh process.
"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import tracemalloc

import quillfen
import quillfen_tools as qt

from common import SCREENSHOTS_HINT, best_cpu, best_time, encode_png, make_pair, screenshot_pairs

MANY = 1000


def engine_by_hand(b_path, c_path):
    """What qt.compare asks of the engine for one pair, written out with the engine's own calls."""
    with open(b_path, "rb") as f:
        b = f.read()
    with open(c_path, "rb") as f:
        c = f.read()
    cmp = quillfen.Comparison(b, c)
    if b == c:
        return 1.0  # the same file: nothing differs, SSIM is exactly 1.0
    n = cmp.diff_count()
    if n == 0 and not cmp.size_mismatch:
        return cmp.ssim()
    al = cmp.row_alignment()
    if al.aligned and al.residual_count == 0 and al.bands:
        return cmp.aligned_ssim(al)
    cmp.clusters()
    return cmp.ssim()


def pair_files(tmp):
    """(label, baseline path, current path) of 1280 x 720 pairs: real screenshots of each kind, then synthetic."""
    out = []
    seen = set()
    for p in screenshot_pairs(1280, 720):
        if p.kind in seen:
            continue
        seen.add(p.kind)
        out.append((f"real {p.kind}", str(p._paths[0]), str(p._paths[1])))
    for kind in ("identical", "changed", "aa-edge"):
        b, c = make_pair(1280, 720, kind)
        bp, cp = tmp / f"{kind}-b.png", tmp / f"{kind}-c.png"
        bp.write_bytes(encode_png(b))
        cp.write_bytes(encode_png(c))
        out.append((f"synthetic {kind}", str(bp), str(cp)))
    return out


def overhead(tmp):
    print("qt.compare(path, path) beside the same engine calls by hand, and beside reading the files and one")
    print("compare_batch([(b, c)]) call (decode, count, SSIM only), 1280 x 720, best of 15, wall and process CPU:")
    print(f"  {'pair':<20} {'by hand':>17} {'qt.compare':>17} {'overhead':>15} {'compare_batch':>17} {'qt/batch':>9}")

    def batch_one(b, c):
        with open(b, "rb") as f, open(c, "rb") as g:
            return quillfen.compare_batch([(f.read(), g.read())])

    for label, b, c in pair_files(tmp):
        row = []
        for fn in (lambda: engine_by_hand(b, c), lambda: qt.compare(b, c), lambda: batch_one(b, c)):
            row.append((best_time(fn, repeat=15), best_cpu(fn)))
        (w_e, c_e), (w_q, c_q), (w_b, c_b) = row
        print(f"  {label:<20} {w_e * 1e3:7.1f}/{c_e * 1e3:6.1f}ms {w_q * 1e3:7.1f}/{c_q * 1e3:6.1f}ms "
              f"{100 * (w_q / w_e - 1):+6.1f}/{100 * (c_q / c_e - 1):+6.1f}% {w_b * 1e3:7.1f}/{c_b * 1e3:6.1f}ms "
              f"{c_q / c_b:8.2f}x")
    print("  (overhead: wall/CPU; qt/batch: CPU. qt.compare does more for a changed pair: row alignment and")
    print("   clusters; for the same file twice it skips the count and SSIM)")


def numpy_copies():
    print("numpy pair (1920 x 1080 RGBA): memory allocated on the Python side, in images of 8.3 MB")
    b, c = make_pair(1920, 1080, "changed")
    size = b.nbytes
    for label, call in (
        ("engine from_rgba, count", lambda: quillfen.Comparison.from_rgba(
            b.tobytes(), 1920, 1080, c.tobytes(), 1920, 1080).diff_count()),
        ("qt.compare(array, array)", lambda: qt.compare(b, c)),
        ("qt.compare RGB arrays", lambda: qt.compare(b[:, :, :3].copy(), c[:, :, :3].copy())),
        ("qt.compare + ignore", lambda: qt.compare(b, c, ignore=[(0, 0, 100, 100)])),
    ):
        call()
        tracemalloc.start()
        call()
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        t = best_time(call, repeat=5)
        print(f"  {label:<28} peak {peak / size:4.2f} images   {t * 1e3:7.1f} ms")
    print("  (an RGB array is copied once into RGBA before its tobytes-free hand-over; the two RGB copies made by")
    print("   the benchmark itself are counted too)")


CHILD = r"""
import json, resource, sys, time
import quillfen, quillfen_tools as qt
mode, manifest = sys.argv[1], json.load(open(sys.argv[2]))
pairs = [tuple(p) for p in manifest]
t = time.perf_counter()
if mode == "compare_batch":
    cache = {}
    def read(path):
        if path not in cache:
            cache[path] = open(path, "rb").read()
        return cache[path]
    data = [(read(b), read(c)) for b, c in pairs]
    n = len(quillfen.compare_batch(data))
else:
    n = sum(1 for r in qt.compare_many(pairs))
wall = time.perf_counter() - t
print(json.dumps({"n": n, "wall": wall, "cpu": time.process_time(),
                  "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def many(tmp):
    real = screenshot_pairs(1280, 720)
    if not real:
        print(SCREENSHOTS_HINT)
        return
    paths = [(str(p._paths[0]), str(p._paths[1])) for p in real]
    same = [p for p, r in zip(paths, real) if r.kind == "identical"]
    mixes = {
        "every kind alike": [paths[i % len(paths)] for i in range(MANY)],
        "9 in 10 identical": [same[i % len(same)] if i % 10 else paths[i % len(paths)] for i in range(MANY)],
    }
    for title, pairs in mixes.items():
        manifest = tmp / "pairs.json"
        manifest.write_text(json.dumps(pairs))
        print(f"{MANY} real 1280 x 720 pairs ({title}), each run in a fresh process:")
        rows = {}
        for mode in ("compare_batch", "compare_many"):
            out = subprocess.run([sys.executable, "-c", CHILD, mode, str(manifest)], capture_output=True, text=True,
                                 check=True)
            rows[mode] = json.loads(out.stdout)
        for mode, r in rows.items():
            print(f"  {mode:<14} {r['wall']:7.2f} s wall  {r['cpu']:7.2f} s cpu  peak RSS {r['rss'] / 1024:7.1f} MB")
        a, b = rows["compare_batch"], rows["compare_many"]
        print(f"  compare_many / compare_batch: wall {b['wall'] / a['wall']:.2f}x, cpu {b['cpu'] / a['cpu']:.2f}x, "
              f"peak memory {b['rss'] / a['rss']:.2f}x")
    print("  (compare_batch holds every input in memory and does count + SSIM; compare_many reads files as it")
    print("   goes, also aligns rows and clusters changed pairs, and skips count and SSIM for identical files)")


FLAT = r"""
import resource, sys
import quillfen_tools as qt
from common import make_pair, encode_png
b, c = (encode_png(a) for a in make_pair(320, 240, "changed"))
marks = {}
for i, r in enumerate(qt.compare_many((b, c) for _ in range(10000)), 1):
    if i in (100, 1000, 10000):
        marks[i] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(" ".join(f"{k}:{v:.1f}" for k, v in marks.items()))
"""


def flat_memory():
    out = subprocess.run([sys.executable, "-c", FLAT], capture_output=True, text=True, check=True,
                         cwd=os.path.dirname(os.path.abspath(__file__)))
    marks = dict(item.split(":") for item in out.stdout.split())
    print("compare_many over 10 000 changed 320 x 240 pairs from a generator: peak RSS after")
    print("  " + "   ".join(f"{k:>5} pairs {float(v):6.1f} MB" for k, v in marks.items()))
    print(f"  growth from 1 000 to 10 000 pairs: {float(marks['10000']) / float(marks['1000']):.2f}x")


def main():
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        overhead(tmp)
        numpy_copies()
        many(tmp)
        flat_memory()


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
