"""compare(): statuses and verdicts, ignored regions, the diff image and thumbnails, and the result records."""
import dataclasses
import io
import json
import pickle

import numpy as np
import pytest
from PIL import Image

import quillfen
import quillfen_tools as qt
from pages import page, png, shifted_down


def changed(base, x=10, y=12, w=6, h=4, colour=(255, 0, 0)):
    out = base.copy()
    out[y : y + h, x : x + w, :3] = colour
    return out


def test_unchanged_and_changed_pairs():
    base = page(64, 48)
    same = qt.compare(png(base), png(base))
    assert (same.status, same.passed, same.diff_pixels, same.diff_ratio) == ("unchanged", True, 0, 0.0)
    assert (same.width, same.height, same.baseline_size, same.current_size) == (64, 48, (64, 48), (64, 48))
    assert same.ssim == 1.0 and same.clusters == () and same.shift is None and same.error is None
    # diff="changes" draws diff images only for pairs that are not unchanged.
    assert qt.compare(png(base), png(base), diff="changes").diff_png is None
    assert qt.compare(png(base), png(base), diff=True).diff_png[:4] == b"\x89PNG"
    assert qt.compare(base, changed(base), diff="changes").diff_png == qt.compare(base, changed(base), diff=True).diff_png
    with pytest.raises(TypeError, match="diff"):
        qt.compare(base, base, diff="yes")

    r = qt.compare(base, changed(base))
    assert r.status == "changed" and not r.passed
    assert r.diff_pixels == quillfen.Comparison(png(base), png(changed(base))).diff_count()
    assert r.diff_ratio == r.diff_pixels / (64 * 48)
    assert r.ssim < 1.0
    # One cluster around the changed block (grown by the clustering's 4-pixel dilation); its pixels are the
    # block's own, which add up to the pair's count.
    (box,) = r.clusters
    assert (box.x, box.y, box.width, box.height, box.pixels) == (6, 8, 14, 12, 6 * 4)
    assert box.pixels == r.diff_pixels


def test_tolerances_decide_passed():
    base = page(64, 48)
    cur = changed(base)  # 24 pixels
    assert qt.compare(base, cur, max_diff_pixels=24).passed
    assert not qt.compare(base, cur, max_diff_pixels=23).passed
    # Both limits must hold when both are given.
    assert qt.compare(base, cur, max_diff_pixels=100, max_diff_ratio=24 / (64 * 48)).passed
    assert not qt.compare(base, cur, max_diff_pixels=100, max_diff_ratio=23 / (64 * 48)).passed
    # Below the threshold nothing counts: a faint change is unchanged.
    faint = base.copy()
    faint[5, 5, :3] = (248, 250, 250)
    assert qt.compare(base, faint).status == "unchanged"
    assert qt.compare(base, faint, threshold=0.0).status == "changed"


def test_shifted_pairs():
    base = page(40, 60, seed=3)
    cur = shifted_down(base, 5)
    r = qt.compare(base, cur, diff=True)
    assert r.status == "shifted" and r.diff_pixels > 0
    assert not r.passed  # the pixels differ and there is no tolerance
    # Five rows came in at the top and five were pushed out of the capture at the bottom.
    assert r.shift == qt.Shift(bands=(qt.ShiftBand("inserted", 0, 5, 0, 40),
                                      qt.ShiftBand("deleted", 60, 5, 0, 40, at_edge=True)))
    assert r.clusters == ()
    assert r.ssim == 1.0  # over the matched rows only
    c = quillfen.Comparison(png(base), png(cur))
    assert r.diff_png == c.aligned_diff_image(c.row_alignment())
    assert qt.compare(base, cur, allow_shift=True).passed

    # Rows inserted without anything falling off: the heights differ, and it is still a shift.
    taller = np.concatenate([base[:20], shifted_down(base[20:], 4)[:4], base[20:]])
    r = qt.compare(base, taller, allow_shift=True)
    assert (r.status, r.passed, r.current_size) == ("shifted", True, (40, 64))
    assert r.shift.bands == (qt.ShiftBand("inserted", 20, 4, 0, 40),)

    # A shift plus a real change elsewhere is a change; the shift is reported beside it, and what is counted
    # is the change alone (6 x 4 pixels), once the shift is taken out.
    r = qt.compare(base, changed(cur, y=40), allow_shift=True)
    assert r.status == "changed" and not r.passed
    assert r.shift is not None and r.shift.bands[0] == qt.ShiftBand("inserted", 0, 5, 0, 40)
    assert (r.diff_pixels, r.diff_ratio) == (24, 24 / (40 * 60))
    assert len(r.clusters) == 1 and (r.clusters[0].x, r.clusters[0].y) == (10 - 4, 40 - 4)


def test_size_changed_pairs():
    base = page(40, 30)
    wider = np.concatenate([base, page(8, 30, seed=9)], axis=1)
    r = qt.compare(base, wider, max_diff_pixels=10**6)
    assert (r.status, r.passed) == ("size-changed", False)
    assert (r.width, r.height, r.baseline_size, r.current_size) == (48, 30, (40, 30), (48, 30))
    assert r.clusters and r.shift is None


