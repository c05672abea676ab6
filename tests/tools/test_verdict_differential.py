"""The native verdict against the decision as it was made before, step by step with the engine's calls: on real
screenshots (the benchmark corpus rendered by Chromium, when it has been made, and the layout pages) and on
synthetic pairs, every field is the same, except where the product layer's rules changed, each of which has a test
of its own here: tolerances apply only when given, a pane shift is scored with the shift undone, a block split by
rows that only happen to match is one band, rows pushed out of a fixed-height capture are marked at the edge.

Options that later work adds with new defaults are set here to the behaviour the reference has."""
import pathlib
import sys

import numpy as np
import pytest

import quillfen
import quillfen_tools as qt
from quillfen_tools import _native

from pages import page, png, shifted_down
import screens
import test_layout_pages as layout_pages

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from common import screenshot_pairs  # noqa: E402

WEBP_MAX_SIDE = 16383


# ---- the decision as it was: the engine's calls, one after the other ----------------------------------------------

def reference(b, c, *, threshold=0.1, include_aa=False, max_diff_pixels=0, diff=True, thumbnails=None):
    """(record, layout bands) of a pair of PNG files, as the product layer decided before the verdict moved to C++;
    layout bands are those of the layout analysis when it explained the pair (None otherwise)."""
    cmp = quillfen.Comparison(b, c)
    w, h = cmp.width, cmp.height
    bsize, csize = cmp.baseline_size, cmp.current_size
    pixels = w * h
    identical = b == c
    opt = dict(threshold=threshold, include_aa=include_aa)
    n = 0 if identical else cmp.diff_count(**opt)
    same = bsize == csize
    alignment = shift = layout = None
    if n == 0 and same:
        status = "unchanged"
    else:
        if bsize[0] == csize[0]:
            alignment = cmp.row_alignment(**opt)
            a = alignment
            if a.aligned and a.residual_count == 0 and a.bands and \
                    sum(x.rows for x in a.bands) == a.inserted_rows + a.deleted_rows:
                shift = tuple((x.kind, x.y, x.rows, 0, w) for x in a.bands)
            if shift is None and 0 not in bsize + csize:
                verdict, bands, residual, clusters, png_, _ = _native.analyze_layout(
                    b, c, diff=bool(diff), max_residual=0, **opt)
                if verdict in ("shifted", "changed") and bands and not (
                        verdict == "changed" and (not same or residual >= n)):
                    layout = (verdict, tuple(bands), residual, tuple(clusters), png_)
        if layout:
            status = "shifted" if layout[0] == "shifted" else "changed"
            shift = layout[1]
            if status == "changed":
                n = layout[2]
        elif shift:
            status = "shifted"
        else:
            status = "changed" if same else "size-changed"
    ratio = n / pixels if pixels else 0.0
    passed = {"unchanged": True, "shifted": n <= max_diff_pixels, "changed": n <= max_diff_pixels,
              "size-changed": False}[status]
    if identical:
        ssim = 1.0
    elif shift and not layout:
        ssim = cmp.aligned_ssim(alignment)
    else:
        ssim = cmp.ssim()
    clusters = ()
    if layout:
        clusters = layout[3]
    elif status in ("changed", "size-changed") and n > 0:
        clusters = tuple((k.bbox.x, k.bbox.y, k.bbox.width, k.bbox.height, k.pixel_count)
                         for k in cmp.clusters(**opt).clusters)
    image = None
    if pixels and (diff is True or diff == "changes" and status != "unchanged"):
        image = layout[4] if layout else (cmp.aligned_diff_image(alignment, **opt) if shift
                                          else cmp.diff_image(**opt))
    thumbs = (None, None)
    if thumbnails and pixels:
        thumbs = (cmp.baseline_thumbnail(width=thumbnails, height=WEBP_MAX_SIDE),
                  cmp.current_thumbnail(width=thumbnails, height=WEBP_MAX_SIDE) if csize[0] * csize[1] else None)
    record = dict(status=status, passed=passed, diff_pixels=n, diff_ratio=ratio, ssim=ssim, width=w, height=h,
                  baseline_size=bsize, current_size=csize, clusters=clusters, shift=shift, diff_png=image,
                  baseline_thumbnail=thumbs[0], current_thumbnail=thumbs[1])
    return record, (layout[1] if layout else None)


def rgba(png_bytes):
    data, width, height = _native.decode_rgba(png_bytes)
    return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 4)


