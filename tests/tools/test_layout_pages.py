"""Shift detection on real page layouts: pages of our own making rendered by headless Chromium (a fixed sidebar, a
sticky header, a right-hand table of contents, two panes), each with a banner inserted, a paragraph removed or
the spacing changed, with and without a real change beside the shift. Renders are cached in the build folder."""
import hashlib
import pathlib
import shutil
import subprocess
import tempfile

import pytest

import quillfen
import quillfen_tools as qt
from quillfen_tools import _native

W, H = 960, 720
SIDEBAR = 200  # the sidebar's width; its border is its last column
BROWSERS = ("chromium-headless-shell", "chromium", "chromium-browser")
CACHE = pathlib.Path(__file__).resolve().parents[2] / "build" / "layout-pages"

BASE_CSS = """
* { animation: none !important; transition: none !important; caret-color: transparent !important; }
html { scrollbar-width: none; } ::-webkit-scrollbar { display: none; }
body { margin: 0; font: 15px/24px 'DejaVu Sans'; color: #1f2328; background: #fff; }
h1 { font-size: 26px; line-height: 36px; margin: 0 0 24px; }
p { margin: 0 0 24px; }
a { color: #0969da; }
.banner { height: 48px; box-sizing: border-box; background: #fff8c5; border: 1px solid #d4a72c; padding: 0 12px;
          line-height: 46px; }
nav.side { position: fixed; left: 0; top: 0; bottom: 0; width: 199px; background: #f6f8fa;
           border-right: 1px solid #d0d7de; padding: 16px; box-sizing: border-box; }
nav.side a { display: block; line-height: 32px; }
"""

WORDS = ("the request returns a list of records for each project and the client keeps them in a local cache "
         "until a newer version arrives from the server when the user opens settings they can change how often "
         "updates are checked").split()


def paragraph(seed, words=42):
    return " ".join(WORDS[(seed * 7 + i * 3) % len(WORDS)] for i in range(words)).capitalize() + "."


def paragraphs(count, seed=0, remove=None):
    return "".join(f"<p>{paragraph(seed + i)}</p>" for i in range(count) if i != remove)


def links(names):
    return "".join(f'<a href="#">{n}</a>' for n in names)


SIDE_LINKS = ["Overview", "Getting started", "Installation", "Configuration", "Pricing", "Reference", "FAQ"]


def sidebar_page(banner=False, remove=None, spacing=False, side_links=SIDE_LINKS):
    css = "main { margin-left: 224px; padding: 16px 24px; max-width: 560px; }"
    if spacing:
        css += " p { margin-bottom: 32px; }"
    body = (f'<nav class="side">{links(side_links)}</nav><main>{banner_html(banner)}<h1>Release notes</h1>'
            f"{paragraphs(8, remove=remove)}</main>")
    return page(css, body)


def header_page(banner=False, remove=None):
    # Sidebar links down to the bottom of the window, so that no whole row beside the pane is blank.
    css = ("header { position: fixed; top: 0; left: 0; right: 0; height: 56px; background: #24292f; color: #fff; "
           "line-height: 56px; padding: 0 24px; z-index: 2; } nav.side { top: 56px; } "
           "main { margin: 56px 0 0 224px; padding: 16px 24px; max-width: 560px; }")
    body = (f'<header>Orion Docs</header><nav class="side">{links(SIDE_LINKS * 3)}</nav><main>{banner_html(banner)}'
            f"<h1>Configuration</h1>{paragraphs(8, seed=3, remove=remove)}</main>")
    return page(css, body)


def toc_page(banner=False, spacing=False):
    # Table of contents entries down to the bottom of the window.
    css = ("main { padding: 16px 24px; margin-right: 260px; max-width: 600px; } "
           "aside { position: fixed; right: 0; top: 0; bottom: 0; width: 239px; border-left: 1px solid #d0d7de; "
           "padding: 16px; box-sizing: border-box; } aside a { display: block; line-height: 28px; }")
    if spacing:
        css += " p { margin-bottom: 32px; }"
    body = (f"<main>{banner_html(banner)}<h1>Reference</h1>{paragraphs(8, seed=5)}</main>"
            f"<aside><b>On this page</b>{links(['Requests', 'Responses', 'Errors', 'Limits', 'Tokens'] * 5)}</aside>")
    return page(css, body)


