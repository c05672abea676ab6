"""Every text signature of the surface, against the parameters each entry point really parses and defaults."""
import inspect

import pytest

import quillfen
from conftest import png_bytes, rgba

SIGNATURES = {
    "thumbnail": "thumbnail(png_bytes, width=200, height=None)",
    "diff_batch": "diff_batch(pairs, threshold=0.1, alpha=0.1, include_aa=False, diff_color=..., aa_color=..., "
                  "diff_color_alt=None)",
    "diff_count_batch": "diff_count_batch(pairs, threshold=0.1, include_aa=False)",
    "ssim_batch": "ssim_batch(pairs)",
    "compare_batch": "compare_batch(pairs, threshold=0.1, alpha=0.1, include_aa=False, diff_color=..., "
                     "aa_color=..., diff_color_alt=None, return_diff=False, thumbnail_width=None, "
                     "thumbnail_height=None)",
    "Comparison": "Comparison(baseline_png, current_png)",
    "Comparison.from_rgba": "from_rgba(baseline_rgba, baseline_width, baseline_height, current_rgba, "
                            "current_width, current_height)",
    "Comparison.batch": "batch(pairs)",
    "Comparison.diff_count": "diff_count($self, threshold=0.1, include_aa=False)",
    "Comparison.diff_count_capped": "diff_count_capped($self, max_diffs, threshold=0.1, include_aa=False)",
    "Comparison.ssim": "ssim($self)",
    "Comparison.clusters": "clusters($self, threshold=0.1, include_aa=False, min_pixels=16, min_side=0, "
                           "dilation=4, max_clusters=None, merge_gap=0, merge_overlap=0.5)",
    "Comparison.diff_image": "diff_image($self, threshold=0.1, alpha=0.1, include_aa=False, diff_color=..., "
                             "aa_color=..., diff_color_alt=None)",
    "Comparison.row_alignment": "row_alignment($self, threshold=0.1, include_aa=False, max_edit_ratio=0.25, "
                                "max_edit_rows=2048)",
    "Comparison.aligned_clusters": "aligned_clusters($self, alignment, threshold=0.1, include_aa=False, "
                                   "min_pixels=16, min_side=0, dilation=4, max_clusters=None, merge_gap=0, "
                                   "merge_overlap=0.5)",
    "Comparison.aligned_diff_image": "aligned_diff_image($self, alignment, threshold=0.1, alpha=0.1, "
                                     "include_aa=False, diff_color=..., aa_color=..., diff_color_alt=None)",
    "Comparison.aligned_ssim": "aligned_ssim($self, alignment)",
    "Comparison.current_thumbnail": "current_thumbnail($self, width=200, height=None, min_width=None, "
                                    "min_height=None)",
    "Comparison.baseline_thumbnail": "baseline_thumbnail($self, width=200, height=None, min_width=None, "
                                     "min_height=None)",
}


def _baseline():
    a = rgba(24, 16, (250, 250, 250, 255))
    a[4:9, 3:12] = (20, 40, 200, 255)
    return a


def _current():
    a = _baseline()
    a[6, 5:9] = (200, 30, 30, 255)  # one changed row: the pair aligns
    return a


PAIR = (png_bytes(_baseline()), png_bytes(_current()))
COMPARISON = quillfen.Comparison(*PAIR)
ALIGNMENT = COMPARISON.row_alignment()
# A valid value for every required parameter, so that one parameter at a time can be varied.
REQUIRED = {
    "pairs": [PAIR], "png_bytes": PAIR[0], "baseline_png": PAIR[0], "current_png": PAIR[1], "max_diffs": 5,
    "alignment": ALIGNMENT, "baseline_rgba": b"", "baseline_width": 0, "baseline_height": 0,
    "current_rgba": b"", "current_width": 0, "current_height": 0,
}

COLOURS = {"diff_color": (255, 0, 0), "aa_color": (255, 255, 0)}  # shown as "..."


def _callable(path):
    if path == "Comparison":
        return quillfen.Comparison
    obj = quillfen
    for part in path.split("."):
        obj = getattr(obj, part)
    if path.startswith("Comparison.") and path not in ("Comparison.from_rgba", "Comparison.batch"):
        return getattr(COMPARISON, path.split(".")[1])
    return obj


def _parameters(path):
    params = inspect.signature(_callable(path)).parameters.values()
    return [p for p in params if p.name != "self"]


def _comparable(result):
    if isinstance(result, list):
        return [_comparable(r) for r in result]
    if isinstance(result, tuple):
        return tuple(_comparable(r) for r in result)
    if isinstance(result, (bytes, int, float, str, type(None))):
        return result
    return repr(result)  # result objects: compared by their repr


@pytest.mark.parametrize("path", SIGNATURES)
def test_text_signature(path):
    fn = _callable(path)
    assert fn.__name__ + fn.__text_signature__ == SIGNATURES[path]


@pytest.mark.parametrize("path", SIGNATURES)
def test_the_parser_takes_exactly_the_declared_parameters(path):
    fn = _callable(path)
    params = _parameters(path)
    required = {p.name: REQUIRED[p.name] for p in params if p.default is inspect.Parameter.empty}
    # Each declared parameter is parsed under its name, in its position: an unconvertible value is refused
    # naming it.
    for i, p in enumerate(params):
        with pytest.raises(TypeError, match=f"^argument '{p.name}': "):
            fn(**{**required, p.name: object()})
        before = [required.get(q.name, COLOURS.get(q.name, q.default)) for q in params[:i]]
        with pytest.raises(TypeError, match=f"^argument '{p.name}': "):
            fn(*before, object(), *[required[q.name] for q in params[i + 1:] if q.name in required])
    # ... and nothing else is.
    if params:
        with pytest.raises(TypeError, match="unexpected keyword argument 'undeclared'"):
            fn(**required, undeclared=1)
        with pytest.raises(TypeError, match=f"takes at most {len(params)} argument"):
            fn(*([None] * (len(params) + 1)))


@pytest.mark.parametrize("path", [p for p, s in SIGNATURES.items() if "=" in s])
def test_defaults_shown_are_the_defaults_used(path):
    fn = _callable(path)
    params = _parameters(path)
    required = {p.name: REQUIRED[p.name] for p in params if p.default is inspect.Parameter.empty}
    plain = _comparable(fn(**required))
    for p in params:
        if p.default is inspect.Parameter.empty or p.default is ...:
            continue
        assert _comparable(fn(**required, **{p.name: p.default})) == plain, p.name
    shown = {name: value for name, value in COLOURS.items() if name in {p.name for p in params}}
    if shown:
        assert _comparable(fn(**required, **shown)) == plain
