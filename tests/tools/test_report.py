"""The HTML report in a real browser (Playwright driving the system's Chromium), and its writer."""
import json
import os
import shutil

import pytest

from quillfen_tools.cli import main
from quillfen_tools.demo import Canvas, png_bytes
from quillfen_tools.report import ReportWriter, write_report
from screens import EXPECTED, every_status

sync_api = pytest.importorskip("playwright.sync_api")


def chromium_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    for path in ("/usr/lib/chromium/chromium", "/usr/bin/chromium"):
        if os.access(path, os.X_OK):
            return path
    pytest.fail("no Chromium found: scripts/setup.sh installs Debian's chromium package")


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=chromium_path(), args=["--no-sandbox"])
        yield b
        b.close()


class Page:
    """A report opened from the file system, with every console message, page error and request recorded."""

    def __init__(self, browser, index):
        self.page = browser.new_page(viewport={"width": 1280, "height": 900})
        self.messages, self.requests = [], []
        self.page.on("console", lambda m: self.messages.append(f"{m.type}: {m.text}"))
        self.page.on("pageerror", lambda e: self.messages.append(f"pageerror: {e}"))
        self.page.on("request", lambda r: self.requests.append(r.url))
        self.page.goto(index.as_uri())
        self.page.wait_for_load_state("load")

    def visible_names(self):
        # What is rendered, not what is marked: a style may override the hidden attribute.
        return self.page.eval_on_selector_all(
            "#pairs li .name", "els => els.filter(e => e.getClientRects().length).map(e => e.textContent)")

    def selected(self):
        return self.page.text_content("#pairs li.selected .name")

    def frames(self):
        return self.page.query_selector_all("#stage .frame")


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("report")
    base, cur = every_status(tmp)
    assert main(["dirs", str(base), str(cur), "--out", str(tmp / "out")]) == 2
    return tmp / "out"


@pytest.fixture
def page(browser, report):
    p = Page(browser, report / "index.html")
    yield p
    p.page.close()


def test_loads_offline_without_errors_and_counts_match(page, report):
    doc = json.loads((report / "report.json").read_text())
    page.page.wait_for_selector("#pair:not([hidden])")
    assert page.messages == []
    assert all(url.startswith("file://") for url in page.requests), page.requests
    chips = page.page.eval_on_selector_all(
        ".chip[data-status]", "els => els.map(e => [e.dataset.status, e.querySelector('.chip-count').textContent])")
    counts = {status: int(n) for status, n in chips if status and status != "failing"}
    assert counts == doc["summary"]
    assert dict(chips)["failing"] == str(sum(not p["passed"] for p in doc["pairs"]))
    assert dict(chips)[""] == str(len(doc["pairs"]))
    # Every pair listed once, those that need a look first.
    names = page.visible_names()
    assert sorted(names) == sorted(EXPECTED)
    statuses = [EXPECTED[n] for n in names]
    assert statuses[0] == "changed"
    assert statuses.index("shifted") < statuses.index("error") < statuses.index("new") < statuses.index("unchanged")
    # Every image the page shows loads.
    for _ in names:
        broken = page.page.eval_on_selector_all("#stage img", "els => els.filter(i => !i.complete || !i.naturalWidth).length")
        page.page.wait_for_function("() => [...document.querySelectorAll('#stage img')].every(i => i.complete)")
        assert page.page.eval_on_selector_all("#stage img", "els => els.filter(i => !i.naturalWidth).length") == 0, broken
        page.page.keyboard.press("j")
    assert page.messages == []


def test_filters_and_keyboard_navigation(page):
    p = page.page
    p.click(".chip[data-status='changed']")
    assert page.visible_names() == ["ui/changed.png"]
    assert page.selected() == "ui/changed.png"
    p.click(".chip[data-status='changed']")  # again: all
    assert len(page.visible_names()) == len(EXPECTED)
    p.click(".chip[data-status='new']")
    p.click(".chip[data-status='missing']", modifiers=["Shift"])  # shift adds a status
    assert sorted(page.visible_names()) == ["fresh.png", "gone.png"]
    p.click(".chip[data-status='failing']")
    assert sorted(page.visible_names()) == sorted(n for n, s in EXPECTED.items() if s not in ("new", "missing", "unchanged"))
    p.click(".chip-all")
    p.press("#search", "u")
    p.fill("#search", "ui/")
    assert sorted(page.visible_names()) == ["ui/changed.png", "ui/deep/size.png", "ui/shifted.png"]
    p.fill("#search", "")
    p.keyboard.press("Escape")

    names = page.visible_names()
    p.keyboard.press("Home")
    assert page.selected() == names[0]
    p.keyboard.press("j")
    assert page.selected() == names[1]
    p.keyboard.press("ArrowDown")
    p.keyboard.press("ArrowDown")
    assert page.selected() == names[3]
    p.keyboard.press("k")
    assert page.selected() == names[2]
    p.keyboard.press("End")
    assert page.selected() == names[-1]


