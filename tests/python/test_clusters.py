import math
from collections import deque

import pytest

import quillfen
from conftest import np, rgba


def marked(width, height, points=(), rects=()):
    """A white baseline and a current image with black pixels at `points` and black `rects` (x, y, w, h)."""
    base = rgba(width, height)
    cur = base.copy()
    for x, y in points:
        cur[y, x, :3] = 0
    for x, y, w, h in rects:
        cur[y : y + h, x : x + w, :3] = 0
    return quillfen.Comparison.from_rgba(base.tobytes(), width, height, cur.tobytes(), width, height)


def boxes_of(clusters):
    return [(c.bbox.x, c.bbox.y, c.bbox.width, c.bbox.height) for c in clusters]


def test_identical_images_have_no_clusters():
    r = marked(30, 30).clusters()
    assert (len(r), r.truncated, r.total_clusters, repr(r)) == (0, False, 0, "ClustersResult(0)")
    assert r.clusters == []


def test_single_pixel_grows_into_its_square_clipped_at_the_edges():
    (c,) = marked(40, 40, points=[(10, 20)]).clusters().clusters
    assert repr(c) == "Cluster(pixel_count=81, centroid=(10.0, 20.0), merged_from=1)"
    assert repr(c.bbox) == "BoundingBox(x=6, y=16, width=9, height=9)"
    assert c.centroid == (10.0, 20.0)
    (corner,) = marked(40, 40, points=[(0, 0)]).clusters().clusters
    assert boxes_of([corner]) == [(0, 0, 5, 5)]
    assert (corner.pixel_count, corner.centroid) == (25, (2.0, 2.0))


@pytest.mark.parametrize("radius", [1, 2, 4])
def test_join_distance_is_twice_the_radius_plus_one(radius):
    near = marked(60, 20, points=[(5, 10), (5 + 2 * radius + 1, 10)])
    far = marked(60, 20, points=[(5, 10), (5 + 2 * radius + 2, 10)])
    assert len(near.clusters(dilation=radius, min_pixels=0)) == 1
    assert len(far.clusters(dilation=radius, min_pixels=0)) == 2


def test_without_dilation_corners_connect_and_lone_pixels_drop():
    c = marked(10, 10, points=[(3, 3), (4, 4)])
    (only,) = c.clusters(dilation=0, min_pixels=0).clusters
    assert only.pixel_count == 2
    assert c.clusters(dilation=0).total_clusters == 0
    for min_pixels in (0, 1):
        assert len(marked(10, 10, points=[(5, 5)]).clusters(dilation=0, min_pixels=min_pixels)) == 1


def test_min_side_needs_both_sides():
    c = marked(80, 80, rects=[(2, 2, 2, 50), (20, 20, 3, 3)])
    assert len(c.clusters(dilation=0, min_pixels=0)) == 2
    assert boxes_of(c.clusters(dilation=0, min_pixels=0, min_side=3).clusters) == [(20, 20, 3, 3)]


def test_largest_first_then_label_order():
    r = marked(200, 60, points=[(10, 10), (150, 10)], rects=[(50, 20, 12, 2)]).clusters()
    assert [c.pixel_count for c in r.clusters] == [200, 81, 81]
    assert [c.centroid[0] for c in r.clusters[1:]] == [10.0, 150.0]


def test_cap_truncates_and_reports_the_total():
    c = marked(200, 20, points=[(10 + 40 * k, 10) for k in range(5)])
    r = c.clusters(max_clusters=2)
    assert (len(r), r.truncated, r.total_clusters, repr(r)) == (2, True, 5, "ClustersResult(2 of 5, truncated)")
    assert repr(c.clusters(max_clusters=5)) == "ClustersResult(5)"
    assert c.clusters(max_clusters=0).truncated


def test_cap_applies_before_merging():
    c = marked(400, 40, points=[(10 + 20 * k, 20) for k in range(10)])
    r = c.clusters(max_clusters=3, merge_gap=20)
    (merged,) = r.clusters
    assert (merged.merged_from, merged.pixel_count, r.truncated, r.total_clusters) == (3, 243, True, 10)
    assert merged.centroid == (30.0, 20.0)


@pytest.mark.parametrize(
    "shift,gap,count",
    [(0, 5, 1), (0, 4, 2), (6, 5, 2)],
)
def test_boxes_above_each_other_merge_within_the_gap(shift, gap, count):
    # 9 x 9 boxes (rows 6..14 and 20..28): five empty rows between them.
    c = marked(60, 40, points=[(20, 10), (20 + shift, 24)])
    assert len(c.clusters(merge_gap=gap)) == count


def test_overlapping_boxes_merge_only_when_merging_is_on():
    # An L-shaped component whose box contains a separate dot.
    c = marked(40, 40, rects=[(0, 0, 30, 1), (0, 1, 1, 29), (15, 15, 1, 1)])
    assert len(c.clusters(dilation=0, min_pixels=0)) == 2
    (m,) = c.clusters(dilation=0, min_pixels=0, merge_gap=1).clusters
    assert (m.pixel_count, m.merged_from) == (60, 2)
    part = c.clusters(dilation=0, min_pixels=0).clusters
    expected_x = (part[0].centroid[0] * 59 + 15.0 * 1) / 60
    assert m.centroid[0] == expected_x
    assert repr(m) == f"Cluster(pixel_count=60, centroid=({expected_x:.1f}, {m.centroid[1]:.1f}), merged_from=2)"


