import io
import math
import threading

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Image, np, png_bytes
from quillfen import Comparison

THRESHOLD_MESSAGE = r"^threshold must be in the range \[0\.0, 1\.0\]$"
ALPHA_MESSAGE = r"^alpha must be in the range \[0\.0, 1\.0\]$"


def pair(baseline, current):
    baseline = np.ascontiguousarray(baseline, dtype=np.uint8)
    current = np.ascontiguousarray(current, dtype=np.uint8)
    return Comparison.from_rgba(baseline.tobytes(), baseline.shape[1], baseline.shape[0],
                                current.tobytes(), current.shape[1], current.shape[0])


def solid(w, h, colour):
    a = np.empty((h, w, 4), dtype=np.uint8)
    a[:, :] = colour
    return a


def pixels(png):
    return np.asarray(Image.open(io.BytesIO(png)))


def edge(w, h, at):
    """Black columns before `at`, one grey column at `at`, white after it."""
    a = solid(w, h, (255, 255, 255, 255))
    a[:, :at, :3] = 0
    a[:, at, :3] = 128
    return a


BLACK, WHITE = solid(1, 1, (0, 0, 0, 255)), solid(1, 1, (255, 255, 255, 255))


def test_black_against_white_up_to_the_threshold_limit():
    c = pair(BLACK, WHITE)
    assert c.diff_count() == 1
    assert c.diff_count(0.9659) == 1
    assert c.diff_count(0.966) == 0
    assert c.diff_count(threshold=1) == 0
    assert c.diff_count(threshold=-0.0) == 1


def test_alpha_changes_are_compared_over_the_background():
    opaque, clear = solid(2, 1, (0, 0, 0, 255)), solid(2, 1, (0, 0, 0, 0))
    c = pair(opaque, clear)
    assert c.diff_count() == 2
    # 1164.2 at pixel 0 and 3476.4 at pixel 1, against the limit 35215 × t²
    assert c.diff_count(threshold=math.sqrt(1164.0 / 35215)) == 2
    assert c.diff_count(threshold=math.sqrt(1165.0 / 35215)) == 1
    assert c.diff_count(threshold=math.sqrt(3477.0 / 35215)) == 0


def test_exact_mode_counts_every_byte_difference():
    a = solid(4, 1, (10, 20, 30, 0))
    b = a.copy()
    b[0, 0, :3] = (200, 100, 0)  # fully transparent in both: no colour difference
    c = pair(a, b)
    assert c.diff_count(threshold=0.0) == 1
    assert c.diff_count(threshold=0.0, include_aa=True) == 0
    assert c.diff_count() == 0
    assert pair(a, a).diff_count(threshold=0.0) == 0


def test_moved_anti_aliased_edge():
    c = pair(edge(12, 8, 5), edge(12, 8, 6))
    assert c.diff_count() == 0
    assert c.diff_count(include_aa=True) == 16
    assert c.diff_count(threshold=0.0) == 16
    img = pixels(c.diff_image())
    assert (img[:, 5:7] == (255, 255, 0)).all()
    assert (pixels(c.diff_image(include_aa=True))[:, 5:7] == (255, 0, 0)).all()
    # A real line drawn into white is different.
    line = solid(9, 9, (255, 255, 255, 255))
    line[:, 4, :3] = 0
    assert pair(solid(9, 9, (255, 255, 255, 255)), line).diff_count() == 9


