"""Row alignment on a tall full-page capture: a 40-row banner inserted near the top and a few rows changed
further down, against an identical pair; the shift-aware diff image against the plain one; and, for scale, the
time to decode the pair's two PNG files (here and with Pillow)."""
import io
import subprocess
import sys
import time

import numpy as np
from PIL import Image

import quillfen

WIDTH, HEIGHT, BANNER_AT, BANNER_ROWS = 1280, 8000, 120, 40


def full_page(seed=1):
    """A page of text-like lines: runs of dark glyph blocks on white, blank gaps between paragraphs."""
    rng = np.random.default_rng(seed)
    page = np.full((HEIGHT, WIDTH, 4), 255, dtype=np.uint8)
    y = 20
    while y < HEIGHT - 40:
        lines = int(rng.integers(2, 7))
        for _ in range(lines):
            x = 40
            while x < WIDTH - 80:
                word = int(rng.integers(12, 70))
                glyphs = rng.integers(0, 2, (14, word), dtype=np.uint8).astype(bool)
                tone = int(rng.integers(20, 90))
                page[y : y + 14, x : x + word, :3][glyphs] = tone
                x += word + int(rng.integers(6, 14))
            y += 22
            if y >= HEIGHT - 40:
                break
        y += int(rng.integers(20, 60))
    return page


def shifted(page):
    banner = np.zeros((BANNER_ROWS, WIDTH, 4), dtype=np.uint8)
    banner[..., 0], banner[..., 1], banner[..., 2], banner[..., 3] = 250, 200, 40, 255
    banner[10:30, 100:700, :3] = 30
    current = np.concatenate([page[:BANNER_AT], banner, page[BANNER_AT : HEIGHT - BANNER_ROWS]])
    for y in (3000, 5200, 7100):
        current[y : y + 3, 200:400, :3] = (200, 30, 30)
    return current


def make(baseline, current):
    return quillfen.Comparison.from_rgba(
        baseline.tobytes(), WIDTH, baseline.shape[0], current.tobytes(), WIDTH, current.shape[0]
    )


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def png(a):
    buf = io.BytesIO()
    Image.fromarray(a, "RGBA").save(buf, format="PNG")
    return buf.getvalue()


PEAK_SCRIPT = """
import resource, sys
sys.path.insert(0, sys.argv[1])
import bench_alignment as b
page = b.full_page()
current = b.shifted(page) if sys.argv[2] == "shifted" else page.copy()
c = b.make(page, current)
del page, current
def hwm():
    # The high-water mark since the last reset (Linux); ru_maxrss cannot be reset.
    try:
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmHWM"))
    except (OSError, StopIteration):
        return -1
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
rss = hwm()
r = c.row_alignment()
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, rss, hwm(), r.aligned)
"""


def peak_kib(kind):
    """ru_maxrss of a fresh process that builds the pair and aligns it, and the peak during the alignment alone."""
    here = __file__.rsplit("/", 1)[0] or "."
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, here, kind], capture_output=True, text=True, check=True)
    maxrss, before, after, aligned = out.stdout.split()
    return int(maxrss), int(before), int(after), aligned


def main():
    page = full_page()
    current = shifted(page)
    pair_shifted, pair_same = make(page, current), make(page, page.copy())

    r = pair_shifted.row_alignment()
    print(f"shifted pair {WIDTH}x{HEIGHT}: {r!r}")
    print(f"  bands {[repr(b) for b in r.bands]}")
    t_shift = best(pair_shifted.row_alignment)
    t_same = best(pair_same.row_alignment)
    print(f"row_alignment shifted pair    {t_shift * 1e3:8.1f} ms")
    print(f"row_alignment identical pair  {t_same * 1e3:8.1f} ms")

    b_png, c_png = png(page), png(current)
    t_decode = best(lambda: quillfen.Comparison(b_png, c_png), repeat=3)
    t_pillow = best(lambda: (np.asarray(Image.open(io.BytesIO(b_png)).convert("RGBA")),
                             np.asarray(Image.open(io.BytesIO(c_png)).convert("RGBA"))), repeat=3)
    print(f"decode both PNGs (quillfen)   {t_decode * 1e3:8.1f} ms   Pillow {t_pillow * 1e3:8.1f} ms")
    print(f"  alignment / quillfen decode = {t_shift / t_decode:.2f}   alignment / Pillow decode = {t_shift / t_pillow:.2f}")

    t_aligned_diff = best(lambda: pair_shifted.aligned_diff_image(r), repeat=3)
    t_diff = best(pair_shifted.diff_image, repeat=3)
    print(f"aligned_diff_image            {t_aligned_diff * 1e3:8.1f} ms")
    print(f"diff_image                    {t_diff * 1e3:8.1f} ms   ratio aligned/plain = {t_aligned_diff / t_diff:.2f}")
    print(f"  diff_count {pair_shifted.diff_count()} vs residual_count {r.residual_count}")

    for kind in ("shifted", "identical"):
        maxrss, before, after, aligned = peak_kib(kind)
        print(f"{kind:9s} pair in a fresh process: ru_maxrss {maxrss / 1024:6.1f} MiB (building the pair included);"
              f" during row_alignment the peak rose {(after - before) / 1024:.1f} MiB above {before / 1024:.1f} MiB"
              f" (aligned={aligned})")


if __name__ == "__main__":
    main()
