"""The cost of telling what kind each change is, beside the comparison that found the changes, on real changed
1280 x 720 screenshot pairs (and synthetic ones when none were rendered).

Per kind of edit: the CPU time of the whole verdict of the pair (the native verdict on the PNG bytes, which
classifies its clusters itself; `quillfen_tools.compare` where the module has none), and the CPU time of
classifying all of its clusters again on the decoded images, with the share of the second in the first. The
target is at most 10 %.
"""
import collections

import quillfen_tools as qt
from quillfen_tools import _native

from common import SCREENSHOTS_HINT, best_cpu, encode_png, make_pair, screenshot_pairs


def pairs():
    real = [p for p in screenshot_pairs(1280, 720) if p.kind != "identical"]
    if real:
        return [(p.kind, p.page, p.baseline, p.current) for p in real]
    print(SCREENSHOTS_HINT)
    out = []
    for seed in range(4):
        b, c = make_pair(1280, 720, "changed", seed)
        out.append(("synthetic changed", f"seed {seed}", encode_png(b), encode_png(c)))
    return out


def verdict_call(b_png, c_png):
    verdict = getattr(_native, "verdict", None)
    if verdict is not None:
        return lambda: verdict(b_png, c_png)
    return lambda: qt.compare(b_png, c_png)


def main():
    rows = collections.defaultdict(lambda: [0, 0, 0.0, 0.0])  # pairs, clusters, compare s, classify s
    for kind, page, b_png, c_png in pairs():
        result = qt.compare(b_png, c_png)
        b, bw, bh = _native.decode_rgba(b_png)
        c, cw, ch = _native.decode_rgba(c_png)
        if (bw, bh) != (cw, ch):
            continue  # the classifier reads pairs on one canvas; size changes are not measured here
        boxes = [(k.x, k.y, k.width, k.height) for k in result.clusters]
        compare_s = best_cpu(verdict_call(b_png, c_png), repeat=5)
        classify_s = best_cpu(lambda: _native.classify_changes(b, c, bw, bh, boxes), repeat=5)
        row = rows[kind]
        row[0] += 1
        row[1] += len(boxes)
        row[2] += compare_s
        row[3] += classify_s
    print(f"{'edit':<20} {'pairs':>5} {'clusters':>8} {'compare ms':>11} {'classify ms':>12} {'share':>7}")
    total = [0, 0, 0.0, 0.0]
    for kind, (n, k, cmp_s, cls_s) in sorted(rows.items()):
        for i, v in enumerate((n, k, cmp_s, cls_s)):
            total[i] += v
        print(f"{kind:<20} {n:>5} {k:>8} {cmp_s / n * 1e3:>11.2f} {cls_s / n * 1e3:>12.3f} "
              f"{cls_s / cmp_s * 100:>6.2f}%")
    n, k, cmp_s, cls_s = total
    if n:
        print(f"{'all':<20} {n:>5} {k:>8} {cmp_s / n * 1e3:>11.2f} {cls_s / n * 1e3:>12.3f} "
              f"{cls_s / cmp_s * 100:>6.2f}%   (per pair; target: classify at most 10 % of compare)")


if __name__ == "__main__":
    main()