def test_diff_image_colours_and_grey():
    base = solid(3, 2, (128, 128, 128, 255))
    base[1] = (0, 0, 0, 255)
    cur = base.copy()
    cur[0, 0, :3] = 0    # darker
    cur[0, 1, :3] = 255  # brighter
    c = pair(base, cur)
    img = pixels(c.diff_image())
    assert img.shape == (2, 3, 3)
    assert img[0, 0].tolist() == [255, 0, 0] and img[0, 1].tolist() == [255, 0, 0]
    assert img[0, 2].tolist() == [242, 242, 242]
    assert img[1, 0].tolist() == [229, 229, 229]  # opaque black at alpha 0.1
    alt = pixels(c.diff_image(diff_color=(1, 2, 3), diff_color_alt=(4, 5, 6)))
    assert alt[0, 0].tolist() == [4, 5, 6] and alt[0, 1].tolist() == [1, 2, 3]
    assert (pixels(c.diff_image(diff_color_alt=None)) == img).all()
    assert (pixels(c.diff_image(alpha=0.0))[1] == 255).all()
    assert pixels(c.diff_image(alpha=1.0))[1, 0].tolist() == [0, 0, 0]
    # The grey comes from the baseline even where the current pixel differs slightly.
    slight = base.copy()
    slight[1, 0, :3] = 3
    assert pixels(pair(base, slight).diff_image())[1, 0].tolist() == [229, 229, 229]
    # Transparent pixels fade to white.
    clear = solid(2, 2, (0, 0, 0, 0))
    assert (pixels(pair(clear, clear).diff_image()) == 255).all()


def test_capped_count():
    base = solid(10, 10, (255, 255, 255, 255))
    cur = base.copy()
    cur.reshape(-1, 4)[::3, :3] = 0  # 34 pixels
    c = pair(base, cur)
    assert c.diff_count_capped(0) == 0
    assert c.diff_count_capped(1, threshold=0.0) == 1
    assert c.diff_count_capped(10, 0.0) == 10
    assert c.diff_count_capped(1000) == 34
    assert 5 <= c.diff_count_capped(max_diffs=5) <= 8  # the row where the cap was reached counts whole
    with pytest.raises(ValueError, match=THRESHOLD_MESSAGE):
        c.diff_count_capped(0, threshold=2.0)
    with pytest.raises(TypeError, match="missing required argument 'max_diffs'"):
        c.diff_count_capped()
    with pytest.raises(OverflowError):
        c.diff_count_capped(-1)
    with pytest.raises(TypeError, match="^argument 'max_diffs': "):
        c.diff_count_capped(1.5)


C = pair(BLACK, WHITE)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: C.diff_count(float("nan")), ValueError, THRESHOLD_MESSAGE),
    (lambda: C.diff_count(1.5), ValueError, THRESHOLD_MESSAGE),
    (lambda: C.diff_count("0.1"), TypeError, "^argument 'threshold': "),
    (lambda: C.diff_count(include_aa=1), TypeError, "^argument 'include_aa': "),
    (lambda: C.diff_count(include_aa=None), TypeError, "^argument 'include_aa': "),
    (lambda: C.diff_count(0.1, False, 3), TypeError, "at most 2 arguments"),
    (lambda: C.diff_count(0.1, threshold=0.2), TypeError, "given by name"),
    (lambda: C.diff_count(limit=3), TypeError, "unexpected keyword argument 'limit'"),
    (lambda: C.diff_image(threshold=2.0, alpha=2.0), ValueError, THRESHOLD_MESSAGE),
    (lambda: C.diff_image(alpha=-0.1), ValueError, ALPHA_MESSAGE),
    (lambda: C.diff_image(alpha=float("nan")), ValueError, ALPHA_MESSAGE),
    (lambda: C.diff_image(diff_color=[255, 0, 0]), TypeError, "^argument 'diff_color': "),
    (lambda: C.diff_image(diff_color=(255, 0)), ValueError,
     "^expected tuple of length 3, but got tuple of length 2$"),
    (lambda: C.diff_image(aa_color=(256, 0, 0)), OverflowError, None),
    (lambda: C.diff_image(aa_color=(-1, 0, 0)), OverflowError, None),
    (lambda: C.diff_image(diff_color_alt=(1.0, 0, 0)), TypeError, "^argument 'diff_color_alt': "),
    # A type error later in the list is reported before a range error earlier in it.
    (lambda: C.diff_image(threshold=2.0, diff_color_alt=[1, 2, 3]), TypeError, "^argument 'diff_color_alt': "),
    (lambda: C.diff_count(2.0, include_aa=1), TypeError, "^argument 'include_aa': "),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_accepted_argument_forms():
    assert C.diff_count(1) == 0  # an int threshold
    assert C.diff_count(np.float64(0.1), np.bool_(False)) == 1
    assert C.diff_image(diff_color=(255, 0, 0), include_aa=True) == C.diff_image()
    assert C.diff_image(0.1, 0.1, False, (255, 0, 0), (255, 255, 0), None) == C.diff_image()

    class Colour(tuple):
        pass
    assert C.diff_image(diff_color=Colour((255, 0, 0))) == C.diff_image()