def undone(b, c, bands):
    """The current image with the shifts of these bands undone, in the baseline's rows: each column band's rows
    paired in order around its inserted and deleted rows, the pairs put back at their baseline rows."""
    base, cur = rgba(b), rgba(c)
    height = min(base.shape[0], cur.shape[0])
    out = base.copy()
    out[:height] = cur[:height]  # columns that stayed
    for x0, x1 in sorted({(x0, x1) for _, _, _, x0, x1, *_ in bands}):
        own = [band for band in bands if (band[3], band[4]) == (x0, x1)]
        inserted = {y for kind, y, rows, *_ in own if kind == "inserted" for y in range(y, y + rows)}
        deleted = {}
        for kind, y, rows, *_ in own:
            if kind == "deleted":
                deleted[y] = deleted.get(y, 0) + rows
        out[:, x0:x1] = base[:, x0:x1]
        row = 0
        for y in range(cur.shape[0] + 1):
            row += deleted.get(y, 0)
            if y < cur.shape[0] and y not in inserted and row < base.shape[0]:
                out[row, x0:x1] = cur[y, x0:x1]
                row += 1
    return base, out


def engine_ssim(a, b):
    return quillfen.Comparison.from_rgba(a.tobytes(), a.shape[1], a.shape[0], b.tobytes(), b.shape[1],
                                         b.shape[0]).ssim()


def merged_from(old, new):
    """Whether the bands `new` are `old` with neighbouring blocks of one kind and column band joined."""
    i = 0
    for kind, y, rows, x0, x1, *_ in new:
        total, first = 0, i
        while i < len(old) and total < rows and old[i][0] == kind and old[i][3:5] == (x0, x1):
            total += old[i][2]
            i += 1
        if total != rows or not old[first][1] <= y <= old[i - 1][1]:
            return False
    return i == len(old)


def check(b, c, **options):
    """The native verdict of a pair of PNG files against the reference, field by field."""
    options.setdefault("diff", True)
    old, layout_bands = reference(b, c, **options)
    new = _native.verdict(b, c, **{**options, "max_diff_pixels": options.get("max_diff_pixels", 0)})
    same_fields = ("status", "passed", "diff_pixels", "diff_ratio", "width", "height", "baseline_size",
                   "current_size", "baseline_thumbnail", "current_thumbnail")
    for field in same_fields:
        assert new[field] == old[field], field
    same_clusters(new, old)
    if old["shift"] is None:
        assert new["shift"] is None
    else:
        bands = tuple(band[:5] for band in new["shift"])
        assert bands == old["shift"] or merged_from(old["shift"], bands), (old["shift"], bands)
        if bands == old["shift"]:
            assert new["diff_png"] == old["diff_png"]
        for kind, y, rows, x0, x1, edge in new["shift"]:
            if edge:  # only deleted rows at an edge of a capture that kept its height
                assert kind == "deleted" and old["baseline_size"][1] == old["current_size"][1]
                assert y in (0, old["current_size"][1])
    if old["shift"] is None:
        assert new["diff_png"] == old["diff_png"]
    if layout_bands is None:
        assert new["ssim"] == old["ssim"]
    else:
        # The shift is undone before scoring: the engine's SSIM of the baseline and the undone image.
        assert new["ssim"] == engine_ssim(*undone(b, c, layout_bands))
    return old, new


def same_clusters(new, old):
    """The same boxes; each counts the differing pixels of its own group (not the group grown by the clustering's
    margin), so together they never exceed the pair's count."""
    assert [k[:4] for k in new["clusters"]] == [k[:4] for k in old["clusters"]]
    assert all(0 < k[4] <= o[4] for k, o in zip(new["clusters"], old["clusters"]))
    assert sum(k[4] for k in new["clusters"]) <= new["diff_pixels"]


# ---- real screenshots ------------------------------------------------------------------------------------------

def corpus():
    pairs = screenshot_pairs(1280, 720)
    # A page with a fixed sidebar (its pane moves on its own) and one whose rows move whole.
    names = sorted({p.page for p in pairs})
    pages = [next(n for n in names if n.startswith(f)) for f in ("docs", "shop") if any(n.startswith(f) for n in names)]
    pages = pages or names[:2]
    chosen = [p for p in pairs if p.page in pages]
    chosen += [p for p in screenshot_pairs(1280, 3000) if p.page in pages[:1] and p.kind == "banner"]
    return chosen


@pytest.mark.parametrize("pair", corpus() or [None], ids=lambda p: p.name if p else "no-corpus")
def test_real_screenshots(pair):
    if pair is None:
        pytest.skip("no benchmark screenshots: bench/make_screenshots.py makes them")
    check(pair.baseline, pair.current, diff=True)


