"""A suite of tens of thousands of screenshots: `quillfen dirs --out` over 20 000 pairs of real screenshots beside
the Pillow + numpy peer (one thread per CPU, counting the differing pixels only), with the figures projected to
100 000 pairs.

    python bench/bench_scale.py [--pairs 20000] [--small 5000] [--peer-pairs 2000] [--changed 0.02] [--no-peer]

The pairs are made from the cached screenshots of bench/make_screenshots.py (a few hundred distinct files, linked
under new names): 98 % are a baseline and its byte-identical re-render, as most of a suite's pairs are from one run
to the next, and the rest a baseline and one of its edited versions (a banner, a word, recoloured links, spacing, a
removed paragraph). Measured: pairs per second, peak memory (max RSS), the size of the report folder, and the time
Chromium takes to open the report (load event and first row drawn). quillfen also runs on `--small` pairs, so the
projection to 100 000 comes from two points (a straight line through them) instead of one ratio. The load average
is printed before each measurement: the figures are only as good as the machine was quiet.

The peer decodes every image of every pair, about ten times the work quillfen does on byte-identical pairs; on two
shared cores 20 000 pairs would take it most of an hour, so it runs in the same run on the first `--peer-pairs`
pairs of the same mix (the same pages in the same order, the same share edited), and its rate is what is compared.
"""
import argparse
import os
import pathlib
import shutil
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_dirs import PEER, checked, link, measure  # noqa: E402
from common import SCREENSHOTS_HINT, screenshot_dir  # noqa: E402

EDITS = ("banner", "word", "links", "spacing", "removed")
PROJECTED = 100_000


def pages():
    """The cached page folders that have a baseline, its re-render and every edit."""
    root = screenshot_dir()
    if not root.is_dir():
        return []
    need = ("baseline.png", "identical.png") + tuple(f"{e}.png" for e in EDITS)
    return sorted(p for p in root.iterdir() if p.is_dir() and all((p / n).is_file() for n in need))


def make_suite(root, folders, n, changed):
    """n pairs, a subfolder per thousand; every round(1 / changed)-th pair is an edited one."""
    base, cur = root / "baseline", root / "current"
    every = max(1, round(1 / changed)) if changed > 0 else 0
    edited = 0
    for i in range(n):
        page = folders[i % len(folders)]
        name = f"{i // 1000:03d}/{page.name}-{i:06d}.png"
        kind = "identical"
        if every and i % every == every - 1:
            kind = EDITS[(i // every) % len(EDITS)]
            edited += 1
        for folder, source in ((base, page / "baseline.png"), (cur, page / f"{kind}.png")):
            path = folder / name
            path.parent.mkdir(parents=True, exist_ok=True)
            link(source, path)
    return base, cur, edited


def folder_size(root):
    total = files = 0
    for dirpath, _, names in os.walk(root):
        for name in names:
            total += os.lstat(os.path.join(dirpath, name)).st_size
            files += 1
    return total, files


def load_time(index):
    """Seconds from navigation to the load event, and to the first row of the list drawn (None when the page
    shows no row within a minute)."""
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return None, None
    browser_path = next((p for p in map(shutil.which, ("chromium", "chromium-browser")) if p), None)
    if browser_path is None:
        return None, None
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=browser_path, args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1280, "height": 900})
            page.goto("about:blank")
            t = time.perf_counter()
            page.goto(pathlib.Path(index).as_uri(), wait_until="load", timeout=120_000)
            loaded = time.perf_counter() - t
            try:
                # A row of the list, or the page's own mark that its list is ready, whichever comes first.
                page.wait_for_selector("#pairs li, body[data-ready]", timeout=60_000)
                drawn = time.perf_counter() - t
            except Exception:  # noqa: BLE001 - a page of another shape: the load event is what there is
                drawn = None
        finally:
            browser.close()
    return loaded, drawn


def loadavg():
    return "load average {:.1f} {:.1f} {:.1f}".format(*os.getloadavg())


def projected(x1, y1, x2, y2, x=PROJECTED):
    """Along the line through the two runs; never below the larger run's figure (noise can tilt a flat line)."""
    if x2 == x1:
        return y2 * x / x2
    return max(y2, y1 + (y2 - y1) * (x - x1) / (x2 - x1))


