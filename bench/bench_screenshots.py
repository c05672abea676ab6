"""Thumbnails, heavy diffs, clusters, batches and a whole comparison on real screenshots (bench/make_screenshots.py)
and on synthetic pages, each beside its peer in the same run with the ratio.

Figures are the fastest of a few runs, as wall time and as CPU time of the whole process (all threads): on a busy
machine the wall time of a long call includes waiting for the processor, so both are printed.
"""
import io
import os
import sys
import time

import numpy as np
from PIL import Image

import quillfen

from common import SCREENSHOTS_HINT, screenshot_pairs

QUICK = os.environ.get("QUILLFEN_BENCH_QUICK") == "1"
PAGES = 3 if QUICK else 6


def timed(fn, repeat=5):
    """(wall, cpu) seconds of the fastest of `repeat` calls, by wall time and by CPU time separately."""
    walls, cpus = [], []
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        fn()
        walls.append(time.perf_counter() - t)
        cpus.append(time.process_time() - c)
    return min(walls), min(cpus)


def row(label, ours, peer, peer_name):
    (w1, c1), (w2, c2) = ours, peer
    print(f"  {label:<44} quillfen {w1 * 1e3:8.2f} ms (cpu {c1 * 1e3:8.2f})   {peer_name} {w2 * 1e3:8.2f} ms "
          f"(cpu {c2 * 1e3:8.2f})   ratio {w2 / w1:6.1f} x (cpu {c2 / max(c1, 1e-9):6.1f} x)")


def pillow_rgb(png):
    return Image.open(io.BytesIO(png)).convert("RGB")


def pillow_thumbnail(img, width=200, method=4):
    h = max(1, round(width * img.height / img.width))
    small = img.resize((width, h), Image.LANCZOS)
    buf = io.BytesIO()
    small.save(buf, format="WEBP", lossless=True, method=method)
    return buf.getvalue()


def bench_thumbnails(pairs):
    print("current_thumbnail() (200 px) vs Pillow LANCZOS + lossless WebP (Pillow's default method 4, and method 0)")
    for p in pairs:
        c = quillfen.Comparison(p.baseline, p.current)
        img = pillow_rgb(p.current)
        ours = timed(lambda: c.current_thumbnail())
        row(f"{p.name} ({len(c.current_thumbnail())} B)", ours, timed(lambda: pillow_thumbnail(img)), "Pillow m4")
        row("", ours, timed(lambda: pillow_thumbnail(img, method=0)), "Pillow m0")


def bench_webp_methods(pairs):
    print("lossless WebP effort on real 200 px thumbnails (Pillow's libwebp): total size and encode time")
    thumbs = [pillow_rgb(p.current) for p in pairs]
    thumbs = [t.resize((200, max(1, round(200 * t.height / t.width))), Image.LANCZOS) for t in thumbs]
    base = None
    for method in range(7):
        size, spent = 0, 0.0
        for t in thumbs:
            def enc():
                buf = io.BytesIO()
                t.save(buf, format="WEBP", lossless=True, method=method)
                return buf.getvalue()
            size += len(enc())
            spent += timed(enc, 3)[1]
        base = base or size
        print(f"  method {method}: {size / len(thumbs) / 1024:7.1f} KiB per thumbnail ({size / base:4.2f} x method 0), "
              f"{spent / len(thumbs) * 1e3:7.2f} ms of CPU each")


def bench_heavy_diffs(pairs):
    print("diff_count() on shifted pages (most rows differ) vs the same count with include_aa=True")
    for p in pairs:
        c = quillfen.Comparison(p.baseline, p.current)
        n, n_aa = c.diff_count(), c.diff_count(include_aa=True)
        ours = timed(lambda: c.diff_count())
        peer = timed(lambda: c.diff_count(include_aa=True))
        (w1, c1), (w2, c2) = ours, peer
        print(f"  {p.name:<36} {n:8d} px {w1 * 1e3:8.2f} ms (cpu {c1 * 1e3:7.2f})   include_aa=True {n_aa:8d} px "
              f"{w2 * 1e3:7.2f} ms (cpu {c2 * 1e3:7.2f})   the test costs {w1 / w2:5.1f} x (cpu {c1 / max(c2, 1e-9):5.1f} x)")


def scipy_clusters(a, b, dilation=4):
    from scipy import ndimage
    mask = (a != b).any(axis=2)
    if dilation:
        mask = ndimage.binary_dilation(mask, structure=np.ones((2 * dilation + 1, 2 * dilation + 1), bool))
    labels, n = ndimage.label(mask, structure=np.ones((3, 3), bool))
    return ndimage.find_objects(labels)


def bench_clusters(pairs):
    print("clusters() vs scipy.ndimage binary_dilation + label + find_objects (mask from numpy, decoded beforehand)")
    for p in pairs:
        c = quillfen.Comparison(p.baseline, p.current)
        a = np.asarray(Image.open(io.BytesIO(p.baseline)).convert("RGBA"))
        b = np.asarray(Image.open(io.BytesIO(p.current)).convert("RGBA"))
        ours = timed(lambda: c.clusters(), 3)
        peer = timed(lambda: scipy_clusters(a, b), 3)
        row(f"{p.name} ({c.clusters().total_clusters} clusters)", ours, peer, "scipy")


