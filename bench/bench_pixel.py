"""PNG decoding, diff counting and diff-image encoding on screenshot-like pairs, against Pillow and numpy.

For each size and kind of pair it prints the peer's time, quillfen's time and the ratio (peer / quillfen):
  decode  Comparison(png, png)  vs  Pillow decoding both files to RGBA
  count   diff_count()          vs  numpy computing the same YIQ threshold test (no anti-aliasing test)
  encode  diff_image()          vs  Pillow encoding a same-size RGB PNG (quillfen also classifies the pixels)
"""
import io
import os
import sys

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import KINDS, SIZES, best_time, encode_png, make_pair  # noqa: E402

import quillfen  # noqa: E402


def numpy_delta(a, b, k):
    """The signed YIQ delta of pixel rows a and b (float64, N x 4) at byte offsets k, alpha blended over the
    position-dependent background."""
    a1, a2 = a[:, 3], b[:, 3]
    da = a1 - a2
    blend = (a1 < 255) | (a2 < 255)
    bg = np.stack([np.full_like(k, 48.0),
                   np.where(np.floor(k / 1.618033988749895).astype(np.int64) & 1, 207.0, 48.0),
                   np.where(np.floor(k / 2.618033988749895).astype(np.int64) & 1, 207.0, 48.0)], axis=1)
    d = np.where(blend[:, None], ((a[:, :3] * a1[:, None] - b[:, :3] * a2[:, None]) - bg * da[:, None]) / 255.0,
                 a[:, :3] - b[:, :3])
    dr, dg, db = d[:, 0], d[:, 1], d[:, 2]
    y = (dg * 0.58662247 + dr * 0.29889531) + db * 0.11448223
    i = (dr * 0.59597799 - dg * 0.2741761) - db * 0.32180189
    q = (dr * 0.21147017 - dg * 0.52261711) + db * 0.31114694
    delta = ((0.299 * i) * i + (0.5053 * y) * y) + (0.1957 * q) * q
    return np.where(y > 0, -delta, delta)


def numpy_count_dense(base, cur, threshold=0.1):
    """The YIQ threshold test over every pixel, as a straightforward numpy port would write it (no
    anti-aliasing test)."""
    a = base.reshape(-1, 4).astype(np.float64)
    b = cur.reshape(-1, 4).astype(np.float64)
    k = np.arange(a.shape[0], dtype=np.float64) * 4
    return int((np.abs(numpy_delta(a, b, k)) > (35215.0 * threshold) * threshold).sum())


def numpy_count(base, cur, threshold=0.1):
    """The same test on the pixels whose bytes differ only, a tuned numpy version."""
    differ = (base.reshape(-1, 4) != cur.reshape(-1, 4)).any(axis=1)
    a = base.reshape(-1, 4)[differ].astype(np.float64)
    b = cur.reshape(-1, 4)[differ].astype(np.float64)
    k = (np.flatnonzero(differ) * 4).astype(np.float64)
    return int((np.abs(numpy_delta(a, b, k)) > (35215.0 * threshold) * threshold).sum())


def pillow_decode(png):
    img = Image.open(io.BytesIO(png)).convert("RGBA")
    img.load()
    return img


def pillow_encode(rgb):
    buf = io.BytesIO()
    Image.fromarray(rgb).save(buf, format="PNG")
    return buf.getvalue()


def row(what, label, peer, ours, note=""):
    print(f"  {what:<7} {label:<18} peer {peer * 1e3:9.2f} ms   quillfen {ours * 1e3:8.2f} ms   "
          f"ratio {peer / ours:7.1f}x {note}")


def main():
    print(f"threads: {os.cpu_count()}  (peer / quillfen: above 1 means quillfen is faster)")
    for width, height in SIZES:
        for kind in KINDS:
            base, cur = make_pair(width, height, kind)
            pa, pb = encode_png(base), encode_png(cur)
            c = quillfen.Comparison(pa, pb)
            label = f"{width}x{height} {kind}"

            peer = best_time(lambda: (pillow_decode(pa), pillow_decode(pb)), repeat=5)
            ours = best_time(lambda: quillfen.Comparison(pa, pb), repeat=5)
            row("decode", label, peer, ours, "(two files)")

            ours_count = c.diff_count(include_aa=True)
            assert numpy_count(base, cur) == ours_count, (numpy_count(base, cur), ours_count)
            assert numpy_count_dense(base, cur) == ours_count
            peer = best_time(lambda: numpy_count_dense(base, cur), repeat=3)
            sparse = best_time(lambda: numpy_count(base, cur), repeat=3)
            ours = best_time(lambda: c.diff_count(include_aa=True), repeat=7, number=3)
            row("count", label, peer, ours, f"(numpy on differing pixels only: {sparse * 1e3:.2f} ms, "
                f"{sparse / ours:.1f}x; with the AA test: {best_time(lambda: c.diff_count(), 3) * 1e3:.2f} ms)")

            rgb = np.ascontiguousarray(cur[:, :, :3])
            peer = best_time(lambda: pillow_encode(rgb), repeat=3)
            ours = best_time(lambda: c.diff_image(), repeat=3)
            row("encode", label, peer, ours,
                f"({len(c.diff_image()) // 1024} KiB vs {len(pillow_encode(rgb)) // 1024} KiB)")


if __name__ == "__main__":
    main()
