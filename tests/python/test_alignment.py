import io
import threading

import pytest
from hypothesis import given, settings, strategies as st

import quillfen
from conftest import np, Image

WIDTH = 6
BLANK = (255, 255, 255, 255)


def letter_color(ch):
    code = ord(ch)
    return ((code * 37) % 256, (code * 11) % 256, code % 256, 255)


def page(rows, width=WIDTH):
    """One image row per letter: each letter a distinct row content, '-' a repeated blank row."""
    a = np.empty((len(rows), width, 4), dtype=np.uint8)
    for y, ch in enumerate(rows):
        a[y, :] = BLANK if ch == "-" else letter_color(ch)
        if ch != "-":
            a[y, 0] = (0, 0, 0, 255)  # some structure inside the row
    return a


def comparison(baseline, current):
    if isinstance(baseline, str):
        baseline, current = page(baseline), page(current)
    return quillfen.Comparison.from_rgba(
        baseline.tobytes(), baseline.shape[1], baseline.shape[0], current.tobytes(), current.shape[1], current.shape[0]
    )


def segments(r):
    return [(s.kind, s.baseline_start, s.current_start, s.len) for s in r.segments]


def bands(r):
    return [(b.kind, b.y, b.rows) for b in r.bands]


def decode(png):
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))


def faded(rgba, alpha=0.1):
    """The faded grey of unchanged pixels, in the same order of operations."""
    f = rgba.astype(np.float64)
    y = f[..., 0] * 0.29889531 + f[..., 1] * 0.58662247 + f[..., 2] * 0.11448223
    v = 255 + (f[..., 3] / 255) * ((y - 255) * alpha)
    return np.clip(v, 0, 255).astype(np.uint8)


@pytest.mark.parametrize(
    "baseline, current, expected_segments, expected_bands",
    [
        ("P---", "PQ--", [("equal", 0, 0, 1), ("replace", 1, 1, 1), ("equal", 2, 2, 2)], []),
        ("abcd", "aXbcd", [("equal", 0, 0, 1), ("insert", 1, 1, 1), ("equal", 1, 2, 3)], [("inserted", 1, 1)]),
        ("abcd", "abd", [("equal", 0, 0, 2), ("delete", 2, 2, 1), ("equal", 3, 2, 1)], [("deleted", 2, 1)]),
        ("AB", "BA", [("delete", 0, 0, 1), ("equal", 1, 0, 1), ("insert", 2, 1, 1)], [("deleted", 0, 1), ("inserted", 1, 1)]),
        ("abcd", "abcd", [("equal", 0, 0, 4)], []),
    ],
)
def test_letter_examples(baseline, current, expected_segments, expected_bands):
    r = comparison(baseline, current).row_alignment(max_edit_ratio=1.0)
    assert r.aligned
    assert segments(r) == expected_segments
    assert bands(r) == expected_bands


def test_counts_and_reprs():
    r = comparison("a--Xb", "aQ--b").row_alignment(max_edit_ratio=1.0)
    assert (r.edit_distance, r.inserted_rows, r.deleted_rows, r.changed_rows) == (2, 1, 1, 0)
    c = comparison("XY", "PQ")
    r = c.row_alignment(max_edit_ratio=1.0)
    assert (r.edit_distance, r.changed_rows) == (4, 2)
    assert r.residual_count == c.diff_count() > 0  # the window is the whole image here
    assert repr(r) == f"RowAlignment(edit_distance=4, inserted_rows=0, deleted_rows=0, changed_rows=2, residual_count={r.residual_count})"
    assert repr(r.segments[0]) == "RowSegment(kind=replace, baseline_start=0, current_start=0, len=2)"
    r = comparison("abcdefgh", "abcdeXYZfgh").row_alignment()
    assert repr(r.bands[0]) == "ShiftBand(kind=inserted, y=5, rows=3)"
    r = comparison("abcd", "abcd").row_alignment()
    assert repr(r) == "RowAlignment(edit_distance=0, inserted_rows=0, deleted_rows=0, changed_rows=0, residual_count=0)"


@settings(max_examples=60, deadline=None)
@given(st.text("ab-c", max_size=12), st.text("ab-d", max_size=12))
def test_invariants(baseline, current):
    r = comparison(baseline, current).row_alignment(max_edit_ratio=1.0)
    assert r.aligned
    assert r.edit_distance == r.inserted_rows + r.deleted_rows + 2 * r.changed_rows
    assert sum(s.len for s in r.segments if s.kind != "insert") == len(baseline)
    assert sum(s.len for s in r.segments if s.kind != "delete") == len(current)


