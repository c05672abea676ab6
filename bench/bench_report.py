"""The report at scale: writing it, its folder's size, and opening and filtering it in Chromium (Playwright).

    python bench/bench_report.py [--pairs 100000] [--changed-every 20] [--keep DIR]

Writes a report of synthetic records (one pair in `--changed-every` changed, with small diff, baseline and current
images; the others unchanged, with no image) through `quillfen_tools.report.write_report`, then opens it from the
file system in Debian's Chromium and prints: the time to write it and the writer's peak memory, the folder's size,
the page's load time (navigation start to the list and the first pair drawn), the time of a name filter and of a
status filter, and the page's JavaScript heap after loading and after showing a pair of every details file (each
figure of the run beside the others). Run it with another version of quillfen_tools on the path to set two
versions side by side: the figures and the way they are taken are the same.
"""
from __future__ import annotations

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path


def records(n: int, every: int, png: bytes):
    for i in range(n):
        name = f"suite-{i // 1000:03d}/flows/page-{i:06d}-{('desktop', 'mobile', 'tablet')[i % 3]}.png"
        if i % every == every - 1:
            yield {"name": name, "status": "changed", "passed": False, "diff_pixels": 240, "diff_ratio": 0.0026,
                   "ssim": 0.98, "width": 1280, "height": 720, "baseline_size": [1280, 720],
                   "current_size": [1280, 720], "error": None, "shift": None,
                   "clusters": [{"x": 100 + i % 500, "y": 40, "width": 30, "height": 12, "pixels": 240}],
                   "diff_png": png, "baseline_image": png, "current_image": png}
        else:
            yield {"name": name, "status": "unchanged", "passed": True, "diff_pixels": 0, "diff_ratio": 0.0,
                   "ssim": 1.0, "width": 1280, "height": 720, "baseline_size": [1280, 720],
                   "current_size": [1280, 720], "clusters": [], "shift": None, "error": None}


def folder_size(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    sys.exit("no Chromium found")


class _Shown(dict[str, float]):
    """The figures, each printed as soon as it is taken (a slow page may not get to the end)."""

    def __setitem__(self, key: str, value: float) -> None:
        super().__setitem__(key, value)
        print(f"  {key:<22}{value:10.1f}", flush=True)


def measure_page(index: Path) -> dict[str, float]:
    from playwright.sync_api import sync_playwright

    out = _Shown()
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium(), args=["--no-sandbox", "--js-flags=--expose-gc", "--enable-precise-memory-info"])
        page = browser.new_page(viewport={"width": 1280, "height": 900})
        page.set_default_timeout(600_000)  # a page that builds every row can take minutes
        page.goto(index.as_uri(), wait_until="commit", timeout=600_000)
        page.wait_for_selector("#pairs li", timeout=600_000)
        page.wait_for_selector("#stage .frame, #stage .absent", timeout=600_000)
        # The page notes when its list was ready and when the first pair was shown; a page without the notes
        # is timed here (a little later than it was ready).
        now = page.evaluate("performance.now()")
        marks = page.evaluate("[document.body.dataset.ready, document.body.dataset.shown]")
        out["list ready ms"] = float(marks[0]) if marks[0] and marks[0] != "true" else now
        out["first pair shown ms"] = float(marks[1]) if marks[1] else now
        heap = "() => { if (window.gc) gc(); return performance.memory ? performance.memory.usedJSHeapSize : 0; }"
        out["heap after load MB"] = page.evaluate(heap) / 1e6
        out["DOM elements"] = page.evaluate("document.getElementsByTagName('*').length")
        out["filter by name ms"] = page.evaluate("""() => {
            const box = document.getElementById('search'), t = performance.now();
            box.value = 'page-04'; box.dispatchEvent(new Event('input'));
            document.getElementById('list-count').textContent;
            return performance.now() - t; }""")
        out["filter cleared ms"] = page.evaluate("""() => {
            const box = document.getElementById('search'), t = performance.now();
            box.value = ''; box.dispatchEvent(new Event('input'));
            return performance.now() - t; }""")
        out["filter by status ms"] = page.evaluate("""() => {
            const chip = document.querySelector(".chip[data-status='changed']"), t = performance.now();
            chip.click();
            return performance.now() - t; }""")
        page.evaluate("document.querySelector('.chip-all').click()")
        # Pairs all along the list shown in turn (each from another details file): the heap after that, against
        # the heap after loading.
        for k in range(60):
            page.evaluate("""f => { const l = document.getElementById('pairs'); l.scrollTop = f * l.scrollHeight;
                return new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r))); }""", k / 60)
            page.evaluate("""() => { const rows = [...document.querySelectorAll('#pairs li')].filter(li => {
                const r = li.getBoundingClientRect(); return r.height && r.top > 0 && r.bottom < innerHeight; });
                if (rows.length) rows[Math.floor(rows.length / 2)].click(); }""")
            page.wait_for_timeout(50)
        page.wait_for_timeout(200)
        out["heap after browsing MB"] = page.evaluate(heap) / 1e6
        browser.close()
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=100_000)
    parser.add_argument("--changed-every", type=int, default=20)
    parser.add_argument("--keep", metavar="DIR", help="write the report here and keep it")
    args = parser.parse_args()

    import quillfen_tools
    from quillfen_tools.demo import Canvas, png_bytes
    from quillfen_tools.report import write_report

    canvas = Canvas(320, 180, (245, 245, 245))
    canvas.rect(20, 20, 120, 30, (200, 40, 40))
    png = png_bytes(canvas)
    work = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="bench-report-"))
    try:
        start = time.perf_counter()
        index = write_report(work / "report", records(args.pairs, args.changed_every, png))
        written = time.perf_counter() - start
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"quillfen_tools from {os.path.dirname(quillfen_tools.__file__)}")
        print(f"{args.pairs} pairs, one in {args.changed_every} changed")
        print(f"  write the report      {written:8.2f} s   ({args.pairs / written:,.0f} pairs/s), peak RSS {peak:.0f} MB")
        print(f"  report folder         {folder_size(work / 'report') / 1e6:8.1f} MB", flush=True)
        measure_page(index)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