LAYOUT_PAIRS = {
    "sidebar-banner": (layout_pages.sidebar_page(), layout_pages.sidebar_page(banner=True)),
    "sidebar-removed": (layout_pages.sidebar_page(), layout_pages.sidebar_page(remove=2)),
    "header-removed": (layout_pages.header_page(), layout_pages.header_page(remove=1)),
    "toc-spacing": (layout_pages.toc_page(), layout_pages.toc_page(spacing=True)),
    "two-panes": (layout_pages.two_panes_page(), layout_pages.two_panes_page(left_banner=True, right_remove=1)),
    "sidebar-banner-and-link": (layout_pages.sidebar_page(),
                                layout_pages.sidebar_page(banner=True, side_links=layout_pages.SIDE_LINKS[:-1])),
}


@pytest.mark.parametrize("name", sorted(LAYOUT_PAIRS))
def test_layout_pages(name):
    b, c = (layout_pages.render(html) for html in LAYOUT_PAIRS[name])
    check(b, c, diff="changes", thumbnails=64)


# ---- synthetic pairs -------------------------------------------------------------------------------------------

def synthetic():
    base = page(160, 120, seed=3)
    changed = base.copy()
    changed[40:52, 30:90, :3] = 20
    faint = base.copy()
    faint[10:30, 10:40, :3] += 1
    clear = base.copy()
    clear[5:15, :, 3] = 0
    yield "identical", png(base), png(base), {}
    yield "changed", png(base), png(changed), {}
    yield "changed-threshold-0", png(base), png(faint), {"threshold": 0.0}
    yield "changed-include-aa", png(base), png(changed), {"include_aa": True, "thumbnails": 40}
    yield "below-threshold", png(base), png(faint), {}
    yield "transparent-rows", png(base), png(clear), {}
    yield "viewport-shift", png(base), png(shifted_down(base, 9)), {"diff": "changes"}
    yield "grown", screens.screen(2), screens.screen(2, banner=5), {}
    yield "grown-and-changed", screens.screen(2), screens.screen(2, banner=5, block=(60, 40, 10, 8)), {}
    yield "wider", screens.screen(1), screens.screen(1, width=screens.W + 7), {"thumbnails": 30}
    yield "narrower-and-shorter", screens.screen(1), screens.screen(1, width=50, height=40), {}
    yield "tiny", png(page(3, 2, seed=1)), png(page(3, 2, seed=2)), {}


@pytest.mark.parametrize("name,b,c,options", list(synthetic()), ids=[s[0] for s in synthetic()])
def test_synthetic_pairs(name, b, c, options):
    check(b, c, **options)


def test_pixels_and_ignored_regions_as_the_engine_compares_them():
    base = page(120, 90, seed=5)
    cur = base.copy()
    cur[20:30, 40:60, :3] = 0
    cur[70:75, 5:15, :3] = 255
    # Ignored rectangles: the baseline's pixels stand in for the current ones there, as apply_ignore makes them.
    kept = _native.apply_ignore(cur.tobytes(), 120, 90, base.tobytes(), 120, 90, ((38, 18, 30, 20),), None, 0, 0)
    mask = np.zeros((90, 120), np.uint8)
    mask[70:75, 5:15] = 1
    old, _ = reference(png(base), png(np.frombuffer(kept, np.uint8).reshape(90, 120, 4)))
    new = _native.verdict(base, cur, (120, 90), (120, 90), max_diff_pixels=0, diff=True,
                          ignore_rects=((38, 18, 30, 20),))
    for field in ("status", "diff_pixels", "ssim", "diff_png"):
        assert new[field] == old[field], field
    same_clusters(new, old)
    both = _native.verdict(base, cur, (120, 90), (120, 90), ignore_rects=((38, 18, 30, 20),), ignore_mask=mask,
                           ignore_mask_size=(120, 90))
    assert both["status"] == "unchanged" and both["ssim"] == 1.0
    assert qt.compare(base, cur, ignore=[(38, 18, 30, 20)]).diff_pixels == new["diff_pixels"]


# ---- the rules that changed ------------------------------------------------------------------------------------

def test_clusters_count_their_own_pixels_and_say_what_changed():
    base = page(100, 80, seed=1)
    cur = base.copy()
    cur[10:14, 10:16, :3] = (255, 0, 0)  # one block of 24 pixels: its cluster counts those, not the 12 x 14 it grew to
    v = _native.verdict(png(base), png(cur))
    ((x, y, width, height, pixels, kind, dx, dy, part),) = v["clusters"]
    assert (x, y, width, height, pixels) == (6, 6, 14, 12, 24) == (6, 6, 14, 12, v["diff_pixels"])
    assert kind == "content" and part == (10, 10, 6, 4)

