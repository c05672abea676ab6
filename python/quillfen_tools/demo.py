"""`quillfen demo`: a folder of generated screenshot pairs, compared with `quillfen dirs`, with its report.

The pages are drawn here with the standard library only (a header, lines of anti-aliased text-like glyphs,
cards with photo-like gradients, buttons) and written as PNG files:

  home.png            the same in both folders                        -> unchanged
  pricing.png         a cookie banner pushes the page down             -> shifted
  checkout/cart.png   a price rewritten and the pay button recoloured  -> changed
  blog/launch.png     only in the current folder                       -> new
  about.png           only in the baseline folder                      -> missing
  settings.png        the current file is cut short                    -> error
"""
from __future__ import annotations

import os
import random
import shutil
import sys
from pathlib import Path

from . import _native
from ._files import write_atomic
from ._terminal import PROG, Progress, summary_line
from .folders import pair_folders, run_dirs
from .results import EXIT_ERROR, EXIT_FAILED, EXIT_PASSED
from .words import printable

__all__ = ["run_demo", "make_demo_folders", "png_bytes"]

RGB = tuple[int, int, int]

WIDTH = 720
PAGE = (248, 249, 251)
INK = (36, 41, 47)
MUTED = (101, 109, 118)
HEADER = (27, 31, 36)
ACCENT = (31, 111, 235)
GREEN = (26, 127, 55)
LINE = (216, 222, 228)
BANNER = (255, 236, 179)
MARKER = ".quillfen-demo"


