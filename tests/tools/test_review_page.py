"""The report page in Chromium: Accept and Undo through the server, groups, zoom, boxes on both sides, the keys; and
the same page opened from the file system, where Accept gives the command line to run."""
import json
import shutil

import pytest

from screens import CHANGE, screen, write
from test_report import Page, browser  # noqa: F401 - the module's browser fixture
from test_review import Server

LONG = "checkout/flows/" + "very-long-folder-name/" * 4 + "payment-confirmation-dialog.png"


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("review")
    # a.png and b.png change the same way (one group); c.png differently; LONG alone.
    same_change = screen(4, block=CHANGE)
    base = write(tmp / "base", {"a.png": screen(4), "b.png": screen(4), "c.png": screen(5), LONG: screen(6),
                                "ok.png": screen(1)})
    cur = write(tmp / "cur", {"a.png": same_change, "b.png": same_change, "c.png": screen(5, block=(40, 30, 8, 8)),
                              LONG: screen(6, block=(0, 0, 30, 20)), "ok.png": screen(1)})
    return base, cur


@pytest.fixture
def served(folders, tmp_path):
    base, cur = folders
    base = shutil.copytree(base, tmp_path / "base")
    server = Server(base, cur, "--out", tmp_path / "out")
    yield server, base, cur, tmp_path / "out"
    server.stop()


def open_page(browser, url):  # noqa: F811
    page = Page.__new__(Page)
    page.page = browser.new_page(viewport={"width": 1280, "height": 900})
    page.messages, page.requests = [], []
    page.page.on("console", lambda m: page.messages.append(f"{m.type}: {m.text}"))
    page.page.on("pageerror", lambda e: page.messages.append(f"pageerror: {e}"))
    page.page.goto(url)
    page.page.wait_for_selector("body[data-ready]")
    page.page.wait_for_selector("#stage .frame")
    return page


def select(p, name):
    """Shows the pair `name` by filtering for it, then clears the filter (Escape keeps the selection)."""
    p.fill("#search", name)
    p.wait_for_function("n => document.querySelector('#pair-name').textContent === n", arg=name)
    p.keyboard.press("Escape")
    assert p.text_content("#pair-name") == name
    p.wait_for_selector("#stage .frame")


def test_accept_undo_and_group_accept_through_the_server(browser, served):  # noqa: F811
    server, base, cur, out = served
    page = open_page(browser, server.url)
    p = page.page
    # The group of two is one row with its count; the three other pairs their own rows.
    rows = p.eval_on_selector_all("#pairs li", "els => els.map(e => [e.dataset.name, e.querySelector('.stat').textContent])")
    assert len(rows) == 4
    group_rows = [r for r in rows if r[0] in ("a.png", "b.png")]
    assert [r[1] for r in group_rows] == ["× 2"]

    select(p, group_rows[0][0])
    assert p.text_content("#pair-actions button") == "Accept all 2"
    p.click("#pair-actions .accept")
    p.wait_for_selector("#pair-actions .undo")
    for n in ("a.png", "b.png"):
        assert (base / n).read_bytes() == (cur / n).read_bytes()
    assert (base / "c.png").read_bytes() != (cur / "c.png").read_bytes()
    assert p.get_attribute(f"#pairs li[data-name='{group_rows[0][0]}']", "class").split().count("accepted") == 1

    # Accepted state survives a reload (it is the server's); undo puts the baselines back.
    page.page.close()
    page = open_page(browser, server.url)
    p = page.page
    select(p, "a.png")
    p.wait_for_selector("#pair-actions .undo")
    p.keyboard.press("u")
    p.wait_for_selector("#pair-actions .accept")
    assert (base / "a.png").read_bytes() == screen(4)

    # "a" on a single pair; the API answers refusals, which the page shows.
    select(p, "c.png")
    p.keyboard.press("a")
    p.wait_for_selector("#pair-actions .undo")
    assert (base / "c.png").read_bytes() == (cur / "c.png").read_bytes()
    assert page.messages == []


