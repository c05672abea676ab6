"""Batch functions and thumbnails against Pillow + numpy on the same screenshot-like inputs."""
import io
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image

import quillfen

PAIRS = 200
UNIQUE = 20  # distinct pairs, cycled to make up the batch (nothing is cached between pairs)


def screenshot(w, h, seed):
    """A page-like RGB image: header bar, text lines, a few photos with gradients."""
    rng = np.random.default_rng(seed)
    a = np.full((h, w, 3), 250, np.uint8)
    a[:60] = (32, 64, 160)
    for y in range(90, h - 20, 22):
        x = 40
        while x < w - 80:
            n = int(rng.integers(20, 90))
            a[y:y + 12, x:x + n] = rng.integers(0, 80)
            x += n + 12
    for _ in range(3):
        x, y = int(rng.integers(0, w - 200)), int(rng.integers(80, h - 150))
        gy, gx = np.mgrid[0:120, 0:180]
        a[y:y + 120, x:x + 180] = np.stack([gx, gy, (gx + gy) // 2], -1).astype(np.uint8)
    return a


def changed(a, seed):
    b = a.copy()
    rng = np.random.default_rng(seed + 1000)
    h, w = b.shape[:2]
    for _ in range(4):
        x, y = int(rng.integers(0, w - 100)), int(rng.integers(0, h - 30))
        b[y:y + 24, x:x + 90] = 255 - b[y:y + 24, x:x + 90]
    return b


def png(a):
    buf = io.BytesIO()
    Image.fromarray(a).save(buf, format="PNG")
    return buf.getvalue()


def make_pairs(w=1280, h=720):
    unique = []
    for i in range(UNIQUE):
        a = screenshot(w, h, i)
        unique.append((png(a), png(changed(a, i))))
    return [unique[i % UNIQUE] for i in range(PAIRS)]


def numpy_count(pair, threshold=0.1):
    """What a Python user would write: decode with Pillow, YIQ colour distance in numpy, count above threshold."""
    a, b = (np.asarray(Image.open(io.BytesIO(p)).convert("RGBA"), dtype=np.float32) for p in pair)
    d = a[..., :3] - b[..., :3]
    y = d[..., 0] * 0.29889531 + d[..., 1] * 0.58662247 + d[..., 2] * 0.11448223
    i = d[..., 0] * 0.59597799 - d[..., 1] * 0.27417610 - d[..., 2] * 0.32180189
    q = d[..., 0] * 0.21147017 - d[..., 1] * 0.52261711 + d[..., 2] * 0.31114694
    delta = 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q
    return int((delta > 35215 * threshold * threshold).sum())


def best(fn, repeat=2):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def report(name, ours, peer, peer_name):
    print(f"  {name:<44} quillfen {ours * 1000:8.1f} ms   {peer_name} {peer * 1000:8.1f} ms   ratio {peer / ours:5.2f}x")


PINNED = """
import sys, time
sys.path.insert(0, sys.argv[1])
import bench_batch, quillfen
pairs = bench_batch.make_pairs()
fn = getattr(quillfen, sys.argv[2])
print(bench_batch.best(lambda: fn(pairs)))
"""


def pinned_seconds(function):
    if shutil.which("taskset") is None:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run(["taskset", "-c", "0", sys.executable, "-c", PINNED, here, function],
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def main():
    pairs = make_pairs()
    print(f"  {PAIRS} pairs of 1280x720 screenshots, {os.cpu_count()} logical CPUs")
    loop = best(lambda: [numpy_count(p) for p in pairs])
    with ThreadPoolExecutor(os.cpu_count()) as pool:
        threaded = best(lambda: list(pool.map(numpy_count, pairs)))
    singles = best(lambda: [quillfen.Comparison(b, c).diff_count() for b, c in pairs])
    for function in ("diff_count_batch", "compare_batch"):
        fn = getattr(quillfen, function)
        ours = best(lambda: fn(pairs))
        report(f"{function} vs Pillow+numpy loop", ours, loop, "peer")
        report(f"{function} vs Pillow+numpy on a thread pool", ours, threaded, "peer")
        if function == "diff_count_batch":
            report("diff_count_batch vs Comparison().diff_count() loop", ours, singles, "loop")
        one_core = pinned_seconds(function)
        if one_core is not None:
            report(f"{function}: all cores vs pinned to one core", ours, one_core, "1 core")

    big = screenshot(1920, 1080, 5)
    big_png = png(big)

    def pillow_thumbnail():
        im = Image.open(io.BytesIO(big_png)).convert("RGB")
        im = im.resize((200, round(200 * 1080 / 1920)), Image.LANCZOS)
        im.save(io.BytesIO(), format="WEBP", lossless=True)

    report("thumbnail(1920x1080) vs resize + lossless WebP", best(lambda: quillfen.thumbnail(big_png), 5),
           best(pillow_thumbnail, 5), "Pillow")


if __name__ == "__main__":
    main()
