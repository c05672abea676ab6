"""Layout-aware shift detection on real renders: pages with a fixed sidebar, a sticky header, a right-hand table of
contents or two panes, captured by headless Chromium before and after a 48-pixel banner is inserted at the top of
their content. For each pair, side by side in the same run:

    row_alignment()   the engine's whole-row alignment: "shifted" when it aligns with nothing else changed
    analyze_layout()  the column-band analysis of quillfen_tools: "shifted" when the bands explain every change
    compare()         what quillfen_tools.compare reports (whole-row alignment first, the layout analysis after)

and the cost of the layout analysis beside row_alignment() on the same decoded pair (best of 3 runs each).

The pages are those of bench/make_screenshots.py (docs, dashboards, shops, blogs, forms, landing pages) and two
layouts of our own (a right-hand table of contents, two panes), at 1280 x 720 and 1280 x 3000; renders are cached
under $QUILLFEN_SCREENSHOTS/layout (by default ~/.cache/quillfen-bench/screenshots/layout).

    python bench/bench_layout.py              # render what is missing, then measure
    python bench/bench_layout.py --pages 12   # the first twelve pages only
"""
import argparse
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import make_screenshots as ms
from common import screenshot_dir

# A banner of exactly 48 rows: no margin of its own, so the content below moves by 48 rows.
BANNER_CSS = (".banner { height: 48px !important; box-sizing: border-box; margin: 0 !important; padding: 0 16px "
              "!important; line-height: 46px; overflow: hidden; }")


def toc_page(t, ch, accent, dark, light):
    p = ms.Para(ch)
    sections = "".join(f"<h2>{t.title(3)}</h2>{p(t.paragraph())}{p(t.paragraph(2, 4))}" for _ in range(8))
    toc = "".join(f'<a href="#">{t.title(2)}</a>' for _ in range(12))
    css = f"""
      main {{ margin-right: 300px; padding: 16px 40px; max-width: 820px; line-height: 1.5; }}
      aside {{ position: fixed; right: 0; top: 0; bottom: 0; width: 260px; border-left: 1px solid #d0d7de;
              padding: 24px; box-sizing: border-box; background: {light}; }}
      aside a {{ display: block; line-height: 30px; color: {accent}; }}"""
    return f"<main>{{banner}}<h1>{t.title(4)}</h1>{sections}</main><aside><b>On this page</b>{toc}</aside>", css


def panes_page(t, ch, accent, dark, light):
    p = ms.Para(ch)
    items = "".join(f'<div class="item"><b>{t.title(2)}</b>{p(t.paragraph(1, 2))}</div>' for _ in range(14))
    detail = "".join(p(t.paragraph(3, 6)) for _ in range(8))
    css = f"""
      .panes {{ display: flex; align-items: flex-start; }}
      .list {{ width: 420px; padding: 16px 24px; background: {light}; border-right: 1px solid #d0d7de; }}
      .item {{ border-bottom: 1px solid #d0d7de; padding: 8px 0; }}
      .detail {{ flex: 1; padding: 16px 40px; line-height: 1.6; }}"""
    body = (f'<div class="panes"><div class="list">{{banner}}{items}</div><div class="detail"><h1>{t.title(5)}</h1>'
            f"{detail}</div></div>")
    return body, css


EXTRA = (("toc", toc_page), ("panes", panes_page))


def page_html(name, banner):
    kind, index = name.rsplit("-", 1)
    if kind not in dict(EXTRA):
        html = ms.build_html(name, "banner" if banner else None)
    else:
        seed = sum(map(ord, kind)) * 100 + int(index)
        accent, dark, light = ms.PALETTES[seed % len(ms.PALETTES)]
        body, css = dict(EXTRA)[kind](ms.Text(seed), None, accent, dark, light)
        body = body.replace("{banner}", '<div class="banner"><b>Scheduled maintenance:</b> read-only on Saturday. '
                            '<a href="#">Learn more</a></div>' if banner else "")
        style = ms.BASE_CSS % {"accent": accent} + css
        html = (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{name}</title>'
                f"<style>{style}</style></head><body>{body}</body></html>")
    return html.replace("</style>", BANNER_CSS + "</style>", 1)


def page_list(count):
    names = ms.page_names() + [f"{kind}-{i}" for i in range(ms.PAGES_PER_KIND) for kind, _ in EXTRA]
    return names[:count] if count else names


def render_all(out, names, jobs):
    browser = ms.find_browser()
    todo = []
    for name in names:
        for width, height in ms.SIZES:
            folder = out / f"{name}-{width}x{height}"
            folder.mkdir(parents=True, exist_ok=True)
            for banner in (False, True):
                png = folder / ("banner.png" if banner else "baseline.png")
                if not png.exists():
                    html = out / "html" / f"{name}-{'banner' if banner else 'baseline'}.html"
                    html.parent.mkdir(parents=True, exist_ok=True)
                    html.write_text(page_html(name, banner), encoding="utf-8")
                    todo.append((html, png, width, height))
    if todo and browser is None:
        sys.exit("bench_layout: no headless Chromium found; scripts/setup.sh installs it")
    if todo:
        print(f"bench_layout: rendering {len(todo)} images with {browser}", flush=True)

    def run(job):
        html, png, width, height = job
        tmp = png.with_suffix(".tmp.png")
        ms.render(browser, html, tmp, width, height)
        tmp.replace(png)

    with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        list(pool.map(run, todo))


def best_of(n, f):
    best = None
    for _ in range(n):
        t = time.perf_counter()
        f()
        t = time.perf_counter() - t
        best = t if best is None else min(best, t)
    return best