def test_result_objects_are_read_only_values():
    r = comparison("abcd", "aXbcd").row_alignment()
    assert r.segments is not r.segments
    assert r.segments[0] is r.segments[0] and r.bands[0] is r.bands[0]
    r.segments.clear()
    assert len(r.segments) == 3
    with pytest.raises(AttributeError):
        r.aligned = True
    with pytest.raises(AttributeError):
        r.segments[0].len = 7
    for cls in (quillfen.RowAlignment, quillfen.RowSegment, quillfen.ShiftBand):
        with pytest.raises(TypeError, match=f"No constructor defined for {cls.__name__}"):
            cls()
        assert cls.__module__ == "builtins"
    band = r.bands[0]
    del r
    assert (band.kind, band.y, band.rows) == ("inserted", 1, 1)  # outlives its alignment


def test_budget_and_empty_images():
    empty = np.zeros((0, WIDTH, 4), dtype=np.uint8)
    c = comparison(empty, page("abcde"))
    assert not c.row_alignment().aligned  # budget min(2048, ceil(1.25), 5) = 2 < 5
    r = c.row_alignment(max_edit_ratio=1.0)
    assert segments(r) == [("insert", 0, 0, 5)]
    zero_width = np.zeros((3, 0, 4), dtype=np.uint8)
    r = comparison(zero_width, np.zeros((5, 0, 4), dtype=np.uint8)).row_alignment(max_edit_ratio=0.0)
    assert r.aligned and r.segments == [] and r.edit_distance == 0
    # A pair that needs exactly six edits aligns with six and not with five.
    c = comparison("abcXYZdef", "abcPQRdef")
    assert c.row_alignment(max_edit_ratio=1.0, max_edit_rows=6).aligned
    assert not c.row_alignment(max_edit_ratio=1.0, max_edit_rows=5).aligned
    assert comparison("abc", "abc").row_alignment(max_edit_rows=0).aligned


def test_unaligned_results():
    c = comparison(page("abcd", width=6), page("abcd", width=5))
    r = c.row_alignment(max_edit_ratio=1.0, max_edit_rows=10**6)
    assert not r.aligned
    assert repr(r) == "RowAlignment(aligned=False)"
    assert (r.edit_distance, r.inserted_rows, r.deleted_rows, r.changed_rows, r.residual_count) == (0, 0, 0, 0, 0)
    assert r.segments == [] and r.bands == []
    for call in (c.aligned_ssim, c.aligned_diff_image, c.aligned_clusters):
        with pytest.raises(ValueError, match="^images could not be row-aligned$"):
            call(r)
    budget = comparison("abc", "xyz")
    with pytest.raises(ValueError, match="^images could not be row-aligned$"):
        budget.aligned_ssim(budget.row_alignment())  # even on the Comparison that made it


def test_argument_errors():
    c = comparison("ab", "ab")
    with pytest.raises(ValueError, match=r"^threshold must be in the range \[0\.0, 1\.0\]$"):
        c.row_alignment(threshold=float("nan"), max_edit_ratio=2.0)
    with pytest.raises(ValueError, match=r"^max_edit_ratio must be in the range \[0\.0, 1\.0\]$"):
        c.row_alignment(max_edit_ratio=float("inf"))
    with pytest.raises(TypeError, match="^argument 'include_aa': "):
        c.row_alignment(max_edit_ratio=5.0, include_aa=1)
    with pytest.raises(OverflowError):
        c.row_alignment(max_edit_rows=-1)
    with pytest.raises(TypeError, match="^argument 'alignment': "):
        c.aligned_ssim(None)
    with pytest.raises(TypeError, match="^argument 'alignment': "):
        c.aligned_diff_image(c, threshold=5.0)  # the type is checked before the range
    with pytest.raises(ValueError, match="^alpha must be in the range"):
        c.aligned_diff_image(c.row_alignment(), alpha=-1.0)


def test_alignment_belongs_to_its_images():
    r = comparison("abcd", "abXcd").row_alignment()
    assert comparison("abcd", "abXcd").aligned_ssim(r) == 1.0  # same images, another Comparison
    for other in (comparison("abce", "abXcd"), comparison("abcd", "abXc"), comparison("abcd", "abXce")):
        with pytest.raises(ValueError, match="^alignment does not belong to this image pair$"):
            other.aligned_diff_image(r)