def main(argv=()):
    ap = argparse.ArgumentParser()
    ap.add_argument("--pairs", type=int, default=20_000)
    ap.add_argument("--small", type=int, default=5_000, help="pairs of the second, smaller quillfen run")
    ap.add_argument("--changed", type=float, default=0.02, help="share of the pairs that are edited")
    ap.add_argument("--peer-pairs", type=int, default=2_000, help="pairs the peer compares (the same mix)")
    ap.add_argument("--no-peer", action="store_true", help="skip the peer")
    args = ap.parse_args(list(argv))
    folders = pages()
    if not folders:
        print(SCREENSHOTS_HINT)
        return
    cpus = os.cpu_count() or 1
    quillfen = [sys.executable, "-m", "quillfen_tools", "dirs"]
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="quillfen-bench-scale-"))
    try:
        big = make_suite(tmp / "big", folders, args.pairs, args.changed)
        small = make_suite(tmp / "small", folders, args.small, args.changed)
        distinct = sum(1 for f in folders for _ in ("baseline", "identical") + EDITS)
        print(f"{args.pairs} pairs ({big[2]} edited) from {distinct} distinct screenshots of {len(folders)} pages "
              f"(1280x720 and 1280x3000); {cpus} CPUs")
        for f in folders:  # every distinct file in the page cache before any clock starts
            for p in f.iterdir():
                p.read_bytes()

        rows = {}
        print(loadavg(), "- quillfen, small run", flush=True)
        rows["small"] = checked(measure(quillfen + [str(small[0]), str(small[1]), "--out",
                                                    str(tmp / "small-report")]))
        print(loadavg(), "- quillfen, full run", flush=True)
        rows["big"] = checked(measure(quillfen + [str(big[0]), str(big[1]), "--out", str(tmp / "big-report")]))
        print(loadavg(), "- report load times", flush=True)
        loads = {k: load_time(tmp / f"{k}-report" / "index.html") for k in ("small", "big")}
        sizes = {k: folder_size(tmp / f"{k}-report") for k in ("small", "big")}
        peer = None
        if not args.no_peer:
            peer_file = tmp / "peer.py"
            peer_file.write_text(PEER)
            sample = make_suite(tmp / "peer", folders, min(args.peer_pairs, args.pairs), args.changed)
            print(loadavg(), "- peer", flush=True)
            peer = measure([sys.executable, str(peer_file), str(sample[0]), str(sample[1]), str(cpus)])
            peer_n = min(args.peer_pairs, args.pairs)
        print(loadavg(), "- done", flush=True)

        n1, n2 = args.small, args.pairs
        print()
        print(f"{'':46} {'pairs':>7} {'wall s':>8} {'pairs/s':>8} {'peak MiB':>9} {'vs peer':>8}")
        peer_rate = peer_n / peer[0] if peer else None
        for key, n in (("small", n1), ("big", n2)):
            wall, rss, _ = rows[key]
            ratio = f"{n / wall / peer_rate:7.2f}x" if peer_rate else f"{'':>8}"
            print(f"{'quillfen dirs --out (with the report)':46} {n:7d} {wall:8.1f} {n / wall:8.1f} {rss:9.0f} {ratio}")
        if peer:
            print(f"{'Pillow + numpy, ' + str(cpus) + ' threads (count only)':46} {peer_n:7d} {peer[0]:8.1f} "
                  f"{peer_rate:8.1f} {peer[1]:9.0f} {1:7.2f}x")
        for key, n in (("small", n1), ("big", n2)):
            (size, files), (loaded, drawn) = sizes[key], loads[key]
            shown = "n/a" if loaded is None else f"load {loaded:.2f} s" + (
                f", first row {drawn:.2f} s" if drawn is not None else ", no row found")
            print(f"report of {n} pairs: {size / 2 ** 20:.1f} MiB in {files} files; Chromium: {shown}")

        # Projection: time from the full run's rate; memory, report size and load time along the line through the
        # two runs.
        wall2, rss2 = rows["big"][0], rows["big"][1]
        rss1 = rows["small"][1]
        print(f"\nprojected to {PROJECTED} pairs:")
        print(f"  quillfen: {PROJECTED * wall2 / n2 / 60:.1f} min, peak {projected(n1, rss1, n2, rss2):.0f} MiB, "
              f"report {projected(n1, sizes['small'][0], n2, sizes['big'][0]) / 2 ** 20:.0f} MiB"
              + (f", load {projected(n1, loads['small'][0], n2, loads['big'][0]):.1f} s"
                 if loads["small"][0] and loads["big"][0] else ""))
        if peer:
            print(f"  peer:     {PROJECTED / peer_rate / 60:.1f} min at its rate (no report)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