def bench_merge():
    print("clusters(merge_gap=1), no max_clusters, on pages of many small changes, beside merge_gap=0 (no merging)")
    sizes = ((167, 12), (250, 12)) if QUICK else ((167, 12), (250, 12), (334, 12), (250, 10))
    for side, step in sizes:
        n = side * step
        base = np.full((n, n, 4), 255, np.uint8)
        cur = base.copy()
        cur[::step, ::step, :3] = 0
        c = quillfen.Comparison.from_rgba(base.tobytes(), n, n, cur.tobytes(), n, n)
        r = c.clusters(merge_gap=1)
        merged = timed(lambda: c.clusters(merge_gap=1), 2)
        plain = timed(lambda: c.clusters(merge_gap=0), 2)
        print(f"  {n}x{n}, {r.total_clusters} clusters -> {len(r.clusters)}: merge_gap=1 {merged[0]:.3f} s "
              f"(cpu {merged[1]:.3f})   merge_gap=0 {plain[0]:.3f} s (cpu {plain[1]:.3f})")


def pillow_numpy_compare(pair, threshold=0.1):
    a, b = (np.asarray(Image.open(io.BytesIO(p)).convert("RGBA"), dtype=np.float32) for p in pair)
    if a.shape != b.shape:
        return None
    d = a[..., :3] - b[..., :3]
    y = d[..., 0] * 0.29889531 + d[..., 1] * 0.58662247 + d[..., 2] * 0.11448223
    i = d[..., 0] * 0.59597799 - d[..., 1] * 0.27417610 - d[..., 2] * 0.32180189
    q = d[..., 0] * 0.21147017 - d[..., 1] * 0.52261711 + d[..., 2] * 0.31114694
    delta = 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q
    return int((delta > 35215 * threshold * threshold).sum())


def bench_batch(pairs):
    print("batches vs a Pillow + numpy loop (decode, YIQ delta, count) over the same pairs; compare_batch also "
          "computes SSIM, which the loop does not")
    for size in ((1280, 720), (1280, 3000)):
        batch = [(p.baseline, p.current) for p in pairs if (p.width, p.height) == size]
        if not batch:
            continue
        peer = timed(lambda: [pillow_numpy_compare(b) for b in batch], 2)
        row(f"compare_batch, {len(batch)} pairs of {size[0]}x{size[1]}", timed(lambda: quillfen.compare_batch(batch), 2),
            peer, "Pillow+numpy")
        row(f"diff_count_batch, {len(batch)} pairs", timed(lambda: quillfen.diff_count_batch(batch), 2), peer,
            "Pillow+numpy")


def whole(p):
    c = quillfen.Comparison(p.baseline, p.current)
    c.diff_count()
    c.diff_image()
    c.current_thumbnail()


def pillow_whole(p):
    a, b = (np.asarray(Image.open(io.BytesIO(x)).convert("RGBA")) for x in (p.baseline, p.current))
    differ = (a != b).any(axis=2)
    out = np.where(differ[..., None], np.array([255, 0, 0], np.uint8), a[..., :3])
    buf = io.BytesIO()
    Image.fromarray(out).save(buf, format="PNG")
    pillow_thumbnail(Image.fromarray(b[..., :3]))
    return int(differ.sum())


def bench_whole(pairs):
    print("a whole comparison (decode both, count, diff image, thumbnail) vs Pillow + numpy doing the same steps")
    for p in pairs:
        row(p.name, timed(lambda: whole(p)), timed(lambda: pillow_whole(p), 3), "Pillow+numpy")
        c = quillfen.Comparison(p.baseline, p.current)
        steps = {"decode": lambda: quillfen.Comparison(p.baseline, p.current), "diff_count": c.diff_count,
                 "diff_image": c.diff_image, "thumbnail": c.current_thumbnail}
        print("    steps: " + "   ".join(f"{k} {timed(f)[0] * 1e3:.2f} ms (cpu {timed(f)[1] * 1e3:.2f})"
                                         for k, f in steps.items()))


def main():
    real = screenshot_pairs()
    if not real:
        print("  " + SCREENSHOTS_HINT)
        return
    pick = lambda w, h, kinds: screenshot_pairs(w, h, kinds)[:: max(1, len(screenshot_pairs(w, h, kinds)) // PAGES)][:PAGES]
    small = pick(1280, 720, ("word",))
    tall = pick(1280, 3000, ("word",))
    bench_thumbnails(small[:4] + tall[:2])
    bench_webp_methods(small + tall)
    shifted = pick(1280, 720, ("banner", "spacing", "removed"))[:4] + pick(1280, 3000, ("banner", "removed"))[:2]
    bench_heavy_diffs(shifted)
    bench_clusters(shifted)
    bench_merge()
    bench_batch(screenshot_pairs(kinds=("word", "identical", "links"))[: 30 if QUICK else 60])
    # Every kind a suite meets: unchanged pages (most of them), an edited word, a page shifted by a banner.
    bench_whole([p for kind in ("identical", "word", "banner") for p in pick(1280, 720, (kind,))[:3]])


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