class Canvas:
    """An 8-bit RGBA picture in a bytearray with the few drawing operations a page needs."""

    def __init__(self, width: int, height: int, colour: RGB = PAGE) -> None:
        self.width, self.height = width, height
        self.pixels = bytearray(bytes((*colour, 255)) * (width * height))

    def rect(self, x: int, y: int, w: int, h: int, colour: RGB) -> None:
        x0, y0 = max(x, 0), max(y, 0)
        x1, y1 = min(x + w, self.width), min(y + h, self.height)
        if x1 <= x0 or y1 <= y0:
            return
        row = bytes((*colour, 255)) * (x1 - x0)
        for yy in range(y0, y1):
            start = 4 * (yy * self.width + x0)
            self.pixels[start:start + len(row)] = row

    def text(self, x: int, y: int, width: int, rng: random.Random, colour: RGB = INK, size: int = 10,
             background: RGB = PAGE) -> None:
        """A line of glyph-like blocks whose outer columns are blended with the background, as anti-aliased
        text is, filling about `width` pixels."""
        soft = ((colour[0] + background[0]) // 2, (colour[1] + background[1]) // 2, (colour[2] + background[2]) // 2)
        end = x + width
        while x < end - 12:
            for _ in range(rng.randint(2, 8)):
                w = rng.randint(size // 2, size - 2)
                if x + w >= end:
                    break
                self.rect(x, y, 1, size, soft)
                self.rect(x + 1, y, w - 2, size, colour)
                self.rect(x + w - 1, y, 1, size, soft)
                x += w + 1
            x += size // 2 + 2

    def photo(self, x: int, y: int, w: int, h: int, seed: int) -> None:
        """A smooth two-colour gradient with a soft disc, like a picture in a card."""
        rng = random.Random(seed)
        a = [rng.randint(40, 200) for _ in range(3)]
        b = [rng.randint(40, 220) for _ in range(3)]
        cx, cy, r2 = w * 0.65, h * 0.4, (min(w, h) * 0.28) ** 2
        for yy in range(h):
            row = bytearray()
            for xx in range(w):
                t = (xx + yy) / (w + h)
                px = [int(a[i] + (b[i] - a[i]) * t) for i in range(3)]
                if (xx - cx) ** 2 + (yy - cy) ** 2 < r2:
                    px = [min(255, v + 60) for v in px]
                row += bytes((*px, 255))
            start = 4 * ((y + yy) * self.width + x)
            self.pixels[start:start + 4 * w] = row


def png_bytes(canvas: Canvas) -> bytes:
    """An 8-bit RGBA PNG file of the canvas, written by quillfen's PNG writer."""
    return _native.encode_png(canvas.pixels, canvas.width, canvas.height)


def page(seed: int, *, banner: bool = False, price_seed: int | None = None, pay_colour: RGB = ACCENT,
         cards: int = 3) -> Canvas:
    """One full-page screenshot. `banner` inserts a notice under the header (everything below moves down);
    `price_seed` and `pay_colour` change the order summary of a checkout page."""
    rng = random.Random(seed)
    banner_h = 52 if banner else 0
    height = 900 + banner_h
    c = Canvas(WIDTH, height)
    # Header: logo, navigation, sign-in button.
    c.rect(0, 0, WIDTH, 56, HEADER)
    c.rect(24, 18, 20, 20, ACCENT)
    c.text(54, 23, 70, random.Random(1), colour=(240, 243, 246), background=HEADER)
    for i in range(4):
        c.text(300 + i * 80, 24, 54, random.Random(10 + i), colour=(173, 186, 199), size=9, background=HEADER)
    c.rect(WIDTH - 96, 14, 72, 28, ACCENT)
    y = 56
    if banner:
        c.rect(0, y, WIDTH, banner_h, BANNER)
        c.text(24, y + 20, 420, random.Random(99), colour=(102, 77, 3), size=10, background=BANNER)
        c.rect(WIDTH - 120, y + 12, 96, 28, (154, 103, 0))
        y += banner_h
    # Title and introduction.
    y += 36
    c.text(24, y, 420, rng, size=22)
    y += 40
    for _ in range(3):
        c.text(24, y, WIDTH - 220, rng, colour=MUTED)
        y += 20
    y += 20
    # Cards with pictures.
    card_w = (WIDTH - 48 - 16 * (cards - 1)) // cards
    for i in range(cards):
        x = 24 + i * (card_w + 16)
        c.rect(x, y, card_w, 250, LINE)
        c.rect(x + 1, y + 1, card_w - 2, 248, (255, 255, 255))
        c.photo(x + 1, y + 1, card_w - 2, 120, seed * 10 + i)
        for j in range(4):
            c.text(x + 14, y + 138 + j * 20, card_w - 40, rng, size=9, background=(255, 255, 255))
        c.rect(x + 14, y + 214, 90, 24, ACCENT)
    y += 280
    # Order summary (a checkout page) or more text.
    if price_seed is not None:
        c.rect(24, y, WIDTH - 48, 150, LINE)
        c.rect(25, y + 1, WIDTH - 50, 148, (255, 255, 255))
        for j in range(3):
            c.text(44, y + 20 + j * 24, 260, random.Random(200 + j), size=10, background=(255, 255, 255))
            c.text(WIDTH - 150, y + 20 + j * 24, 90, random.Random(price_seed * 7 + j), size=10,
                   background=(255, 255, 255))
        c.rect(WIDTH - 210, y + 104, 162, 32, pay_colour)
        y += 180
    while y < height - 90:
        c.text(24, y, WIDTH - 48, rng, colour=MUTED)
        y += 20
    # Footer.
    c.rect(0, height - 60, WIDTH, 60, (234, 238, 242))
    for i in range(3):
        c.text(24 + i * 160, height - 34, 110, random.Random(300 + i), colour=MUTED, size=9,
               background=(234, 238, 242))
    return c


def make_demo_folders(root: str | os.PathLike[str]) -> tuple[Path, Path]:
    """Writes root/baseline and root/current with the six cases; returns the two folders."""
    root = Path(root)
    base, cur = root / "baseline", root / "current"
    for d in (base / "checkout", cur / "checkout", cur / "blog"):
        d.mkdir(parents=True, exist_ok=True)

    def write(path: Path, canvas: Canvas) -> bytes:
        data = png_bytes(canvas)
        write_atomic(path, data, root=root)
        return data

    home = write(base / "home.png", page(1))
    write_atomic(cur / "home.png", home, root=root)
    write(base / "pricing.png", page(2))
    write(cur / "pricing.png", page(2, banner=True))
    write(base / "checkout" / "cart.png", page(3, price_seed=1, cards=2))
    write(cur / "checkout" / "cart.png", page(3, price_seed=2, pay_colour=GREEN, cards=2))
    write(cur / "blog" / "launch.png", page(4, cards=2))
    write(base / "about.png", page(5))
    settings = write(base / "settings.png", page(6))
    write_atomic(cur / "settings.png", settings[: len(settings) // 2], root=root)  # a capture cut short
    return base, cur


def run_demo(folder: str | os.PathLike[str]) -> int:
    """Generates the example in `folder`, compares it and writes the report; prints where to open it."""
    root = Path(folder)
    if root.exists():
        if not root.is_dir():
            print(f"{PROG} demo: error: {printable(repr(str(root)))} is a file", file=sys.stderr)
            return EXIT_ERROR
        ours = [root / n for n in ("baseline", "current", "report") if (root / n).exists()]
        if ours and not (root / MARKER).exists():
            # Only what an earlier demo wrote is ever replaced.
            print(f"{PROG} demo: error: {printable(repr(str(ours[0])))} exists and was not written by an earlier "
                  f"demo; give a new or empty folder", file=sys.stderr)
            return EXIT_ERROR
        for name in ("baseline", "current", "report"):
            if (root / name).is_dir() and not (root / name).is_symlink():
                shutil.rmtree(root / name)
    root.mkdir(parents=True, exist_ok=True)
    (root / MARKER).write_text("written by `quillfen demo`; the folder is rewritten by the next demo\n")
    base, cur = make_demo_folders(root)
    report = root / "report"
    print(f"Generated six screenshot pairs in {printable(base)} and {printable(cur)}.")
    print(f"Comparing them as `{PROG} dirs {printable(base)} {printable(cur)} --out {printable(report)}` does:\n")
    entries = pair_folders(base, cur, skip=[report])
    progress = Progress(len(entries), sys.stdout, tty=False)
    run = run_dirs(entries, baseline_dir=base, report_dir=report,
                   on_result=lambda r, result: progress.update(r.done, result, result.passed))
    run.records.close()
    print(summary_line(run.summary, run.done))
    code = run.exit_code
    meaning = {EXIT_PASSED: "everything passed", EXIT_FAILED: "something differs",
               EXIT_ERROR: "a file could not be read or decoded"}
    print(f"\n`{PROG} dirs` exits with {code} here ({meaning.get(code, 'interrupted')}), as a CI step would see it.")
    index = (report / "index.html").resolve()
    print(f"Open the report in a browser: {index.as_uri()}")
    return EXIT_PASSED if code in meaning else code