def test_inserted_banner_is_a_shift_not_a_change():
    baseline, current = page("abcdefgh"), page("XYabcdefgh")
    c = comparison(baseline, current)
    r = c.row_alignment()
    assert bands(r) == [("inserted", 0, 2)]
    image = decode(c.aligned_diff_image(r, diff_color=(0, 0, 255)))
    assert image.shape == (10, WIDTH, 3)
    assert (image[:2] == (0, 0, 255)).all()
    grey = faded(current)[2:]
    assert (image[2:] == grey[..., None]).all()
    assert len(c.aligned_clusters(r, min_pixels=1)) == 0
    assert c.aligned_ssim(r) == 1.0
    assert c.diff_count() > 0  # the plain diff sees every shifted row


def test_deleted_bands_use_the_alternative_colour():
    c = comparison("abXcdeY", "abcde")
    r = c.row_alignment(max_edit_ratio=1.0)
    assert bands(r) == [("deleted", 2, 1), ("deleted", 5, 1)]  # the second one at Hc paints nothing
    image = decode(c.aligned_diff_image(r, diff_color_alt=(0, 255, 0)))
    assert (image[2] == (0, 255, 0)).all()
    others = [0, 1, 3, 4]
    assert (image[others] == faded(page("abcde"))[others][..., None]).all()
    image = decode(c.aligned_diff_image(r))
    assert (image[2] == (255, 0, 0)).all()


def test_changed_rows_are_drawn_and_clustered():
    baseline, current = page("ab----cd"), page("ab----cd")
    current[3, 2:5] = (10, 200, 10, 255)  # a real change inside a blank row
    c = comparison(baseline, current)
    r = c.row_alignment()
    assert segments(r) == [("equal", 0, 0, 3), ("replace", 3, 3, 1), ("equal", 4, 4, 2), ("equal", 6, 6, 2)]
    assert r.residual_count == 3 and r.bands == []
    image = decode(c.aligned_diff_image(r))
    assert (image[3, 2:5] == (255, 0, 0)).all()
    expected = np.repeat(faded(current)[..., None], 3, axis=2)
    expected[3, 2:5] = (255, 0, 0)
    assert (image == expected).all()
    result = c.aligned_clusters(r, min_pixels=1, dilation=0)
    assert len(result) == 1
    # Matching is exact, the residual count follows the threshold.
    faint = baseline.copy()
    faint[5, :, 2] ^= 1
    r = comparison(baseline, faint).row_alignment(threshold=1.0)
    assert r.changed_rows == 1 and r.residual_count == 0
    assert comparison(baseline, faint).aligned_ssim(r) < 1.0


def test_resolved_group_is_drawn_as_one_changed_block():
    # An insertion and a deletion apart only by blank rows, sharing no content: segments report the shift, the
    # outputs draw rows 1-3 as changed, through a window that here is the whole image.
    c = comparison("a--Xb", "aQ--b")
    r = c.row_alignment()
    assert r.bands == [] and r.inserted_rows == 1
    assert c.aligned_diff_image(r) == c.diff_image()
    aligned, plain = c.aligned_clusters(r, min_pixels=1), c.clusters(min_pixels=1)
    assert [repr(x) for x in aligned.clusters] == [repr(x) for x in plain.clusters] != []


def test_gathered_ssim_skips_unmatched_rows():
    assert comparison("abc", "xyz").aligned_ssim(comparison("abc", "xyz").row_alignment(max_edit_ratio=1.0)) < 1.0
    c = comparison("ab", "")
    assert c.aligned_ssim(c.row_alignment(max_edit_ratio=1.0)) == 1.0  # nothing matched


def test_concurrent_aligned_calls_share_one_fingerprint():
    baseline = np.random.default_rng(3).integers(0, 256, (300, 64, 4), dtype=np.uint8)
    current = np.concatenate([baseline[:100], baseline[:5], baseline[100:]])
    c = comparison(baseline, current)
    r = comparison(baseline, current).row_alignment()  # does not seed c
    results, errors = [], []

    def work():
        try:
            results.append(c.aligned_ssim(r))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and results == [1.0] * 12
    assert c.row_alignment().edit_distance == 5