def main(argv=()):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pages", type=int, default=None, help="only the first N pages")
    ap.add_argument("--jobs", type=int, default=2, help="browsers run at once")
    args = ap.parse_args(argv)

    import quillfen
    import quillfen_tools as qt
    from quillfen_tools import _native

    out = screenshot_dir() / "layout"
    names = page_list(args.pages)
    render_all(out, names, args.jobs)

    rows = []
    for name in names:
        for width, height in ms.SIZES:
            folder = out / f"{name}-{width}x{height}"
            b_png, c_png = (folder / "baseline.png").read_bytes(), (folder / "banner.png").read_bytes()
            b, bw, bh = _native.decode_rgba(b_png)
            c, cw, ch = _native.decode_rgba(c_png)
            cmp = quillfen.Comparison.from_rgba(b, bw, bh, c, cw, ch)
            alignment = cmp.row_alignment()
            row_shifted = alignment.aligned and alignment.residual_count == 0 and alignment.changed_rows == 0
            verdict, bands, residual, _, _, searches = _native.analyze_layout(b, c, (bw, bh), (cw, ch))
            status = qt.compare(b_png, c_png).status
            t_row = best_of(3, cmp.row_alignment)
            t_layout = best_of(3, lambda: _native.analyze_layout(b, c, (bw, bh), (cw, ch), max_residual=0))
            rows.append(dict(page=f"{name}-{width}x{height}", kind=name.rsplit("-", 1)[0], row=row_shifted,
                             layout=verdict, residual=residual, status=status, searches=searches,
                             diff=cmp.diff_count(), t_row=t_row, t_layout=t_layout, bands=len(bands)))

    print(f"{'pair':30} {'diff px':>9} {'row_alignment':>14} {'layout':>9} {'residual':>9} {'compare':>9} "
          f"{'searches':>8} {'row ms':>8} {'layout ms':>9} {'ratio':>6}")
    for r in rows:
        print(f"{r['page']:30} {r['diff']:>9} {'shifted' if r['row'] else 'no':>14} {r['layout']:>9} "
              f"{r['residual']:>9} {r['status']:>9} {r['searches']:>8} {r['t_row'] * 1e3:>8.1f} "
              f"{r['t_layout'] * 1e3:>9.1f} {r['t_layout'] / r['t_row']:>6.1f}")
    n = len(rows)
    row_share = sum(r["row"] for r in rows) / n
    layout_share = sum(r["layout"] == "shifted" for r in rows) / n
    compare_share = sum(r["status"] == "shifted" for r in rows) / n
    ratios = [r["t_layout"] / r["t_row"] for r in rows]
    print()
    print(f"banner-inserted pairs: {n}")
    print(f"  reported shifted, nothing else changed: row_alignment {row_share:6.1%}   analyze_layout "
          f"{layout_share:6.1%}   compare {compare_share:6.1%}")
    for kind in dict.fromkeys(r["kind"] for r in rows):
        k = [r for r in rows if r["kind"] == kind]
        print(f"    {kind:10} row_alignment {sum(r['row'] for r in k)}/{len(k)}   analyze_layout "
              f"{sum(r['layout'] == 'shifted' for r in k)}/{len(k)}")
    print(f"  cost, analyze_layout / row_alignment on the same pair: median {statistics.median(ratios):.2f}x, "
          f"max {max(ratios):.2f}x (total {sum(r['t_layout'] for r in rows) * 1e3:.0f} ms vs "
          f"{sum(r['t_row'] for r in rows) * 1e3:.0f} ms)")
    # Pairs that cannot be aligned at all (two different pages of one size): declared so within the search cap.
    unrelated = []
    for first, second in zip(names[::2], names[1::2]):
        for width, height in ms.SIZES:
            b, bw, bh = _native.decode_rgba((out / f"{first}-{width}x{height}" / "baseline.png").read_bytes())
            c, cw, ch = _native.decode_rgba((out / f"{second}-{width}x{height}" / "baseline.png").read_bytes())
            if (bw, bh) != (cw, ch):
                continue
            cmp = quillfen.Comparison.from_rgba(b, bw, bh, c, cw, ch)
            # As compare() calls it: the plain count is known, so the residual need not be counted in full.
            verdict, _, _, _, _, searches = _native.analyze_layout(b, c, (bw, bh), (cw, ch), max_residual=0)
            t_row = best_of(3, cmp.row_alignment)
            t_layout = best_of(3, lambda: _native.analyze_layout(b, c, (bw, bh), (cw, ch), max_residual=0))
            t_count = best_of(3, cmp.diff_count)
            unrelated.append((verdict, searches, t_row, t_layout, t_count))
    if unrelated:
        ratios = [u[3] / u[2] for u in unrelated]
        print(f"unrelated pairs (different pages): {len(unrelated)}, verdicts "
              f"{sorted({u[0] for u in unrelated})}, searches at most {max(u[1] for u in unrelated)}; cost "
              f"analyze_layout / row_alignment median {statistics.median(ratios):.2f}x, max {max(ratios):.2f}x "
              f"(total {sum(u[3] for u in unrelated) * 1e3:.0f} ms vs {sum(u[2] for u in unrelated) * 1e3:.0f} ms; "
              f"diff_count() of the same pairs {sum(u[4] for u in unrelated) * 1e3:.0f} ms)")
    failures = [r for r in rows if r["layout"] != "shifted"]
    if failures:
        print("  not shifted: " + ", ".join(f"{r['page']} ({r['layout']}, residual {r['residual']})" for r in failures))


if __name__ == "__main__":
    main(sys.argv[1:])
