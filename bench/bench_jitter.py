"""Rendering jitter: what it costs in the verdict beside the same verdict without it, what it removes from pages that only moved by a
fraction of a pixel (or one pixel sideways), and what it keeps of real edits.

Needs the real screenshots (bench/make_screenshots.py) and the moved ones (bench/make_moved_screenshots.py).

    python bench/bench_jitter.py [--jitter 1] [--repeat 5]
"""
import argparse
import json
import sys
from collections import defaultdict

from quillfen_tools import _native

from common import SCREENSHOTS_HINT, best_cpu, screenshot_dir, screenshot_pairs

EDITS = ("word", "links", "banner", "removed")


def decoded(png):
    pixels, w, h = _native.decode_rgba(png)
    return pixels, w, h


def verdict(b, c, jitter):
    return _native.verdict(b[0], c[0], b[1:], c[1:], jitter=jitter)


def split(b, c, jitter):
    v = verdict(b, c, jitter)
    return v["diff_pixels"], v["jitter_pixels"]


def moved_pairs():
    root = screenshot_dir() / "moved"
    try:
        entries = json.loads((root / "moved.json").read_text())
    except (OSError, ValueError):
        return []
    return [(e["move"], (root / e["baseline"]).read_bytes(), (root / e["current"]).read_bytes()) for e in entries
            if (root / e["current"]).exists()]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--jitter", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    edits = screenshot_pairs(kinds=EDITS)
    moved = moved_pairs()
    if not edits or not moved:
        sys.exit(SCREENSHOTS_HINT + "; then bench/make_moved_screenshots.py")
    j = args.jitter

    print(f"cost of the verdict with jitter={j} beside jitter=0 (CPU seconds, best of {args.repeat}; decoded "
          "images, no diff image)")
    print(f"{'pair':40} {'jitter=0':>9} {'jitter':>9} {'ratio':>6}")
    ratios = []
    for p in edits:
        b, c = decoded(p.baseline), decoded(p.current)
        plain = best_cpu(lambda: verdict(b, c, 0), args.repeat)
        split_cost = best_cpu(lambda: verdict(b, c, j), args.repeat)
        ratios.append(split_cost / plain)
        print(f"{p.name:40} {plain * 1e3:8.2f}m {split_cost * 1e3:8.2f}m {split_cost / plain:6.2f}")
    ratios.sort()
    print(f"median ratio {ratios[len(ratios) // 2]:.2f}, worst {ratios[-1]:.2f}\n")

    print(f"pages that only moved: pixels counted today and with jitter={j}")
    by_move = defaultdict(lambda: [0, 0, 0, 0])
    for move, bp, cp in moved:
        b, c = decoded(bp), decoded(cp)
        today = split(b, c, 0)[0]
        kept = split(b, c, j)[0]
        s = by_move[move]
        s[0] += today
        s[1] += kept
        s[2] += kept > 0
        s[3] += 1
    total = [sum(s[i] for s in by_move.values()) for i in range(4)]
    print(f"{'move':8} {'today':>9} {'kept':>8} {'share':>7} {'changed':>9}")
    for move, s in sorted(by_move.items()) + [("all", total)]:
        print(f"{move:8} {s[0]:9} {s[1]:8} {s[1] / max(s[0], 1):7.1%} {s[2]:4}/{s[3]:<4}")
    print()

    print(f"real edits: pixels counted today and with jitter={j}")
    by_kind = defaultdict(lambda: [0, 0, 0, 0])
    for p in edits:
        b, c = decoded(p.baseline), decoded(p.current)
        today = split(b, c, 0)[0]
        kept = split(b, c, j)[0]
        s = by_kind[p.kind]
        s[0] += today
        s[1] += kept
        s[2] += today > 0 and kept == 0  # an edit that would now pass
        s[3] += 1
    total = [sum(s[i] for s in by_kind.values()) for i in range(4)]
    print(f"{'edit':8} {'today':>9} {'kept':>9} {'share':>7} {'lost':>7}")
    for kind, s in sorted(by_kind.items()) + [("all", total)]:
        print(f"{kind:8} {s[0]:9} {s[1]:9} {s[1] / max(s[0], 1):7.1%} {s[2]:3}/{s[3]:<3}")


if __name__ == "__main__":
    main()