def _box(handle):
    b = handle.bounding_box()
    return b["x"], b["y"], b["width"], b["height"]


def test_viewer_modes_and_cluster_boxes_where_the_clusters_are(page, report):
    doc = json.loads((report / "report.json").read_text())
    changed = next(p for p in doc["pairs"] if p["status"] == "changed")
    p = page.page
    p.click(".chip[data-status='changed']")
    assert p.text_content("#pair-status") == "changed"

    p.keyboard.press("1")
    assert len(page.frames()) == 2
    p.keyboard.press("3")
    (frame,) = page.frames()
    assert p.get_attribute("#stage img", "src") == changed["diff"]
    fx, fy, fw, fh = _box(frame)
    scale = fw / changed["width"]
    assert fh == pytest.approx(changed["height"] * scale, abs=1.5)
    boxes = p.query_selector_all("#stage .overlay rect.cluster")
    assert len(boxes) == len(changed["clusters"]) > 0
    for rect, cluster in zip(boxes, changed["clusters"]):
        x, y, w, h = _box(rect)
        assert x == pytest.approx(fx + cluster["x"] * scale, abs=2)
        assert y == pytest.approx(fy + cluster["y"] * scale, abs=2)
        assert w == pytest.approx(cluster["width"] * scale, abs=3)
        assert h == pytest.approx(cluster["height"] * scale, abs=3)
    assert rect.is_visible()
    p.keyboard.press("c")
    assert not rect.is_visible()
    p.click("#show-clusters")
    assert rect.is_visible()

    p.keyboard.press("2")
    (frame,) = page.frames()
    assert p.get_attribute("#stage", "data-mode") == "slider"
    slider = p.query_selector("#stage input[type=range]")
    top = p.query_selector("#stage .top-image")
    # The current image shows right of the cut; moving the slider moves the cut.
    slider.fill("20")
    assert "20%" in top.evaluate("e => getComputedStyle(e).clipPath")
    p.keyboard.press("ArrowRight")
    assert slider.input_value() == "25"
    fx, fy, fw, fh = _box(frame)
    p.mouse.click(fx + fw * 0.75, fy + fh / 2)
    assert float(slider.input_value()) == pytest.approx(75, abs=1)
    assert page.messages == []


def test_one_sided_and_error_pairs(page):
    p = page.page
    p.click(".chip[data-status='new']")
    assert p.is_disabled(".modes [data-mode='slider']") and p.is_disabled(".modes [data-mode='diff']")
    assert "no baseline" in p.text_content("#stage")
    p.click(".chip[data-status='error']")
    assert "broken.png" in p.text_content("#pair-message") and "current" in p.text_content("#pair-message")
    assert page.messages == []


def test_writer_draws_column_bands_and_keeps_any_name_safe(browser, tmp_path):
    """The writer as a function: plain records in (no images, any status and name), a report out."""
    records = [
        {"name": "</script><b>x</b>", "status": "shifted", "passed": True, "diff_pixels": 0, "diff_ratio": 0.0,
         "ssim": 1.0, "width": 200, "height": 100, "baseline_size": [200, 90], "current_size": [200, 100],
         "clusters": [], "shift": {"bands": [{"kind": "inserted", "y": 30, "rows": 10, "x0": 50, "x1": 150},
                                              {"kind": "deleted", "y": 70, "rows": 4, "x0": 0, "x1": 200}]},
         "error": None, "diff_png": png_bytes(Canvas(200, 100, (200, 200, 200))),
         "baseline_image": png_bytes(Canvas(200, 90, (90, 90, 90))), "current_image": png_bytes(Canvas(200, 100, (9, 9, 9)))},
        {"name": "test_login[chromium] \u2028 ünï", "status": "passed", "passed": True},
    ]
    index = write_report(tmp_path / "r", records, title="Nightly run")
    doc = json.loads((tmp_path / "r" / "report.json").read_text())
    assert doc["summary"]["shifted"] == 1 and doc["summary"]["passed"] == 1
    assert [p["name"] for p in doc["pairs"]] == [r["name"] for r in records]
    assert not (tmp_path / "r" / ".records.jsonl").exists()

    page = Page(browser, index)
    try:
        p = page.page
        assert p.title() == "Nightly run"
        assert sorted(page.visible_names()) == sorted(r["name"] for r in records)
        p.click(".chip[data-status='shifted']")
        band = p.wait_for_selector(".overlay[data-side='current'] rect.band-inserted")
        assert (band.get_attribute("x"), band.get_attribute("width")) == ("50", "100")
        assert (band.get_attribute("y"), band.get_attribute("height")) == ("30", "10")
        line = p.query_selector(".overlay[data-side='current'] line.band-deleted")
        assert line.get_attribute("y1") == "70"
        # On the baseline, in its own rows: the inserted rows are a line where they went in, the deleted rows a
        # band (10 rows further up, the inserted rows above them taken out).
        line = p.query_selector(".overlay[data-side='baseline'] line.band-deleted")
        assert (line.get_attribute("y1"), line.get_attribute("x1"), line.get_attribute("x2")) == ("30", "50", "150")
        band = p.query_selector(".overlay[data-side='baseline'] rect.band-inserted")
        assert (band.get_attribute("y"), band.get_attribute("height")) == ("60", "4")
        assert page.messages == []
    finally:
        page.page.close()


