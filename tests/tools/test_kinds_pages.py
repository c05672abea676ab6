"""A labelled set of edits on pages of our own, rendered by Chromium: what kind each edit's changes get, and which
element names them.

Every page has the same roles (a heading, paragraphs, a button, a picture, a tag, a row with room to spare) in
different layouts; every edit is made in the live page between two screenshots, with the elements captured as
the pytest plugin captures them.
"""
import base64
import collections

import pytest

import quillfen_tools as qt
from quillfen_tools.elements import capture_elements
from quillfen_tools.inputs import png_size
from quillfen_tools.words import describe

from test_report import chromium_path

sync_api = pytest.importorskip("playwright.sync_api")


def svg(shapes):
    body = "".join(shapes)
    data = f'<svg xmlns="http://www.w3.org/2000/svg" width="160" height="100">{body}</svg>'
    return "data:image/svg+xml;base64," + base64.b64encode(data.encode()).decode()


HERO = svg(['<rect width="160" height="100" fill="#d7e3f4"/>', '<circle cx="50" cy="50" r="30" fill="#e07a1f"/>',
            '<polygon points="100,85 130,20 155,85" fill="#2f6f3e"/>'])
OTHER = svg(['<rect width="160" height="100" fill="#f4e3d7"/>', '<rect x="20" y="20" width="60" height="50" '
             'fill="#3a5fa8"/>', '<circle cx="120" cy="60" r="25" fill="#9b2d7f"/>'])

CSS = """
body { margin: 0; font: 16px/1.4 sans-serif; color: #1d232b; background: #fbfbfd; }
h1 { font-size: 28px; margin: 0 0 12px; }
p { margin: 0 0 12px; }
.row { display: flex; gap: 12px; align-items: center; height: 40px; }
button { font: 15px sans-serif; padding: 8px 16px; border: 0; border-radius: 6px; background: #2256c7; color: #fff; }
.tag { background: #efe3b8; color: #5a4500; padding: 2px 8px; border-radius: 10px; font-size: 13px; }
.badge { background: #c62828; color: #fff; padding: 2px 8px; border-radius: 10px; font-size: 13px; }
a { color: #0b57d0; }
img { display: block; width: 160px; height: 100px; }
"""

CONTENT = """
<h1 id="title">Quarterly report</h1>
<p id="p1">Orders grew steadily through the spring while returns stayed low.</p>
<div class="row"><button id="send">Send</button><span id="tag" class="tag">draft</span></div>
<img id="hero" src="{hero}" alt="chart">
<p id="p2">Read the <a id="more" href="#">full numbers</a> for each region.</p>
"""

LAYOUTS = {
    "article": """<main style="max-width:640px;margin:32px auto;padding:0 24px">{content}</main>""",
    "sidebar": """<div style="display:flex"><nav style="width:200px;height:600px;background:#243447;color:#fff;
        padding:16px;box-sizing:border-box">Menu<br>Home<br>Reports</nav>
        <main style="padding:24px 32px;flex:1">{content}</main></div>""",
    "cards": """<div style="display:grid;grid-template-columns:1fr 1fr;gap:24px;padding:24px">
        <section style="background:#fff;border:1px solid #dde;border-radius:8px;padding:20px">{content}</section>
        <section style="background:#fff;border:1px solid #dde;border-radius:8px;padding:20px">
        <h2 style="margin:0 0 8px">Elsewhere</h2><p>Unrelated numbers stay where they are.</p></section></div>""",
    "dashboard": """<header style="height:56px;background:#f0f2f6;border-bottom:1px solid #ccd"></header>
        <div style="display:grid;grid-template-columns:260px 1fr;gap:24px;padding:24px">
        <aside style="background:#fff;border:1px solid #dde;padding:16px">Filters</aside>
        <div>{content}</div></div>""",
}

# (edit, JavaScript run on the live page, the kind a person would give it, the element that names it)
EDITS = [
    ("text edited", "q('#p1').textContent = 'Orders fell sharply in the spring while returns climbed fast.'",
     "content", "p#p1"),
    ("heading edited", "q('#title').textContent = 'Quarterly review'", "content", "h1#title"),
    ("heading recoloured", "q('#title').style.color = '#b3261e'", "recoloured", "h1#title"),
    ("button recoloured", "q('#send').style.background = '#1e7d3a'", "recoloured", "button#send"),
    ("link recoloured", "q('#more').style.color = '#8e24aa'", "recoloured", "a#more"),
    ("badge inserted", "q('.row').insertAdjacentHTML('beforeend', '<span id=\"badge\" class=\"badge\">new</span>')",
     "added", "span#badge"),
    ("tag removed", "q('#tag').style.visibility = 'hidden'", "removed", "span#tag"),
    ("picture moved", "q('#hero').style.transform = 'translate(6px, 4px)'", "moved", "img#hero"),
    ("button moved", "q('#send').style.transform = 'translate(-5px, 0px)'", "moved", "button#send"),
    ("picture swapped", f"q('#hero').src = '{OTHER}'", "content", "img#hero"),
    ("note inserted", "q('#p2').insertAdjacentHTML('afterend', '<p id=\"extra\">One more note.</p>')",
     "added", "p#extra"),
]

