"""quillfen on a built-in example: two generated screenshots of a small page, compared as a visual-regression
test would compare them. Needs nothing but quillfen and the standard library.

The current screenshot differs from the baseline in three ways:
  - one line of text was rewritten (a real change);
  - the "Save" button changed colour (a real change);
  - the anti-aliased edge of the side panel moved by one pixel (rendering noise, not a change).

Run:  python examples/demo.py [output-folder]      (default: demo-output/ in the repository)
"""
import pathlib
import random
import struct
import sys
import zlib

import quillfen

Rgb = tuple[int, ...]

WIDTH, HEIGHT = 480, 320
PAGE = (248, 249, 250)
INK = (40, 44, 52)
BUTTON_BEFORE = (31, 111, 235)
BUTTON_AFTER = (46, 160, 67)
BUTTON = (24, 270, 96, 26)  # x, y, width, height


class Canvas:
    """An 8-bit RGBA picture in a bytearray, with the few drawing operations the screenshots need."""

    def __init__(self, width: int, height: int, colour: Rgb) -> None:
        self.width, self.height = width, height
        self.pixels = bytearray(bytes((*colour, 255)) * (width * height))

    def rect(self, x: int, y: int, w: int, h: int, colour: Rgb) -> None:
        row = bytes((*colour, 255)) * w
        for yy in range(y, y + h):
            start = 4 * (yy * self.width + x)
            self.pixels[start:start + 4 * w] = row

    def text_line(self, x: int, y: int, words: int, rng: random.Random, colour: Rgb = INK) -> None:
        """Glyph-like blocks with soft (half-blended) left and right columns, the way text is anti-aliased."""
        soft = tuple((c + p) // 2 for c, p in zip(colour, PAGE))
        for _ in range(words):
            for _ in range(rng.randint(2, 7)):
                w = rng.randint(4, 7)
                self.rect(x, y, 1, 10, soft)
                self.rect(x + 1, y, w - 2, 10, colour)
                self.rect(x + w - 1, y, 1, 10, soft)
                x += w + 1
            x += 6

    def panel(self, x0: int, x1: int, edge_x: int, y: int, h: int, left: Rgb, right: Rgb) -> None:
        """Columns x0 … x1 − 1: dark left of edge_x, light right of it, one blended column at edge_x."""
        middle = tuple((a + b) // 2 for a, b in zip(left, right))
        self.rect(x0, y, edge_x - x0, h, left)
        self.rect(edge_x, y, 1, h, middle)
        self.rect(edge_x + 1, y, x1 - edge_x - 1, h, right)


def draw_page(edge_x: int, rewritten: bool, button: Rgb) -> Canvas:
    """The page as one screenshot; `edge_x`, `rewritten` and `button` are what differs between the two."""
    c = Canvas(WIDTH, HEIGHT, PAGE)
    c.rect(0, 0, WIDTH, 28, (36, 41, 47))  # header bar
    for line in range(12):
        seed = 1000 + line if (line == 4 and rewritten) else line
        c.text_line(24, 48 + line * 18, 6, random.Random(seed))
    c.panel(370, 440, edge_x, 48, 200, (60, 64, 72), (220, 224, 230))  # side panel
    c.rect(*BUTTON, button)
    return c


def screenshots() -> tuple[Canvas, Canvas]:
    baseline = draw_page(edge_x=400, rewritten=False, button=BUTTON_BEFORE)
    current = draw_page(edge_x=401, rewritten=True, button=BUTTON_AFTER)
    return baseline, current


def png_file(canvas: Canvas) -> bytes:
    """An 8-bit RGBA PNG of the canvas, written with zlib from the standard library."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    stride = 4 * canvas.width
    raw = b"".join(b"\x00" + bytes(canvas.pixels[y * stride:(y + 1) * stride]) for y in range(canvas.height))
    header = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def compare(baseline: Canvas, current: Canvas) -> quillfen.Comparison:
    """Counts and the diff image of one pair, as a test gate would use them."""
    c = quillfen.Comparison.from_rgba(bytes(baseline.pixels), baseline.width, baseline.height,
                                      bytes(current.pixels), current.width, current.height)
    print(f"{c!r}")
    changed = c.diff_count()
    with_aa = c.diff_count(include_aa=True)
    print(f"  differing pixels (anti-aliased edges set aside): {changed}")
    print(f"  differing pixels counting anti-aliased edges:    {with_aa}  ({with_aa - changed} look anti-aliased)")
    print(f"  every byte difference (threshold 0):             {c.diff_count(threshold=0.0)}")
    print(f"  a gate that only needs to know '100 or more':    {c.diff_count_capped(100)}")
    return c


def write_outputs(c: quillfen.Comparison, baseline: Canvas, current: Canvas, out: pathlib.Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / "baseline.png").write_bytes(png_file(baseline))
    (out / "current.png").write_bytes(png_file(current))
    # Darker-than-before changes in blue, brighter ones in red, moved anti-aliased edges in yellow.
    (out / "diff.png").write_bytes(c.diff_image(diff_color_alt=(0, 96, 255)))
    print(f"  wrote {out / 'baseline.png'}, {out / 'current.png'} and {out / 'diff.png'}")


def check_png_round_trip(baseline: Canvas, current: Canvas, c: quillfen.Comparison) -> None:
    """The same pair through the PNG constructor gives the same answer."""
    from_png = quillfen.Comparison(png_file(baseline), png_file(current))
    assert from_png.diff_count() == c.diff_count()
    assert from_png.diff_image() == c.diff_image()
    print("  decoding the PNG files gives the same counts and diff image")


def inserted_banner(width: int = 64) -> None:
    """A banner inserted near the top pushes the page down: nearly every pixel below it differs, yet row
    alignment reports one inserted band and no changed content, while a real edit further down still shows."""
    def row(value: int) -> bytes:
        return bytes((value, (value * 3) % 256, 255 - value, 255)) * width

    page = [row((y * 37) % 200) for y in range(160)]
    banner = [row(250)] * 12
    edited = page[:100] + [bytes((255, 0, 0, 255)) * width] + page[101:]
    print("a banner inserted at row 20 of a 160-row page:")
    for title, current in (("banner only", page[:20] + banner + page[20:]),
                           ("banner and one edited row", page[:20] + banner + edited[20:])):
        c = quillfen.Comparison.from_rgba(b"".join(page), width, len(page), b"".join(current), width, len(current))
        alignment = c.row_alignment()
        print(f"  {title}: diff_count={c.diff_count()}")
        print(f"    {alignment!r}")
        print(f"    bands={alignment.bands}")
        print(f"    aligned clusters={len(c.aligned_clusters(alignment))}, "
              f"aligned ssim={c.aligned_ssim(alignment):.6f}")


def batch_of_pages(out: pathlib.Path) -> None:
    """A folder of baseline/current pairs compared in one call, with a diff image and a thumbnail per pair."""
    pairs_dir, previews = out / "pairs", out / "previews"
    pairs_dir.mkdir(parents=True, exist_ok=True)
    previews.mkdir(parents=True, exist_ok=True)
    variants = {"unchanged": (400, False, BUTTON_BEFORE), "edge-moved": (401, False, BUTTON_BEFORE),
                "button": (400, False, BUTTON_AFTER), "rewritten": (400, True, BUTTON_BEFORE)}
    baseline_png = png_file(draw_page(400, False, BUTTON_BEFORE))
    for name, (edge_x, rewritten, button) in variants.items():
        (pairs_dir / f"{name}.baseline.png").write_bytes(baseline_png)
        (pairs_dir / f"{name}.current.png").write_bytes(png_file(draw_page(edge_x, rewritten, button)))

    names = sorted(p.name.split(".")[0] for p in pairs_dir.glob("*.baseline.png"))
    pairs = [((pairs_dir / f"{n}.baseline.png").read_bytes(), (pairs_dir / f"{n}.current.png").read_bytes())
             for n in names]
    results = quillfen.compare_batch(pairs, return_diff=True, thumbnail_width=160, thumbnail_height=100)
    print(f"a batch of {len(pairs)} pairs from {pairs_dir}:")
    for name, (count, ssim, width, height, diff_png, thumb) in zip(names, results):
        assert diff_png is not None and thumb is not None  # both were asked for
        (previews / f"{name}.diff.png").write_bytes(diff_png)
        (previews / f"{name}.thumb.webp").write_bytes(thumb)
        verdict = "changed" if count else "passes"
        print(f"  {name:<10} {width}x{height}  {count:5d} differing pixels  ssim {ssim:.4f}  {verdict}")
    print(f"  wrote a diff image and a 160x100 WebP thumbnail per pair to {previews}")


def main(argv: list[str]) -> None:
    out = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "demo-output"
    print(f"quillfen {quillfen.__version__}")
    baseline, current = screenshots()
    c = compare(baseline, current)
    write_outputs(c, baseline, current, out)
    check_png_round_trip(baseline, current, c)
    inserted_banner()
    batch_of_pages(out)


if __name__ == "__main__":
    main(sys.argv)