@pytest.mark.parametrize(
    "points,text",
    [
        ([(5, 5), (5, 6), (5, 7), (6, 7)], "centroid=(5.2, 6.2)"),  # exact ties go to the even digit
        ([(5, 5), (6, 5), (6, 6), (6, 7)], "centroid=(5.8, 5.8)"),
    ],
)
def test_centroid_repr_rounds_half_to_even(points, text):
    (c,) = marked(20, 20, points=points).clusters(dilation=0, min_pixels=0).clusters
    assert text in repr(c)


def test_objects_are_shared_or_fresh_as_documented():
    r = marked(40, 40, points=[(10, 10), (30, 30)]).clusters()
    first, second = r.clusters, r.clusters
    assert first is not second and first == second
    assert all(a is b for a, b in zip(first, second))
    c = first[0]
    assert c.bbox is c.bbox
    assert c.centroid is not c.centroid
    first.clear()
    assert len(r) == 2 and len(r.clusters) == 2


def test_results_are_read_only():
    r = marked(30, 30, points=[(10, 10)]).clusters()
    c = r.clusters[0]
    for target, name in [(r, "truncated"), (r, "clusters"), (c, "bbox"), (c, "centroid"), (c.bbox, "x")]:
        with pytest.raises(AttributeError):
            setattr(target, name, 1)
        with pytest.raises(AttributeError):
            target.extra = 1


@pytest.mark.parametrize("cls", ["ClustersResult", "Cluster", "BoundingBox"])
def test_result_classes_have_no_constructor(cls):
    t = getattr(quillfen, cls)
    assert (t.__module__, t.__name__, t.__doc__) == ("builtins", cls, None)
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls}$"):
        t()
    with pytest.raises(TypeError):
        type("Sub", (t,), {})


def test_only_threshold_is_range_checked_and_conversion_comes_first():
    c = marked(20, 20, points=[(5, 5)])
    for bad in (1.5, -0.1, math.nan):
        with pytest.raises(ValueError, match=r"^threshold must be in the range \[0\.0, 1\.0\]$"):
            c.clusters(threshold=bad)
    with pytest.raises(OverflowError):
        c.clusters(threshold=2.0, min_pixels=-1)
    with pytest.raises(TypeError, match="^argument 'include_aa'"):
        c.clusters(0.1, 1)
    with pytest.raises(TypeError, match="^argument 'max_clusters'"):
        c.clusters(max_clusters="3")
    for overlap in (-5.0, math.nan, 7.0):
        assert len(c.clusters(merge_overlap=overlap, merge_gap=3)) == 1
    assert len(c.clusters(0.1, False, 16, 0, 4, None, 0, 0.5)) == 1
    assert len(c.clusters(max_clusters=None)) == 1


@pytest.mark.parametrize("size", [(0, 7), (7, 0)])
def test_empty_canvas_gives_an_empty_untruncated_result(size):
    w, h = size
    r = quillfen.Comparison.from_rgba(b"", w, h, b"", w, h).clusters(max_clusters=0)
    assert (repr(r), r.truncated, r.total_clusters) == ("ClustersResult(0)", False, 0)


def reference_components(mask, radius):
    """Square dilation and 8-connected components by breadth-first search: (box, count, centroid) each."""
    h, w = mask.shape
    grown = np.zeros_like(mask)
    for y, x in zip(*np.nonzero(mask)):
        grown[max(0, y - radius) : y + radius + 1, max(0, x - radius) : x + radius + 1] = 1
    seen = np.zeros_like(grown, dtype=bool)
    found = []
    for y0, x0 in zip(*np.nonzero(grown)):
        if seen[y0, x0]:
            continue
        seen[y0, x0] = True
        queue, pixels = deque([(y0, x0)]), []
        while queue:
            y, x = queue.popleft()
            pixels.append((y, x))
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    v, u = y + dy, x + dx
                    if 0 <= v < h and 0 <= u < w and grown[v, u] and not seen[v, u]:
                        seen[v, u] = True
                        queue.append((v, u))
        ys = [p[0] for p in pixels]
        xs = [p[1] for p in pixels]
        box = (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)
        found.append((box, len(pixels), (sum(xs) / len(xs), sum(ys) / len(ys))))
    return sorted(found)


@pytest.mark.parametrize("seed,radius", [(1, 0), (2, 1), (3, 2), (4, 4)])
def test_random_masks_match_a_breadth_first_model(seed, radius):
    rng = np.random.default_rng(seed)
    w, h = 48, 36
    mask = (rng.random((h, w)) < 0.04).astype(np.uint8)
    c = marked(w, h, points=[(x, y) for y, x in zip(*np.nonzero(mask))])
    r = c.clusters(dilation=radius, min_pixels=0)
    got = sorted((box, c.pixel_count, c.centroid) for box, c in zip(boxes_of(r.clusters), r.clusters))
    assert got == reference_components(mask, radius)
    counts = [c.pixel_count for c in r.clusters]
    assert counts == sorted(counts, reverse=True)
