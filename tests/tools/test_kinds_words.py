"""Classified changes in the words and records every output shares."""
import pytest

from quillfen_tools.results import Box, Result
from quillfen_tools.words import change_words, describe


def changed(*boxes, status="changed"):
    return Result(name="p", status=status, passed=False, diff_pixels=120, diff_ratio=0.012, ssim=0.98, width=100,
                  height=100, baseline_size=(100, 100), current_size=(100, 120 if status == "size-changed" else 100),
                  clusters=boxes)


def test_each_kind_reads_as_a_person_would_say_it():
    r = changed(Box(0, 0, 10, 10, 50, kind="content", element="h1.title"),
                Box(0, 0, 10, 10, 30, kind="recoloured", element="button#send"),
                Box(0, 0, 10, 10, 20, kind="moved", element="img.logo", dx=-6, dy=0),
                Box(0, 0, 10, 10, 10, kind="content", element="img.hero"),
                Box(40, 50, 8, 9, 5, kind="added"),
                Box(1, 2, 3, 4, 5, kind="content", element="div.card"))
    assert describe(r) == (
        "changed: h1.title text changed; button#send recoloured; img.logo moved 6 px left; img.hero image changed; "
        "added at 40,50 (8x9); 1 more change; 6 clusters, 120 pixels differ (1.20 %), SSIM 0.9800")
    assert change_words([Box(1, 2, 3, 4, 5, kind="moved", dx=0, dy=3)]) == "moved 3 px down at 1,2 (3x4)"
    # The same change in several places is said once.
    assert change_words([Box(1, 2, 3, 4, 5, kind="removed", element="p.note")] * 3) == "p.note removed (3 places)"
    # Unclassified clusters (a pair read before kinds existed) keep the plain sentence.
    plain = changed(Box(0, 0, 10, 10, 50))
    assert describe(plain) == "changed: 1 cluster, 120 pixels differ (1.20 %), SSIM 0.9800"
    assert "div.x added" in describe(changed(Box(0, 0, 1, 1, 1, kind="added", element="div.x"), status="size-changed"))


def test_records_carry_kinds_and_read_back():
    r = changed(Box(0, 0, 10, 10, 50, kind="moved", element="a#home", dx=4, dy=-2), Box(5, 5, 1, 1, 1))
    d = r.to_dict()
    assert d["clusters"][0] == {"x": 0, "y": 0, "width": 10, "height": 10, "pixels": 50, "kind": "moved",
                                "element": "a#home", "dx": 4, "dy": -2}
    assert d["clusters"][1]["kind"] is None and d["clusters"][1]["dx"] is None
    assert Result.from_dict(d) == r
    # Records written before kinds existed read back without them.
    old = dict(d, clusters=[{"x": 1, "y": 2, "width": 3, "height": 4, "pixels": 5}])
    assert Result.from_dict(old).clusters == (Box(1, 2, 3, 4, 5),)
    with pytest.raises(ValueError, match="unknown change kind 'teleported'"):
        Result.from_dict(dict(d, clusters=[dict(d["clusters"][0], kind="teleported")]))