def test_writer_replaces_an_earlier_report_only(tmp_path):
    out = tmp_path / "r"
    with ReportWriter(out) as w:
        w.add({"name": "a", "status": "changed", "passed": False}, diff_png=b"\x89PNG\r\n\x1a\nfake")
    (first,) = (out / "images").iterdir()
    with pytest.warns(UserWarning, match="no image to show"):
        with ReportWriter(out) as w:
            w.add({"name": "b", "status": "unchanged", "passed": True})
    assert not first.exists()
    # A folder that holds no report keeps its files.
    other = tmp_path / "mine"
    (other / "images").mkdir(parents=True)
    (other / "images" / "holiday.png").write_bytes(b"x")
    write_report(other, [])
    assert (other / "images" / "holiday.png").exists()
    assert json.loads((other / "report.json").read_text())["pairs"] == []


def _header_page(header, footer):
    c = Canvas(60, 40, (250, 250, 250))
    c.rect(0, 0, 60, 8, header)
    c.rect(5, 30, 20, 5, footer)
    return png_bytes(c)


def test_group_key_is_the_change_not_the_page(tmp_path):
    from quillfen_tools.report import group_key

    top = [{"x": 0, "y": 0, "width": 60, "height": 12, "pixels": 600}]
    blue, red, green = (0, 0, 200), (200, 0, 0), (0, 200, 0)
    one = group_key(top, _header_page(blue, (1, 2, 3)), _header_page(red, (1, 2, 3)))
    other_page = group_key(top, _header_page(blue, (9, 9, 9)), _header_page(red, (9, 9, 9)))
    other_colour = group_key(top, _header_page(blue, (1, 2, 3)), _header_page(green, (1, 2, 3)))
    assert one == other_page != other_colour
    # The old colour counts as much as the new one; boxes are a set; a box past the image's edge is clipped.
    assert group_key(top, _header_page(green, (1, 2, 3)), _header_page(red, (1, 2, 3))) != one
    two = top + [{"x": 0, "y": 28, "width": 70, "height": 20, "pixels": 9}]
    pages = _header_page(blue, (1, 2, 3)), _header_page(red, (4, 5, 6))
    assert group_key(two, *pages) == group_key(two[::-1], *pages) != group_key(top, *pages)
    assert group_key([], *pages) is None and group_key(top, b"not a png", pages[1]) is None

    # In the report: the two pairs with the same change share a group, shown once.
    records = [{"name": f"{n}.png", "status": "changed", "passed": False, "clusters": top, "width": 60,
                "height": 40, "baseline_size": [60, 40], "current_size": [60, 40]} for n in ("a", "b", "c")]
    writer = ReportWriter(tmp_path / "r")
    with writer:
        writer.add(records[0], baseline_file=_header_page(blue, (1, 2, 3)), current_file=_header_page(red, (1, 2, 3)))
        writer.add(records[1], baseline_file=_header_page(blue, (7, 7, 7)), current_file=_header_page(red, (7, 7, 7)))
        writer.add(records[2], baseline_file=_header_page(blue, (7, 7, 7)), current_file=_header_page(green, (7, 7, 7)))
    doc = json.loads((tmp_path / "r" / "report.json").read_text())
    groups = [p["group"] for p in doc["pairs"]]
    assert groups[0] == groups[1] != groups[2] and None not in groups
    data = (tmp_path / "r" / "report-data.js").read_text()
    index = json.loads(data[data.index('"index": [') + 9: data.rindex("]") + 1])
    assert [row[4] for row in index] == [0, 0, -1]  # a group of one is no group
    # The copies kept to accept are the files given, byte for byte.
    assert (tmp_path / "r" / doc["pairs"][2]["current_copy"]).read_bytes() == _header_page(green, (7, 7, 7))