def test_zoom_pan_and_cluster_boxes_on_both_sides(browser, served):  # noqa: F811
    server, base, cur, out = served
    page = open_page(browser, server.url)
    p = page.page
    select(p, "c.png")
    record = next(r for r in json.loads((out / "report.json").read_text())["pairs"] if r["name"] == "c.png")
    (cluster,) = record["clusters"]
    frames = p.query_selector_all("#stage .frame")
    assert len(frames) == 2
    for frame in frames:
        fb = frame.bounding_box()
        scale = fb["width"] / record["width"]
        (box,) = frame.query_selector_all(".overlay rect.cluster")
        bb = box.bounding_box()
        assert bb["x"] == pytest.approx(fb["x"] + cluster["x"] * scale, abs=2)
        assert bb["y"] == pytest.approx(fb["y"] + cluster["y"] * scale, abs=2)
        assert bb["width"] == pytest.approx(cluster["width"] * scale, abs=3)

    # 1:1 shows canvas pixels as screen pixels, on both sides.
    p.keyboard.press("z")
    assert p.text_content("#zoom-level") == "100 %"
    widths = p.eval_on_selector_all("#stage .frame", "els => els.map(e => e.getBoundingClientRect().width)")
    assert widths == [pytest.approx(record["width"] + 2, abs=1)] * 2
    for _ in range(4):
        p.keyboard.press("+")
    assert p.text_content("#zoom-level") == "506 %"  # 1.5 ** 4, wider than the view
    # Panning one side moves the other with it.
    vp = p.query_selector_all("#stage .viewport")
    b = vp[1].bounding_box()
    p.mouse.move(b["x"] + 100, b["y"] + 100)
    p.mouse.down()
    p.mouse.move(b["x"] + 40, b["y"] + 70, steps=4)
    p.mouse.up()
    scrolls = p.eval_on_selector_all("#stage .viewport", "els => els.map(e => [e.scrollLeft, e.scrollTop])")
    assert scrolls[0] == scrolls[1] and scrolls[0] != [0, 0]
    p.keyboard.press("0")
    assert p.text_content("#zoom-level") == "fit"

    # A click on a cluster zooms to it: the box in the middle of the view, larger than when fitted.
    box = p.query_selector("#stage .overlay[data-side='current'] rect.cluster")
    fitted = box.bounding_box()["width"]
    box.click()
    assert p.text_content("#zoom-level") != "fit"
    for side in ("baseline", "current"):
        bb = p.query_selector(f"#stage .overlay[data-side='{side}'] rect.cluster").bounding_box()
        view = p.query_selector_all("#stage .viewport")[0 if side == "baseline" else 1].bounding_box()
        assert bb["width"] > 2 * fitted
        assert bb["x"] + bb["width"] / 2 == pytest.approx(view["x"] + view["width"] / 2, abs=4)
        assert bb["y"] + bb["height"] / 2 == pytest.approx(view["y"] + view["height"] / 2, abs=4)
    assert page.messages == []


def test_keys_escape_long_names_and_the_file_page_command(browser, served):  # noqa: F811
    server, base, cur, out = served
    page = open_page(browser, (out / "index.html").as_uri())
    p = page.page
    # A long name is cut in the middle: its start and its file name both show.
    text = p.text_content(f"#pairs li[data-name='{LONG}'] .name")
    assert "…" in text and text.startswith("checkout/") and text.endswith("dialog.png")

    p.keyboard.press("?")
    assert p.is_visible("#help")
    p.keyboard.press("Escape")
    assert not p.is_visible("#help")

    p.fill("#search", "c.p")
    assert p.text_content("#list-count") == "1 of 5 pairs"
    p.keyboard.press("Escape")
    assert p.input_value("#search") == ""
    assert p.text_content("#list-count") == "5 pairs"
    p.click(".chip[data-status='changed']")
    p.keyboard.press("Escape")
    assert p.get_attribute("#chip-all", "aria-pressed") == "true"

    # Opened from the file system, Accept collects the choices into a command to copy; nothing is written.
    before = {n: (base / n).read_bytes() for n in ("a.png", "b.png", "c.png")}
    select(p, "c.png")
    p.click("#pair-actions .accept")
    select(p, "a.png")
    p.click("#pair-actions .accept")
    command = p.text_content("#accept-command")
    assert command.startswith(f"quillfen accept {out} ")
    assert sorted(command.split()[3:]) == ["a.png", "b.png", "c.png"]
    assert {n: (base / n).read_bytes() for n in before} == before
    assert page.messages == []
