"""Screenshot-like image pairs for the benchmarks: a light page with a header bar, lines of text-like glyph
blocks with soft (anti-aliased) edges, buttons and a photo-like gradient. Deterministic for a given seed.

    baseline, current = make_pair(1920, 1080, "changed")   # H x W x 4 uint8 arrays
    png = encode_png(baseline)                              # PNG bytes (Pillow, default settings)

Kinds of pair: "identical", "changed" (about 1 % of the pixels changed: edited text and a recoloured button) and
"aa-edge" (an anti-aliased vertical edge moved by one pixel, nothing else changed).
"""
import io

import numpy as np

KINDS = ("identical", "changed", "aa-edge")
SIZES = ((1280, 720), (1920, 1080))


def screenshot(width, height, seed=0):
    rng = np.random.default_rng(seed)
    img = np.empty((height, width, 4), dtype=np.uint8)
    img[:, :] = (248, 249, 250, 255)
    # Header bar.
    img[: max(height // 14, 8), :, :3] = (36, 41, 47)
    # Photo-like gradient panel on the right.
    px0, py0 = int(width * 0.7), height // 6
    pw, ph = width - px0 - 20, height // 3
    if pw > 0 and ph > 0:
        yy, xx = np.mgrid[0:ph, 0:pw]
        img[py0:py0 + ph, px0:px0 + pw, 0] = (xx * 255 // max(pw, 1)).astype(np.uint8)
        img[py0:py0 + ph, px0:px0 + pw, 1] = (yy * 255 // max(ph, 1)).astype(np.uint8)
        img[py0:py0 + ph, px0:px0 + pw, 2] = 160
    # Lines of text: glyph blocks whose left and right columns are blended (anti-aliased) with the page.
    line_height, glyph_h = 22, 12
    y = height // 10
    while y + glyph_h < height - 10:
        x = 24
        limit = int(width * (0.65 if y < py0 + ph + 10 else 0.95))
        while x < limit:
            word = rng.integers(2, 9)
            for _ in range(word):
                gw = int(rng.integers(4, 9))
                if x + gw + 2 >= limit:
                    break
                ink = int(rng.integers(20, 70))
                img[y:y + glyph_h, x + 1:x + gw - 1, :3] = ink
                img[y:y + glyph_h, x, :3] = (ink + 248) // 2
                img[y:y + glyph_h, x + gw - 1, :3] = (ink + 248) // 2
                x += gw + 1
            x += 7
        y += line_height
    # Buttons.
    for i in range(4):
        bx, by = 24 + i * 150, height - 60
        if bx + 120 < width and by > 0:
            img[by:by + 32, bx:bx + 120, :3] = (31, 111, 235)
    return img


def make_pair(width, height, kind, seed=0):
    base = screenshot(width, height, seed)
    cur = base.copy()
    if kind == "identical":
        pass
    elif kind == "changed":
        rng = np.random.default_rng(seed + 1)
        target = width * height // 100
        changed = 0
        # Recolour the first button, then rewrite blocks of text until about 1 % of the pixels changed.
        by, bx = height - 60, 24
        cur[by:by + 32, bx:bx + 120, :3] = (46, 160, 67)
        changed += 32 * 120
        while changed < target:
            x = int(rng.integers(24, max(25, width // 2)))
            y = int(rng.integers(height // 10, max(height // 10 + 1, height - 80)))
            w, h = int(rng.integers(30, 90)), 12
            block = cur[y:y + h, x:x + w, :3]
            differs = (block != 248).any(axis=2)  # glyphs vanish, page turns to ink
            block[differs] = 248
            block[~differs] = 60
            changed += block.shape[0] * block.shape[1]
    elif kind == "aa-edge":
        x = width // 3
        for img, at in ((base, x), (cur, x + 1)):
            img[height // 5:height // 5 * 4, at - 40:at, :3] = 20
            img[height // 5:height // 5 * 4, at, :3] = 134
            img[height // 5:height // 5 * 4, at + 1:at + 40, :3] = 248
    else:
        raise ValueError(f"unknown kind {kind!r}")
    return base, cur


def encode_png(array):
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(array)).save(buf, format="PNG")
    return buf.getvalue()


def best_cpu(fn, repeat=15):
    """The least process CPU time (all threads) of `repeat` calls, in seconds: steadier than wall time on a busy
    machine."""
    import time
    best = float("inf")
    for _ in range(repeat):
        t = time.process_time()
        fn()
        best = min(best, time.process_time() - t)
    return best


def best_time(fn, repeat=7, number=1):
    """The fastest of `repeat` runs of `number` calls, in seconds per call."""
    import time
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t) / number)
    return best


# ---- real screenshots -------------------------------------------------------------------------------------------
# Pages rendered by headless Chromium with bench/make_screenshots.py, cached outside the repository.

SCREENSHOTS_HINT = ("no real screenshots found; make them with `.venv/bin/python bench/make_screenshots.py` "
                    "(needs Debian's chromium-headless-shell, installed by scripts/setup.sh; about 5 minutes; "
                    "they go to $QUILLFEN_SCREENSHOTS or ~/.cache/quillfen-bench/screenshots)")


def screenshot_dir():
    import os
    import pathlib
    env = os.environ.get("QUILLFEN_SCREENSHOTS")
    if env:
        return pathlib.Path(env)
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(cache) / "quillfen-bench" / "screenshots"


class ScreenshotPair:
    """One baseline/current pair of real screenshots; the PNG bytes are read when first asked for."""

    def __init__(self, root, entry):
        self.page, self.kind = entry["page"], entry["kind"]
        self.width, self.height = entry["width"], entry["height"]
        self._paths = (root / entry["baseline"], root / entry["current"])
        self._bytes = None

    @property
    def name(self):
        return f"{self.page} {self.width}x{self.height} {self.kind}"

    def png(self):
        """(baseline PNG bytes, current PNG bytes)."""
        if self._bytes is None:
            self._bytes = tuple(p.read_bytes() for p in self._paths)
        return self._bytes

    @property
    def baseline(self):
        return self.png()[0]

    @property
    def current(self):
        return self.png()[1]

    def __repr__(self):
        return f"ScreenshotPair({self.name})"


def screenshot_pairs(width=None, height=None, kinds=None, limit=None):
    """The real screenshot pairs that exist, filtered by size and kind ("identical", "banner", "word", "links",
    "spacing", "removed"); [] when none were made (print SCREENSHOTS_HINT then)."""
    import json
    root = screenshot_dir()
    try:
        entries = json.loads((root / "manifest.json").read_text())
    except (OSError, ValueError):
        return []
    pairs = []
    for e in entries:
        if width is not None and e["width"] != width or height is not None and e["height"] != height:
            continue
        if kinds is not None and e["kind"] not in kinds:
            continue
        if (root / e["baseline"]).exists() and (root / e["current"]).exists():
            pairs.append(ScreenshotPair(root, e))
    return pairs[:limit] if limit else pairs
