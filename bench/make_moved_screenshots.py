"""Renders the benchmark pages of make_screenshots.py moved by a fraction of a pixel, for measuring rendering
jitter: each page is drawn with its body translated by (0, 0) (the baseline of these pairs) and by 0.25, 0.5 and
0.75 px in x and in y, and by 1 px sideways. Images go beside the other screenshots, in `moved/`, with a
`moved.json` manifest.

    python bench/make_moved_screenshots.py            # every page, skipping images already made
    python bench/make_moved_screenshots.py --pages 6
"""
import argparse
import json
import sys
from concurrent.futures import ThreadPoolExecutor

from common import screenshot_dir
from make_screenshots import build_html, find_browser, page_names, render

MOVES = {"x0.25": (0.25, 0), "x0.5": (0.5, 0), "x0.75": (0.75, 0), "y0.25": (0, 0.25), "y0.5": (0, 0.5),
         "y0.75": (0, 0.75), "x1": (1, 0)}
SIZE = (1280, 720)


def moved_html(name, dx, dy):
    html = build_html(name, None)
    # A transform on the body moves fixed elements with the page, so the whole capture moves.
    return html.replace("</style>", f"body {{ transform: translate({dx}px, {dy}px); }}</style>", 1)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pages", type=int, default=None)
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args(argv)
    browser = find_browser()
    if browser is None:
        sys.exit("make_moved_screenshots: no headless Chromium found")
    out = screenshot_dir() / "moved"
    (out / "html").mkdir(parents=True, exist_ok=True)
    width, height = SIZE
    jobs, manifest = [], []
    for name in page_names(args.pages):
        for kind, (dx, dy) in {"baseline": (0, 0), **MOVES}.items():
            html_path = out / "html" / f"{name}-{kind}.html"
            html_path.write_text(moved_html(name, dx, dy), encoding="utf-8")
            png = out / f"{name}-{width}x{height}" / f"{kind}.png"
            png.parent.mkdir(exist_ok=True)
            if not png.exists():
                jobs.append((html_path, png))
            if kind != "baseline":
                manifest.append({"page": name, "move": kind, "baseline": f"{png.parent.name}/baseline.png",
                                 "current": f"{png.parent.name}/{kind}.png"})
    print(f"make_moved_screenshots: {len(jobs)} images to render")

    def run(job):
        html_path, png = job
        tmp = png.with_suffix(".tmp.png")
        render(browser, html_path, tmp, width, height)
        tmp.replace(png)

    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        list(pool.map(run, jobs))
    (out / "moved.json").write_text(json.dumps(manifest, indent=1))
    print(f"make_moved_screenshots: {len(manifest)} moved pairs")


if __name__ == "__main__":
    main()