def test_tolerances_apply_only_when_given():
    base = page(100, 80, seed=1)
    cur = base.copy()
    cur[10:20, 10:30, :3] = 0
    b, c = png(base), png(cur)
    n = _native.verdict(b, c)["diff_pixels"]
    assert n > 0
    assert not _native.verdict(b, c)["passed"]  # nothing given: a change never passes
    assert _native.verdict(b, c, max_diff_ratio=0.05)["passed"]  # a ratio alone is enough
    assert not _native.verdict(b, c, max_diff_ratio=0.05, max_diff_pixels=n - 1)["passed"]  # and both must hold
    assert _native.verdict(b, c, max_diff_ratio=0.05, max_diff_pixels=n)["passed"]
    assert not _native.verdict(b, c, max_diff_pixels=n, max_diff_ratio=0.0)["passed"]
    shifted = png(shifted_down(base, 6))
    assert not _native.verdict(b, shifted)["passed"]
    assert _native.verdict(b, shifted, allow_shift=True)["passed"]
    assert qt.compare(b, c, max_diff_ratio=0.05).passed and not qt.compare(b, c).passed


def test_pane_shift_is_scored_with_the_shift_undone():
    b, c = (layout_pages.render(html) for html in LAYOUT_PAIRS["sidebar-banner"])
    v = _native.verdict(b, c)
    assert v["status"] == "shifted"
    assert all(x0 > 0 for _, _, _, x0, _, _ in v["shift"])  # the pane's columns only
    assert v["ssim"] == 1.0
    assert quillfen.Comparison(b, c).ssim() < 0.95  # the raw score the shift used to get
    # With a real change beside the shift, the score is that of the change alone.
    b, c = (layout_pages.render(html) for html in LAYOUT_PAIRS["sidebar-banner-and-link"])
    v = _native.verdict(b, c)
    assert v["status"] == "changed" and v["shift"]
    assert quillfen.Comparison(b, c).ssim() < v["ssim"] < 1.0


def banner_page(width, rows, banner_at=None):
    """A page of distinct rows with two blank rows at row 10; a banner with two blank rows inside when
    `banner_at` is given (inserted there, the page growing)."""
    a = page(width, rows, seed=8)
    a[10:12, :, :3] = 250
    a[10:12, 0, :2] = 250
    if banner_at is None:
        return a
    banner = np.full((8, width, 4), 255, np.uint8)
    banner[:, :, :3] = (255, 248, 197)
    banner[0:3, ::3, :3] = (40, 40, 40)
    banner[3:5] = a[10]  # blank rows, like the page's
    banner[5:8, 1::4, :3] = (90, 60, 20)
    return np.concatenate([a[:banner_at], banner, a[banner_at:]])


def test_a_block_split_by_rows_that_happen_to_match_is_one_band():
    base, cur = banner_page(80, 40), banner_page(80, 40, banner_at=10)
    b, c = png(base), png(cur)
    engine = quillfen.Comparison(b, c).row_alignment()
    assert len(engine.bands) > 1  # the engine's own answer keeps the split
    v = _native.verdict(b, c)
    assert v["status"] == "shifted"
    assert v["shift"] == (("inserted", 10, 8, 0, 80, False),)
    # A real one: the banner of a documentation page.
    pairs = [p for p in screenshot_pairs(1280, 720, kinds=("banner",)) if p.page.startswith("docs")]
    if pairs:
        v = _native.verdict(pairs[0].baseline, pairs[0].current)
        assert [band[0] for band in v["shift"]] == ["inserted", "deleted"]


def test_rows_pushed_out_of_a_fixed_height_capture_are_at_the_edge():
    base = page(90, 70, seed=4)
    v = _native.verdict(png(base), png(shifted_down(base, 7)))
    assert v["shift"] == (("inserted", 0, 7, 0, 90, False), ("deleted", 70, 7, 0, 90, True))
    result = qt.compare(png(base), png(shifted_down(base, 7)))
    assert [band.to_dict()["at_edge"] for band in result.shift.bands] == [False, True]
    # The page grew instead: nothing was pushed out.
    grown = np.concatenate([shifted_down(base, 7)[:7], base])
    v = _native.verdict(png(base), png(grown))
    assert v["shift"] == (("inserted", 0, 7, 0, 90, False),)
    # Rows removed from a page that kept its height are deleted, not pushed out.
    pulled = np.concatenate([base[:20], base[27:], shifted_down(base, 7)[:7]])
    v = _native.verdict(png(base), png(pulled))
    assert all(not edge for *_, edge in v["shift"])
