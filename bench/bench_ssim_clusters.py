"""SSIM against scikit-image and change clusters against scipy.ndimage, on screenshot-like pairs; peak memory of
ssim() on a full-HD and on a tall full-page canvas."""
import subprocess
import sys
import textwrap
import time

import numpy as np

import quillfen


def screenshot(width, height, seed=0):
    """White page with coloured panels and rows of dark 'text' strokes."""
    rng = np.random.default_rng(seed)
    img = np.full((height, width, 4), 255, np.uint8)
    for _ in range(max(4, width * height // 60000)):
        x, y = rng.integers(0, width - 40), rng.integers(0, height - 20)
        w, h = rng.integers(40, 400), rng.integers(20, 200)
        img[y : y + h, x : x + w, :3] = rng.integers(180, 256, 3)
    for y in range(8, height - 12, 22):
        x = 16
        while x < width - 60:
            n = int(rng.integers(4, 60))
            img[y : y + 10, x : x + n, :3] = rng.integers(0, 90)
            x += n + int(rng.integers(6, 14))
    return img


def changed(img, regions, seed=1):
    """A copy with `regions` rectangles recoloured."""
    rng = np.random.default_rng(seed)
    out = img.copy()
    h, w = img.shape[:2]
    for _ in range(regions):
        x, y = rng.integers(0, w - 60), rng.integers(0, h - 30)
        out[y : y + rng.integers(5, 30), x : x + rng.integers(5, 60), :3] = rng.integers(0, 256, 3)
    return out


def comparison(a, b):
    return quillfen.Comparison.from_rgba(a.tobytes(), a.shape[1], a.shape[0], b.tobytes(), b.shape[1], b.shape[0])


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def luma(img):
    f = img.astype(np.float64)
    return (f[..., 0] * 0.299 + f[..., 1] * 0.587) + f[..., 2] * 0.114


def bench_ssim(width, height, repeat):
    from skimage.metrics import structural_similarity

    a = screenshot(width, height)
    b = changed(a, 40)
    c = comparison(a, b)
    x, y = luma(a), luma(b)
    ours = best_of(c.ssim, repeat)
    peer = best_of(
        lambda: structural_similarity(x, y, win_size=11, gaussian_weights=False, data_range=255), repeat
    )
    print(f"ssim {width}x{height}: quillfen {ours * 1e3:7.1f} ms  scikit-image {peer * 1e3:7.1f} ms"
          f"  ratio {peer / ours:5.1f}x  (score {c.ssim():.6f})")


def bench_clusters(width, height, regions, repeat):
    from scipy import ndimage

    a = screenshot(width, height)
    b = changed(a, regions)
    c = comparison(a, b)
    mask = np.any(a != b, axis=2)
    square = np.ones((9, 9), bool)
    eight = np.ones((3, 3), bool)
    ours = best_of(lambda: c.clusters(min_pixels=0), repeat)
    peer = best_of(lambda: ndimage.label(ndimage.binary_dilation(mask, structure=square), structure=eight), repeat)
    found = len(c.clusters(min_pixels=0))
    theirs = ndimage.label(ndimage.binary_dilation(mask, structure=square), structure=eight)[1]
    print(f"clusters {width}x{height}, {regions} regions: quillfen {ours * 1e3:7.1f} ms (diff mask included)"
          f"  scipy dilation+label {peer * 1e3:7.1f} ms  ratio {peer / ours:5.1f}x  ({found} vs {theirs} components)")


# In a fresh process: the resident set before ssim() (with the two canvases held), then the peak during it.
# The peak counter is reset first so that the construction's own temporaries do not hide ssim()'s peak.
PEAK = textwrap.dedent(
    """
    import sys
    import numpy as np
    import quillfen
    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1])
    w, h = int(sys.argv[1]), int(sys.argv[2])
    a = np.full((h, w, 4), 255, np.uint8)
    a[::7, ::3, :3] = 20
    b = a.copy()
    b[::5, ::2, 1] = 90
    c = quillfen.Comparison.from_rgba(a.tobytes(), w, h, b.tobytes(), w, h)
    del a, b
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    c.ssim()
    print(before, status("VmHWM:"))
    """
)


def peak_memory(width, height):
    out = subprocess.run([sys.executable, "-c", PEAK, str(width), str(height)], capture_output=True, text=True,
                         check=True).stdout.split()
    before, after = (int(v) / 1024 for v in out)
    canvas = width * height * 4 * 2 / 2**20
    print(f"ssim peak memory {width}x{height}: process peak {after:7.1f} MiB during ssim(), "
          f"{after - before:6.1f} MiB above the resident set before it (the two canvases are {canvas:.1f} MiB)")


def main():
    for w, h in [(1280, 720), (1920, 1080)]:
        bench_ssim(w, h, repeat=5)
    bench_ssim(1280, 8000, repeat=2)
    for w, h, regions in [(1280, 720, 30), (1920, 1080, 48)]:
        bench_clusters(w, h, regions, repeat=5)
    bench_clusters(1280, 8000, 60, repeat=2)
    peak_memory(1920, 1080)
    peak_memory(1280, 20000)


if __name__ == "__main__":
    main()
