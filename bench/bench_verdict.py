"""The verdict of one pair, on real 1280 x 720 changed pairs (every kind but the plain re-render):

- the native verdict (`_native.verdict`) with and without the diff image, and `quillfen_tools.compare` over it,
  beside the decision as it was made before, step by step with the engine's calls (what `quillfen_tools.compare`
  cost until the verdict moved into C++), process CPU time, best of several runs;
- each step's share of the native verdict;
- the verdict's SSIM beside the engine's `Comparison.ssim()` of the same pair.
"""
import statistics

import quillfen
import quillfen_tools as qt
from quillfen_tools import _native

from common import SCREENSHOTS_HINT, best_cpu, screenshot_pairs

REPEAT = 5
STEPS = ("decode", "ignore", "count", "align", "layout", "ssim", "clusters", "diff_image", "thumbnails")


def step_by_step(b, c, diff):
    """The decision as it was made before: the engine's Comparison, then one call per step."""
    cmp = quillfen.Comparison(b, c)
    if b == c:
        return cmp.diff_image() if diff else None
    n = cmp.diff_count()
    if n == 0 and not cmp.size_mismatch:
        cmp.ssim()
        return cmp.diff_image() if diff else None
    al = cmp.row_alignment()
    whole = al.aligned and al.residual_count == 0 and al.bands and \
        sum(x.rows for x in al.bands) == al.inserted_rows + al.deleted_rows
    if whole:
        cmp.aligned_ssim(al)
        return cmp.aligned_diff_image(al) if diff else None
    verdict, bands, residual, clusters, png, _ = _native.analyze_layout(b, c, diff=diff, max_residual=0)
    cmp.ssim()
    if verdict in ("shifted", "changed") and bands and not (verdict == "changed" and residual >= n):
        return png
    cmp.clusters()
    return cmp.diff_image() if diff else None


def step_shares(b, c, diff):
    """The least CPU time of each step over REPEAT runs."""
    best = dict.fromkeys(STEPS, float("inf"))
    for _ in range(REPEAT):
        steps = _native.verdict(b, c, diff=diff, timing=True)["steps"]
        for k in STEPS:
            best[k] = min(best[k], steps[k])
    return best


def main():
    pairs = [p for p in screenshot_pairs(1280, 720) if p.kind != "identical"]
    if not pairs:
        print(SCREENSHOTS_HINT)
        return
    print(f"verdict of one pair: {len(pairs)} real 1280 x 720 changed pairs, process CPU, best of {REPEAT}, mean "
          f"over the pairs (ms)")
    rows = {key: [] for key in ("before+diff", "verdict+diff", "compare+diff", "before", "verdict", "compare",
                                "engine ssim", "verdict ssim")}
    shares = {True: dict.fromkeys(STEPS, 0.0), False: dict.fromkeys(STEPS, 0.0)}
    by_kind = {}
    for p in pairs:
        b, c = p.png()
        cmp = quillfen.Comparison(b, c)
        t = {
            "before+diff": best_cpu(lambda: step_by_step(b, c, True), REPEAT),
            "verdict+diff": best_cpu(lambda: _native.verdict(b, c, diff=True), REPEAT),
            "compare+diff": best_cpu(lambda: qt.compare(b, c, diff=True), REPEAT),
            "before": best_cpu(lambda: step_by_step(b, c, False), REPEAT),
            "verdict": best_cpu(lambda: _native.verdict(b, c), REPEAT),
            "compare": best_cpu(lambda: qt.compare(b, c), REPEAT),
            "engine ssim": best_cpu(cmp.ssim, REPEAT),
        }
        for diff in (True, False):
            for k, s in step_shares(b, c, diff).items():
                shares[diff][k] += s / len(pairs)
        t["verdict ssim"] = step_shares(b, c, False)["ssim"]
        for k, v in t.items():
            rows[k].append(v)
        by_kind.setdefault(p.kind, []).append((t["before+diff"], t["verdict+diff"], t["before"], t["verdict"]))

    def mean(key):
        return statistics.fmean(rows[key]) * 1e3

    print(f"  {'':24} {'before':>8} {'verdict':>8} {'ratio':>7} {'qt.compare':>11}")
    for label, suffix in (("with the diff image", "+diff"), ("without", "")):
        before, verdict, compare = mean("before" + suffix), mean("verdict" + suffix), mean("compare" + suffix)
        print(f"  {label:24} {before:8.1f} {verdict:8.1f} {before / verdict:6.2f}x {compare:11.1f}")
    print(f"  {'SSIM (engine / verdict)':24} {mean('engine ssim'):8.1f} {mean('verdict ssim'):8.1f} "
          f"{mean('engine ssim') / mean('verdict ssim'):6.2f}x")
    print("  by kind (with diff / without: before -> verdict):")
    for kind, values in sorted(by_kind.items()):
        bd, vd, b0, v0 = (statistics.fmean(v[i] for v in values) * 1e3 for i in range(4))
        print(f"    {kind:10} {bd:6.1f} -> {vd:5.1f}   {b0:6.1f} -> {v0:5.1f}")
    for diff in (True, False):
        total = sum(shares[diff].values())
        parts = "  ".join(f"{k} {v * 1e3:.2f} ({100 * v / total:.0f}%)" for k, v in shares[diff].items() if v > 0)
        print(f"  steps {'with' if diff else 'without'} the diff image (ms, share): {parts}")


if __name__ == "__main__":
    main()
