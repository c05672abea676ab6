"""Element records: checking, keeping them beside a baseline, and naming changes by them."""
import json
import os

import pytest

from quillfen_tools import _native
from quillfen_tools.elements import (
    Element, ElementError, elements_from, elements_path, load_elements, naming_elements, save_elements,
)

BUTTON = {"selector": "button#send", "tag": "BUTTON", "text": "  Send\n now ", "x": 412, "y": 380, "width": 96,
          "height": 32}


def test_records_are_checked_and_widened_to_whole_pixels():
    (e,) = elements_from([BUTTON])
    assert e == Element("button#send", "button", "Send now", 412, 380, 96, 32)
    (f,) = elements_from([dict(BUTTON, x=10.4, y=-3.5, width=5.2, height=10)])
    # 10.4 .. 15.6 covers pixels 10 .. 15; the part above the image is cut off.
    assert (f.x, f.y, f.width, f.height) == (10, 0, 6, 7)
    (g,) = elements_from([dict(BUTTON, x=-50, width=20)])
    assert (g.x, g.width) == (0, 0)
    assert elements_from(None) == ()
    assert elements_from([e]) == (e,)


@pytest.mark.parametrize("records, message", [
    ([dict(BUTTON, width=-1)], r"elements\[0\]: width and height must not be negative"),
    ([BUTTON, dict(BUTTON, x="12")], r"elements\[1\]: 'x' must be a number, got '12'"),
    ([dict(BUTTON, y=True)], r"'y' must be a number"),
    ([dict(BUTTON, height=float("nan"))], r"'height' must be a finite number"),
    ([dict(BUTTON, x=1e300)], r"'x' must be a finite number"),
    ([dict(BUTTON, selector="  ")], r"'selector' must be a non-empty string"),
    ([{k: v for k, v in BUTTON.items() if k != "width"}], r"'width' must be a number, got None"),
    ([["button", 1, 2, 3]], r"elements\[0\]: expected a mapping"),
    (BUTTON, r"expected a sequence of element records, got dict"),
    (42, r"expected a sequence of element records, got int"),
])
def test_bad_records_say_which_and_why(records, message):
    with pytest.raises(ElementError, match=message):
        elements_from(records)


def test_kept_beside_the_baseline_atomically(tmp_path):
    baseline = tmp_path / "snaps" / "cart.png"
    baseline.parent.mkdir()
    assert load_elements(baseline) is None
    path = save_elements(baseline, [BUTTON, dict(BUTTON, selector="h1.title", tag="h1", text="Cart")])
    assert path == tmp_path / "snaps" / ".quillfen" / "cart.elements.json"
    assert [e.selector for e in load_elements(baseline)] == ["button#send", "h1.title"]
    # No temporary file is left behind, and the file replaces the old one whole.
    save_elements(baseline, [BUTTON])
    assert sorted(os.listdir(path.parent)) == ["cart.elements.json"]
    assert len(load_elements(baseline)) == 1
    # Refused outside the folder given, and a bad record writes nothing.
    with pytest.raises(OSError):
        save_elements(tmp_path / "other" / "x.png", [BUTTON], root=tmp_path / "snaps")
    with pytest.raises(ElementError):
        save_elements(baseline, [dict(BUTTON, width=-4)])
    assert len(load_elements(baseline)) == 1


@pytest.mark.parametrize("content, message", [
    (b"{not json", "not an elements file"),
    (b'["a"]', "expected {\"elements\""),
    (b'\xff\xfe', "not an elements file"),
    (json.dumps({"elements": [dict(BUTTON, width="wide")]}).encode(), r"\[0\]: 'width' must be a number"),
])
def test_bad_files_name_the_file(tmp_path, content, message):
    baseline = tmp_path / "home.png"
    elements_path(baseline).parent.mkdir()
    elements_path(baseline).write_bytes(content)
    with pytest.raises(ElementError, match=message) as info:
        load_elements(baseline)
    assert "home.elements.json" in str(info.value)


def test_the_smallest_element_holding_a_change_names_it():
    page = elements_from([
        {"selector": "body", "x": 0, "y": 0, "width": 800, "height": 600},
        {"selector": "main", "x": 0, "y": 100, "width": 800, "height": 500},
        {"selector": "h1.title", "x": 20, "y": 110, "width": 300, "height": 40},
        {"selector": "h1.title > span", "x": 20, "y": 110, "width": 300, "height": 40},
    ])
    named = naming_elements([(30, 115, 50, 20), (20, 300, 10, 10), (700, 5, 30, 30), (790, 590, 40, 40)], page)
    assert [e and e.selector for e in named] == ["h1.title", "main", "body", None]
    assert naming_elements([(0, 0, 1, 1)], ()) == (None,)
    assert naming_elements([], page) == ()


def test_native_naming_refuses_bad_boxes():
    with pytest.raises(TypeError, match="changes"):
        _native.name_changes([(1, 2, 3)], [])
    with pytest.raises(OverflowError):
        _native.name_changes([(1, 2, 3, 4)], [(-1, 0, 2, 2)])
    with pytest.raises(TypeError, match="elements"):
        _native.name_changes([], 5)


def test_inserted_rows_are_named_by_the_largest_element_mostly_inside_them():
    from quillfen_tools.elements import inserted_element
    page = elements_from([
        {"selector": "main", "x": 0, "y": 0, "width": 800, "height": 900},
        {"selector": "div.banner", "x": 0, "y": 96, "width": 800, "height": 52},
        {"selector": "div.banner > b", "x": 20, "y": 110, "width": 90, "height": 20},
        {"selector": "p.next", "x": 0, "y": 140, "width": 800, "height": 40},
    ])
    # The banner's top 4 rows matched blank rows of the page: still more than half of it is inside.
    assert inserted_element(100, 48, 0, 800, page).selector == "div.banner"
    assert inserted_element(100, 20, 0, 800, page).selector == "div.banner > b"
    assert inserted_element(100, 48, 0, 400, page).selector == "div.banner > b"  # the band's columns only
    assert inserted_element(500, 10, 0, 800, page) is None