def two_panes_page(left_banner=False, right_remove=None):
    css = (".panes { display: flex; align-items: flex-start; } .left { width: 420px; padding: 16px 24px; "
           "background: #fbfbfd; } .right { width: 420px; padding: 16px 24px; }")
    body = (f'<div class="panes"><div class="left">{banner_html(left_banner)}<h1>Inbox</h1>{paragraphs(6, seed=11)}'
            f'</div><div class="right"><h1>Message</h1>{paragraphs(6, seed=17, remove=right_remove)}</div></div>')
    return page(css, body)


def banner_html(on):
    return '<div class="banner"><b>Maintenance:</b> read-only on Saturday.</div>' if on else ""


def page(css, body):
    return (f'<!DOCTYPE html><html><head><meta charset="utf-8"><style>{BASE_CSS}{css}</style></head>'
            f"<body>{body}</body></html>")


def find_browser():
    return next((shutil.which(b) for b in BROWSERS if shutil.which(b)), None)


def render(html):
    """The page as PNG bytes, rendered once per distinct HTML and cached."""
    key = hashlib.sha256(f"{W}x{H}\n{html}".encode()).hexdigest()[:24]
    png = CACHE / f"{key}.png"
    if png.exists():
        return png.read_bytes()
    browser = find_browser()
    if browser is None:
        pytest.skip("headless Chromium is not installed (scripts/setup.sh installs it)")
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="qf-layout-") as tmp:
        source = pathlib.Path(tmp) / "page.html"
        source.write_text(html, encoding="utf-8")
        out = pathlib.Path(tmp) / "shot.png"
        cmd = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--mute-audio",
               "--no-first-run", "--disable-extensions", "--disable-dev-shm-usage", "--force-device-scale-factor=1",
               "--force-color-profile=srgb", "--disable-lcd-text", "--font-render-hinting=none",
               "--run-all-compositor-stages-before-draw", "--virtual-time-budget=2000",
               f"--user-data-dir={tmp}/profile", f"--window-size={W},{H}", f"--screenshot={out}", source.as_uri()]
        proc = subprocess.run(cmd, capture_output=True, timeout=120)
        if proc.returncode != 0 or not out.exists():
            raise RuntimeError(f"{browser} failed: {proc.stderr.decode(errors='replace')[-400:]}")
        shutil.move(out, png)
    return png.read_bytes()


def analyze(baseline_html, current_html, **kw):
    b, c = render(baseline_html), render(current_html)
    verdict, bands, residual, clusters, diff_png, _ = _native.analyze_layout(b, c, **kw)
    return b, c, verdict, bands, residual, clusters, diff_png


def moved(bands):
    """The bands of the moved column regions (not the full-width ones)."""
    return [k for k in bands if (k[3], k[4]) != (0, W)]


def test_fixed_sidebar_banner_is_a_shift_of_the_pane_only():
    b, c, verdict, bands, residual, clusters, _ = analyze(sidebar_page(), sidebar_page(banner=True))
    # The whole-row alignment cannot pair the rows: the sidebar did not move.
    alignment = quillfen.Comparison(b, c).row_alignment()
    assert not alignment.aligned or alignment.residual_count > 0
    assert verdict == "shifted" and residual == 0 and clusters == ()
    kinds = [(k[0], k[2]) for k in bands]
    assert kinds == [("inserted", 48), ("deleted", 48)]
    for kind, y, rows, x0, x1 in bands:
        assert SIDEBAR <= x0 <= 224 + 24 and x1 == W  # the pane from beside the sidebar to the right edge
    assert bands[0][1] == 16 and bands[1][1] == H  # the banner's top; the rows pushed out at the bottom

    r = qt.compare(b, c, diff=True)
    assert r.status == "shifted"
    assert [(s.kind, s.y, s.rows, s.x0, s.x1) for s in r.shift.bands] == list(bands)
    assert r.diff_png is not None


def test_paragraph_removed_under_a_sticky_header_and_spacing_changed_beside_a_toc():
    b, c, verdict, bands, residual, _, _ = analyze(header_page(), header_page(remove=2))
    assert verdict == "shifted" and residual == 0
    deleted = [k for k in bands if k[0] == "deleted" and k[1] < H]
    assert len(deleted) == 1
    assert deleted[0][1] > 56 and deleted[0][2] >= 4 * 24  # below the header; a paragraph of several lines
    assert all(k[3] >= SIDEBAR - 1 for k in bands)

    b, c, verdict, bands, residual, _, _ = analyze(toc_page(), toc_page(spacing=True))
    assert verdict == "shifted" and residual == 0
    inserted = [k for k in bands if k[0] == "inserted"]
    assert len(inserted) >= 3 and all(k[2] == 8 for k in inserted)  # 8 more rows under every paragraph
    assert all(k[3] == 0 and k[4] <= W - 240 for k in bands)  # the table of contents stays put

    b, c, verdict, bands, residual, _, _ = analyze(toc_page(), toc_page(banner=True))
    assert verdict == "shifted" and [(k[0], k[2]) for k in bands] == [("inserted", 48), ("deleted", 48)]