CASES = [(layout, scale, edit) for layout in LAYOUTS for scale in (1, 2) if scale == 1 or layout == "article"
         for edit in EDITS]


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=chromium_path(), args=["--no-sandbox", "--disable-lcd-text"])
        yield b
        b.close()


def shoot(page, locator=None):
    source = page.locator(locator) if locator else page
    png = source.screenshot(type="png", animations="disabled", caret="hide")
    return png, capture_elements(source)


def run_edit(browser, layout, scale, script):
    page = browser.new_page(viewport={"width": 900, "height": 600}, device_scale_factor=scale)
    try:
        html = LAYOUTS[layout].format(content=CONTENT.format(hero=HERO))
        page.set_content(f"<!doctype html><html><head><style>{CSS}</style></head><body>{html}</body></html>")
        page.evaluate("document.fonts.ready")
        before = shoot(page)
        page.evaluate(f"(() => {{ const q = s => document.querySelector(s); {script}; }})()")
        page.evaluate("document.fonts.ready")
        after = shoot(page)
    finally:
        page.close()
    return qt.compare(before[0], after[0], elements=(before[1], after[1]))


def kinds_of(result):
    """The kind of every change of a result: its clusters', and rows inserted (added) or deleted (removed)."""
    kinds = [k.kind for k in result.clusters]
    for band in result.shift.bands if result.shift else ():
        if not band.at_edge:
            kinds.append("added" if band.kind == "inserted" else "removed")
    return kinds


@pytest.fixture(scope="module")
def outcomes(browser):
    out = []
    for layout, scale, (edit, script, kind, element) in CASES:
        result = run_edit(browser, layout, scale, script)
        kinds = kinds_of(result)
        majority = collections.Counter(kinds).most_common(1)[0][0] if kinds else None
        named = {k.element for k in result.clusters if k.kind == kind}
        named |= {b.element for b in (result.shift.bands if result.shift else ()) if kind == "added"}
        out.append((f"{layout} x{scale}: {edit}", kind, majority, element, named, result))
    return out


def test_most_edits_get_their_kind(outcomes):
    assert len(outcomes) >= 40
    wrong = [f"{name}: expected {kind}, got {got} ({describe(r)})"
             for name, kind, got, _, _, r in outcomes if got != kind]
    right = len(outcomes) - len(wrong)
    assert right / len(outcomes) >= 0.9, "\n".join(wrong)
    print(f"{right} of {len(outcomes)} edits get their kind" + "".join(f"\n  {w}" for w in wrong))


def test_edits_are_named_by_the_edited_element(outcomes):
    unnamed = [f"{name}: expected {element}, got {sorted(map(str, named))}"
               for name, kind, got, element, named, _ in outcomes if got == kind and element not in named]
    assert not unnamed, "\n".join(unnamed)


def test_locator_elements_are_relative_to_the_locator(browser):
    page = browser.new_page(viewport={"width": 900, "height": 600}, device_scale_factor=2)
    try:
        html = LAYOUTS["cards"].format(content=CONTENT.format(hero=HERO))
        page.set_content(f"<!doctype html><html><head><style>{CSS}</style></head><body>{html}</body></html>")
        png, elements = shoot(page, "section >> nth=0")
        box = page.locator("section").first.bounding_box()
        hero = page.locator("#hero").bounding_box()
    finally:
        page.close()
    by_selector = {e.selector: e for e in elements}
    assert elements[0].tag == "section" and (elements[0].x, elements[0].y) == (0, 0)
    e = by_selector["img#hero"]
    assert abs(e.x - 2 * (hero["x"] - box["x"])) <= 1 and abs(e.y - 2 * (hero["y"] - box["y"])) <= 1
    assert abs(e.width - 320) <= 1 and abs(e.height - 200) <= 1
    assert "span#badge" not in by_selector and by_selector["span#tag"].text == "draft"
    width, height = png_size(png)
    assert abs(width - elements[0].width) <= 1 and abs(height - elements[0].height) <= 1