def test_docstrings():
    assert Comparison.diff_count.__doc__.endswith("Count differing pixels.")
    assert Comparison.diff_count_capped.__text_signature__ == "($self, max_diffs, threshold=0.1, include_aa=False)"
    assert Comparison.diff_image.__doc__.endswith("Generate the diff image as PNG bytes.")


def screenshot_pair(w=700, h=400):
    """Large enough for the parallel paths: blocks of 'text', an edge that moved, a changed button."""
    rng = np.random.default_rng(11)
    base = solid(w, h, (250, 250, 250, 255))
    for _ in range(300):
        x, y = rng.integers(0, w - 30), rng.integers(0, h - 12)
        base[y:y + rng.integers(3, 10), x:x + rng.integers(3, 25), :3] = rng.integers(0, 120)
    cur = base.copy()
    cur[h // 8:h // 4, w // 7:w // 2, :3] = (40, 90, 200)
    x = w // 2
    cur[h // 2:, x, :3] = 128
    cur[h // 2:, x + 1:, :3] = base[h // 2:, x:-1, :3]
    return base, cur


def test_many_threads_share_one_comparison():
    c = pair(*screenshot_pair())
    expected = (c.diff_count(), c.diff_count(0.0), c.diff_count_capped(10**9, 0.05, True), c.diff_image())
    assert expected[0] > 1000
    errors = []

    def work():
        try:
            for _ in range(5):
                got = (c.diff_count(), c.diff_count(0.0), c.diff_count_capped(10**9, 0.05, True), c.diff_image())
                assert got == expected
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_from_png_and_from_rgba_agree():
    base, cur = screenshot_pair(300, 200)
    a = pair(base, cur)
    b = Comparison(png_bytes(base, "RGBA"), png_bytes(cur, "RGBA"))
    assert a.diff_count() == b.diff_count() and a.diff_image() == b.diff_image()


small_images = st.tuples(st.integers(1, 12), st.integers(1, 12), st.integers(0, 2**32 - 1)).map(
    lambda t: (t[0], t[1], np.random.default_rng(t[2])))


def random_pair(w, h, rng):
    # Few distinct colours, so that flat areas and siblings occur; some transparency.
    palette = rng.integers(0, 256, (4, 4), dtype=np.uint8)
    palette[:3, 3] = 255
    base = palette[rng.integers(0, 4, (h, w))]
    cur = base.copy()
    flip = rng.random((h, w)) < 0.3
    cur[flip] = palette[rng.integers(0, 4, int(flip.sum()))]
    return base, cur


@settings(max_examples=150, deadline=None)
@given(small_images, st.sampled_from([0.0, 0.05, 0.1, 0.3]), st.booleans(), st.integers(1, 40))
def test_counts_images_and_caps_agree(image, threshold, include_aa, cap):
    base, cur = random_pair(*image)
    c = pair(base, cur)
    full = c.diff_count(threshold, include_aa)
    img = pixels(c.diff_image(threshold, include_aa=include_aa, diff_color=(1, 2, 3), aa_color=(4, 5, 6)))
    painted = int((img == (1, 2, 3)).all(axis=2).sum())
    if threshold > 0 or include_aa:
        assert painted == full
    else:
        assert painted <= full  # the diff image has no exact mode
    capped = c.diff_count_capped(cap, threshold, include_aa)
    if capped < cap:
        assert capped == full
    else:
        assert full >= cap and capped <= full