def test_ignored_regions_never_count():
    base = page(64, 48)
    cur = changed(changed(base), x=40, y=30)
    assert qt.compare(base, cur, ignore=[(10, 12, 6, 4), (38, 28, 10, 10)]).status == "unchanged"
    partly = qt.compare(base, cur, ignore=[(10, 12, 6, 4)])
    assert partly.status == "changed" and partly.diff_pixels == 24
    mask = np.zeros((48, 64), dtype=bool)
    mask[12:16, 10:16] = True
    assert qt.compare(png(base), png(cur), ignore=mask).diff_pixels == 24
    assert qt.compare(base, cur, ignore=mask.astype(np.uint8)).diff_pixels == 24
    # Rectangles reaching past the image are clipped.
    assert qt.compare(base, cur, ignore=[(0, 0, 10**6, 10**6)]).status == "unchanged"

    # The diff image shows the ignored region hatched, never as changes, the rest as unchanged (grey) pixels.
    plain = np.asarray(Image.open(io.BytesIO(qt.compare(base, base, diff=True).diff_png)))
    shown = np.asarray(Image.open(io.BytesIO(
        qt.compare(base, changed(base), diff=True, ignore=[(10, 12, 6, 4)]).diff_png)))
    outside = np.ones((48, 64), bool)
    outside[12:16, 10:16] = False
    assert np.array_equal(shown[outside], plain[outside])
    assert not np.all(shown[12:16, 10:16] == (255, 0, 0), axis=-1).any()

    # Ignoring leaves the caller's images alone, and the current thumbnail shows the image as given.
    before = cur.copy()
    r = qt.compare(base, cur, ignore=[(0, 0, 64, 48)], thumbnails=32)
    assert np.array_equal(cur, before)
    assert r.current_thumbnail == quillfen.Comparison(png(cur), png(cur)).current_thumbnail(width=32)

    with pytest.raises(ValueError, match=r"ignore mask is 10x48 .* canvas is 64x48"):
        qt.compare(base, cur, ignore=np.zeros((48, 10), dtype=bool))
    with pytest.raises(ValueError, match=r"shape \(48, 64, 2\) and dtype uint8"):
        qt.compare(base, cur, ignore=np.zeros((48, 64, 2), dtype=np.uint8))
    with pytest.raises(ValueError, match="rectangles"):
        qt.compare(base, cur, ignore=[(1, 2, 3)])


def test_diff_image_and_thumbnails():
    base = page(64, 48)
    cur = changed(base)
    r = qt.compare(base, cur, diff=True, thumbnails=16)
    c = quillfen.Comparison(png(base), png(cur))
    assert r.diff_png == c.diff_image()
    assert r.baseline_thumbnail == c.baseline_thumbnail(width=16)
    assert r.current_thumbnail[:4] == b"RIFF" and r.current_thumbnail[8:12] == b"WEBP"
    bare = qt.compare(base, cur)
    assert bare.diff_png is bare.baseline_thumbnail is bare.current_thumbnail is None

    # A page taller than WebP allows gets a preview cropped at the top, with and without ignored regions.
    tall = np.zeros((17000, 2, 4), np.uint8)
    for ignore in (None, [(0, 0, 1, 1)]):
        r = qt.compare(tall, tall, thumbnails=100, ignore=ignore)
        for thumb in (r.baseline_thumbnail, r.current_thumbnail):
            assert Image.open(io.BytesIO(thumb)).size == (2, 16383)

    # An empty canvas compares as unchanged and has no pictures.
    empty = np.zeros((0, 5, 4), np.uint8)
    r = qt.compare(empty, empty, diff=True, thumbnails=10)
    assert (r.status, r.diff_ratio, r.width, r.height) == ("unchanged", 0.0, 5, 0)
    assert r.diff_png is r.baseline_thumbnail is r.current_thumbnail is None
    r = qt.compare(page(5, 3), empty, diff=True, thumbnails=10)
    assert r.status == "size-changed" and r.current_thumbnail is None and r.baseline_thumbnail is not None


def test_options_are_checked():
    base = png(page(8, 8))
    for bad, error in [
        (dict(threshold=1.5), ValueError), (dict(threshold="0.1"), TypeError), (dict(max_diff_pixels=-1), ValueError),
        (dict(max_diff_ratio=2), ValueError), (dict(include_aa=1), TypeError), (dict(thumbnails=0), ValueError),
        (dict(allow_shift=None), TypeError),
    ]:
        with pytest.raises(error):
            qt.compare(base, base, **bad)


def test_results_are_plain_records():
    base = page(40, 60, seed=3)
    r = qt.compare(base, shifted_down(base, 5), diff=True, name="home")
    assert pickle.loads(pickle.dumps(r)) == r
    assert r == qt.compare(base, shifted_down(base, 5), diff=True, name="home")
    with pytest.raises(AttributeError):
        r.status = "unchanged"
    d = r.to_dict()
    assert json.loads(json.dumps(d)) == d
    assert d["name"] == "home" and d["status"] == "shifted" and "diff_png" not in d
    assert d["shift"]["bands"] == [{"kind": "inserted", "y": 0, "rows": 5, "x0": 0, "x1": 40, "at_edge": False,
                                    "element": None},
                                   {"kind": "deleted", "y": 60, "rows": 5, "x0": 0, "x1": 40, "at_edge": True,
                                    "element": None}]
    assert d["baseline_size"] == [40, 60]
    # Decoded images have no path and no file hash; the record reads back as the same result.
    assert (d["baseline_path"], d["current_sha256"], d["diff"]) == (None, None, None)
    assert qt.Result.from_dict(d) == dataclasses.replace(r, diff_png=None)
    d = qt.compare(base, changed(base)).to_dict()
    assert d["clusters"] == [{"x": 6, "y": 8, "width": 14, "height": 12, "pixels": 24, "kind": "content",
                              "element": None, "dx": None, "dy": None}] and d["shift"] is None
    assert "<" in repr(r) and "bytes>" in repr(r)  # image bytes are summarised, not dumped
