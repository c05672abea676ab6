"""Rendering jitter and ignored pixels in compare(): what a small move explains is counted apart, real edits still
count, jitter=0 gives the engine's plain counts, and pixels inside ignored regions are counted apart."""
import io
import json
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

import quillfen
import quillfen_tools as qt
from pages import page, png

YELLOW = (255, 255, 0)

pytestmark = pytest.mark.jitter_default


def text_page(width=160, height=90, dx=0, seed=3):
    """A white page with lines of dark, soft-edged 'glyphs', all drawn `dx` pixels to the right."""
    rng = np.random.default_rng(seed)
    a = np.full((height, width, 4), 255, np.uint8)
    for y in range(6, height - 10, 12):
        x = 6
        while x < width - 16:
            w = int(rng.integers(2, 6))
            ink = int(rng.integers(20, 90))
            a[y : y + 7, x + dx : x + dx + w, :3] = ink
            a[y : y + 7, x + dx + w, :3] = (ink + 255) // 2
            x += w + int(rng.integers(2, 5))
    return a


def canvas_rgba(result_png):
    return np.asarray(Image.open(io.BytesIO(result_png)).convert("RGB"))


def test_a_page_moved_one_pixel_sideways_is_jitter_and_edits_still_count():
    base = text_page()
    moved = text_page(dx=1)
    plain = quillfen.Comparison(png(base), png(moved)).diff_count()
    assert plain > 100
    r = qt.compare(png(base), png(moved))
    assert (r.status, r.passed, r.diff_pixels, r.jitter_pixels) == ("unchanged", True, 0, plain)
    assert r.clusters == ()
    # Beyond the radius the move counts again.
    far = qt.compare(png(base), png(text_page(dx=3)))
    assert far.status == "changed" and far.diff_pixels > 0
    # A recoloured stretch, an inserted block and a removed line keep nearly all their pixels (only the rim of
    # the stretch, where the old ink and paper sit next to the new colour, can pass as a move), and the clusters
    # cover only what counts.
    edits = {}
    e = base.copy(); e[6:13, 6:40, :3] = (200, 30, 30); edits["recoloured"] = e
    e = base.copy(); e[80:88, 40:90, :3] = (20, 20, 20); edits["inserted"] = e
    e = base.copy(); e[30:37, :, :3] = 255; edits["removed"] = e
    for name, cur in edits.items():
        plain = quillfen.Comparison(png(base), png(cur)).diff_count()
        r = qt.compare(png(base), png(cur))
        assert r.status == "changed" and not r.passed, name
        assert r.diff_pixels >= 0.9 * plain, name
        assert r.diff_pixels + r.jitter_pixels == plain, name
        assert r.clusters and sum(k.pixels for k in r.clusters) >= r.diff_pixels, name


def test_jitter_zero_gives_the_plain_engine_answers():
    for seed in range(4):
        base = page(90, 70, seed)
        cur = base.copy()
        cur[10 + seed : 30, 5:40, :3] = (40 * seed, 200, 90)
        cur[:, 60:] = np.roll(base[:, 60:], 1, axis=1)
        c = quillfen.Comparison(png(base), png(cur))
        r = qt.compare(png(base), png(cur), jitter=0, diff=True)
        assert r.diff_pixels == c.diff_count() and r.jitter_pixels == 0
        assert r.diff_png == c.diff_image()
        k = c.clusters().clusters
        # The same boxes as the engine's (their pixels are each cluster's own, their kinds the verdict's).
        assert [(b.x, b.y, b.width, b.height) for b in r.clusters] == [
            (b.bbox.x, b.bbox.y, b.bbox.width, b.bbox.height) for b in k]
        # The split never loses a pixel: with jitter the same pixels are only shared out differently.
        j = qt.compare(png(base), png(cur), jitter=1)
        assert j.diff_pixels + j.jitter_pixels == r.diff_pixels


def test_jitter_pixels_are_drawn_in_the_antialiasing_colour():
    base, moved = text_page(), text_page(dx=1)
    cur = moved.copy()
    cur[70:80, 100:130, :3] = (0, 0, 255)
    r = qt.compare(png(base), png(cur), diff=True)
    img = canvas_rgba(r.diff_png)
    red = np.all(img == (255, 0, 0), axis=2)
    yellow = np.all(img == YELLOW, axis=2)
    assert red.sum() == r.diff_pixels
    assert yellow.sum() >= r.jitter_pixels > 0
    assert red[:, :95].sum() == 0  # only the inserted block is a change