def test_two_panes_moving_independently():
    b, c, verdict, bands, residual, _, _ = analyze(two_panes_page(), two_panes_page(left_banner=True, right_remove=1))
    assert verdict == "shifted" and residual == 0
    left = [k for k in bands if k[4] <= 480]
    right = [k for k in bands if k[3] >= 460]
    assert len(left) + len(right) == len(bands)
    assert ("inserted", 48) in [(k[0], k[2]) for k in left]
    assert any(k[0] == "deleted" and k[1] < H and k[2] >= 4 * 24 for k in right)
    assert {(k[3], k[4]) for k in left}.isdisjoint({(k[3], k[4]) for k in right})


def test_a_real_change_beside_the_shift_is_the_residual():
    # The sidebar link renamed and the banner inserted: the residual is exactly what renaming alone changes.
    renamed = SIDE_LINKS[:4] + ["Plans"] + SIDE_LINKS[5:]
    b, c, verdict, bands, residual, clusters, diff_png = analyze(
        sidebar_page(), sidebar_page(banner=True, side_links=renamed), diff=True)
    alone = quillfen.Comparison(b, render(sidebar_page(side_links=renamed)))
    assert verdict == "changed"
    assert residual == alone.diff_count() > 0
    expected = [(k.bbox.x, k.bbox.y, k.bbox.width, k.bbox.height) for k in alone.clusters().clusters]
    assert [k[:4] for k in clusters] == expected and all(x + w <= SIDEBAR for x, _, w, _, _ in clusters)
    # Each cluster counts its own changed pixels: together, the residual.
    assert sum(k[4] for k in clusters) == residual
    assert [(k[0], k[2]) for k in bands] == [("inserted", 48), ("deleted", 48)]
    assert diff_png.startswith(b"\x89PNG")

    r = qt.compare(b, c)
    assert r.status == "changed"
    assert r.diff_pixels == residual and r.diff_ratio == residual / (W * H)
    assert [(x.x, x.y, x.width, x.height, x.pixels) for x in r.clusters] == list(clusters)
    assert r.shift is not None and len(r.shift.bands) == 2

    # A change inside the moved pane: a word of a paragraph edited, below the banner.
    edited = sidebar_page(banner=True).replace("Release notes", "Release news")
    b, c, verdict, bands, residual, clusters, _ = analyze(sidebar_page(), edited)
    assert verdict == "changed" and 0 < residual < 2000
    assert len(clusters) == 1 and clusters[0][1] >= 16 + 48 and clusters[0][0] >= SIDEBAR


def test_arguments_and_unaligned_widths():
    b = render(sidebar_page())
    rgba, w, h = _native.decode_rgba(b)
    verdict, bands, residual, clusters, diff_png, searches = _native.analyze_layout(rgba, rgba, (w, h), (w, h))
    assert (verdict, bands, residual, clusters, diff_png, searches) == ("unchanged", (), 0, (), None, 0)
    # A pair where nothing moved: the residual is the plain count, which may stop early under a cap.
    other = render(toc_page())
    full = _native.analyze_layout(b, other)
    assert full[0] == "changed" and full[1] == () and full[2] == quillfen.Comparison(b, other).diff_count()
    capped = _native.analyze_layout(b, other, max_residual=0)
    assert capped[0] == "changed" and 1 <= capped[2] <= full[2]
    with pytest.raises(TypeError, match="max_residual"):
        _native.analyze_layout(b, other, max_residual="0")
    narrow = bytes(4 * (w - 1) * h)
    assert _native.analyze_layout(rgba, narrow, (w, h), (w - 1, h))[0] == "unaligned"
    with pytest.raises(ValueError, match="expected"):
        _native.analyze_layout(rgba, rgba[:-4], (w, h), (w, h))
    with pytest.raises(ValueError, match="threshold"):
        _native.analyze_layout(b, b, threshold=1.5)
    with pytest.raises(ValueError, match="max_edit_ratio"):
        _native.analyze_layout(b, b, max_edit_ratio=-0.5)
    with pytest.raises(ValueError, match="PNG"):
        _native.analyze_layout(b, b"not a png")
    with pytest.raises(TypeError):
        _native.analyze_layout(b, 42)