def test_ignored_pixels_are_counted_apart_and_never_drawn_as_changes():
    base = page(80, 60, 1)
    cur = base.copy()
    cur[5:15, 5:25, :3] = (250, 0, 0)   # inside the ignored rectangle
    cur[40:44, 50:60, :3] = (0, 0, 250)  # outside it
    rect = (0, 0, 30, 20)
    plain_inside = quillfen.Comparison(png(base[:20, :30].copy()), png(cur[:20, :30].copy())).diff_count()
    for jitter in (0, 1):
        r = qt.compare(png(base), png(cur), ignore=[rect], jitter=jitter, diff=True)
        assert r.status == "changed"
        assert r.ignored_pixels == plain_inside > 0
        img = canvas_rgba(r.diff_png)
        region = img[:20, :30]
        assert not np.all(region == (255, 0, 0), axis=2).any()  # drawn as unchanged
        assert np.all(img[40:44, 50:60] == (255, 0, 0), axis=2).any()
        mask = np.zeros((60, 80), bool)
        mask[:20, :30] = True
        m = qt.compare(png(base), png(cur), ignore=mask, jitter=jitter)
        assert (m.ignored_pixels, m.diff_pixels) == (r.ignored_pixels, r.diff_pixels)
    clean = qt.compare(png(base), png(base), ignore=[rect])
    assert (clean.status, clean.ignored_pixels) == ("unchanged", 0)


def test_the_option_and_the_record():
    base, moved = text_page(), text_page(dx=1)
    for bad in (-1, 5):
        with pytest.raises(ValueError, match="jitter"):
            qt.compare(png(base), png(moved), jitter=bad)
    with pytest.raises(TypeError):
        qt.compare(png(base), png(moved), jitter=0.5)
    r = qt.compare(png(base), png(moved))
    d = r.to_dict()
    assert (d["jitter_pixels"], d["ignored_pixels"]) == (r.jitter_pixels, 0)
    assert qt.Result.from_dict(json.loads(json.dumps(d))).jitter_pixels == r.jitter_pixels
    # Every entry point gives the same answer for the same pair.
    many = list(qt.compare_many([(png(base), png(moved))], jitter=0))
    assert many[0].diff_pixels == qt.compare(png(base), png(moved), jitter=0).diff_pixels > 0


def test_the_native_verdict_declares_and_checks_the_option():
    from quillfen_tools import _native
    from quillfen_tools._options import declaration

    native = {d["name"]: d for d in _native.option_table()}["jitter"]
    python = declaration("jitter")
    assert (native["kind"], native["default"], native["min"], native["max"]) == ("int", 1, 0, 4)
    assert (python["kind"], python["default"], python["min"], python["max"]) == ("int", 1, 0, 4)
    base, moved = png(text_page()), png(text_page(dx=1))
    for bad in (-1, 5, 2**70):
        with pytest.raises(ValueError, match="jitter"):
            _native.verdict(base, moved, jitter=bad)
    for bad in (True, 1.0, "1"):
        with pytest.raises(TypeError, match="jitter"):
            _native.verdict(base, moved, jitter=bad)
    assert _native.verdict(base, moved)["diff_pixels"] == 0  # the declared default applies
    # A pane that moved beside a fixed column: the pixels differing at the same place are only shared out
    # differently; once a real change beside it leaves a residual, that is counted as it is, with no jitter.
    page_rgba = text_page(width=160, height=90)
    shifted = page_rgba.copy()
    shifted[20:, 60:] = page_rgba[:-20, 60:]
    plain, split = (_native.verdict(png(page_rgba), png(shifted), jitter=j) for j in (0, 4))
    assert (plain["status"], split["status"]) == ("shifted", "shifted")
    assert split["diff_pixels"] + split["jitter_pixels"] == plain["diff_pixels"] > 0
    shifted[2:5, 2:40, :3] = (0, 0, 255)
    plain, split = (_native.verdict(png(page_rgba), png(shifted), jitter=j) for j in (0, 4))
    assert (plain["status"], split["status"]) == ("changed", "changed")
    if split["shift"] is not None:
        assert (split["diff_pixels"], split["jitter_pixels"]) == (plain["diff_pixels"], 0)


def test_the_command_takes_jitter(tmp_path):
    b, c = tmp_path / "b.png", tmp_path / "c.png"
    b.write_bytes(png(text_page()))
    c.write_bytes(png(text_page(dx=1)))
    run = lambda *a: subprocess.run([sys.executable, "-m", "quillfen_tools", "compare", str(b), str(c), "--json", *a],
                                    capture_output=True, text=True)
    default, zero = run(), run("--jitter", "0")
    assert default.returncode == 0 and json.loads(default.stdout)["status"] == "unchanged"
    assert zero.returncode == 1 and json.loads(zero.stdout)["diff_pixels"] > 0
    assert run("--jitter", "9").returncode == 2
