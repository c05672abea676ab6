"""Renders real screenshots for the benchmarks: a few dozen pages of our own making (documentation, dashboards,
shops, blog posts, forms, landing pages) captured by headless Chromium at 1280 x 720 and 1280 x 3000, each with
realistic current versions made from modified HTML:

    identical  the same page rendered again (a byte-identical PNG when rendering is deterministic)
    banner     a notice inserted at the top of the content, which shifts everything below it
    word       one word of a paragraph edited
    links      links recoloured
    spacing    paragraph spacing changed a little
    removed    one paragraph removed

The images go to $QUILLFEN_SCREENSHOTS or ~/.cache/quillfen-bench/screenshots (outside the repository), with a
manifest.json that bench/common.py reads. Rendering is made deterministic: no GPU, fixed fonts (DejaVu), no
animations or carets, hidden scrollbars, scale factor 1, sRGB.

    python bench/make_screenshots.py            # every page, skipping images already made
    python bench/make_screenshots.py --pages 6  # the first six pages only
"""
import argparse
import html
import json
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

from common import screenshot_dir

SIZES = ((1280, 720), (1280, 3000))
CHANGES = ("banner", "word", "links", "spacing", "removed")
KINDS = ("identical",) + CHANGES
BROWSERS = ("chromium-headless-shell", "chromium", "chromium-browser")


# ---- page text ---------------------------------------------------------------------------------------------------

WORDS = (
    "the request returns a list of records for each project and the client keeps them in a local cache until "
    "a newer version arrives from the server when the user opens settings they can change how often updates are "
    "checked and which regions are used for storage every record carries an identifier a timestamp and the name of "
    "its owner errors are reported with a code and a message that explains what went wrong and how to fix it the "
    "default limit is one hundred items per page but larger pages can be requested with the size parameter tokens "
    "expire after an hour and must be refreshed before that time to keep the login alive reports show usage by "
    "day week and month with totals for each team and the option to export them as a file for further analysis"
).split()
NAMES = ("Orion", "Atlas", "Nimbus", "Quartz", "Harbor", "Meadow", "Summit", "Cobalt", "Juniper", "Falcon",
         "Ember", "Willow", "Granite", "Lumen", "Tidal", "Aurora")
PALETTES = (("#1f6feb", "#0d1117", "#f6f8fa"), ("#8250df", "#1b1f24", "#fbf8ff"), ("#1a7f37", "#102a18", "#f4faf5"),
            ("#bc4c00", "#2b1700", "#fff8f2"), ("#0969da", "#24292f", "#ffffff"))


class Text:
    """Deterministic sentences for one page."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def words(self, n):
        return " ".join(self.rng.choice(WORDS) for _ in range(n))

    def sentence(self, lo=8, hi=18):
        s = self.words(self.rng.randint(lo, hi))
        return s[0].upper() + s[1:] + "."

    def paragraph(self, lo=3, hi=6, link=True):
        parts = [self.sentence() for _ in range(self.rng.randint(lo, hi))]
        if link:
            i = self.rng.randrange(len(parts))
            w = self.words(2)
            parts[i] = parts[i][:-1] + f' (see <a href="#{w.replace(" ", "-")}">{w}</a>).'
        return " ".join(parts)

    def title(self, n=3):
        return " ".join(w.capitalize() for w in self.words(n).split())


# ---- page builders ---------------------------------------------------------------------------------------------
# Each builder returns the body HTML and its own CSS. `ch` is the change to apply (None for the baseline); the
# builders route every paragraph through `Para`, which applies the word edit and the removal.

class Para:
    def __init__(self, change):
        self.change, self.count = change, 0

    def __call__(self, text, cls=""):
        self.count += 1
        if self.change == "removed" and self.count == 2:
            return ""
        if self.change == "word" and self.count == 1:
            # Edit the fourth word: a realistic one-word change of different length.
            words = text.split(" ")
            if len(words) > 4:
                words[3] = "reconfigured"
            text = " ".join(words)
        c = f' class="{cls}"' if cls else ""
        return f"<p{c}>{text}</p>\n"


def svg_chart(rng, w, h, color, points=24):
    ys = [rng.uniform(0.15, 0.9) for _ in range(points)]
    path = " ".join(f"{'M' if i == 0 else 'L'}{i * w / (points - 1):.1f},{(1 - y) * h:.1f}" for i, y in enumerate(ys))
    grid = "".join(f'<line x1="0" y1="{h * k / 4:.0f}" x2="{w}" y2="{h * k / 4:.0f}" stroke="#d0d7de"/>' for k in range(5))
    return (f'<svg width="{w}" height="{h}" viewBox="0 0 {w} {h}">{grid}'
            f'<path d="{path} L{w},{h} L0,{h} Z" fill="{color}" fill-opacity="0.15"/>'
            f'<path d="{path}" fill="none" stroke="{color}" stroke-width="2"/></svg>')


def svg_picture(rng, w, h):
    """A landscape-like illustration: sky gradient, sun, hills."""
    hue = rng.randrange(360)
    hills = "".join(
        f'<ellipse cx="{rng.uniform(0, w):.0f}" cy="{h * rng.uniform(0.8, 1.1):.0f}" rx="{w * rng.uniform(0.3, 0.6):.0f}" '
        f'ry="{h * rng.uniform(0.25, 0.45):.0f}" fill="hsl({(hue + 90 + 20 * k) % 360},45%,{35 + 8 * k}%)"/>'
        for k in range(3))
    return (f'<svg width="{w}" height="{h}" viewBox="0 0 {w} {h}"><defs><linearGradient id="g{hue}" x1="0" y1="0" '
            f'x2="0" y2="1"><stop offset="0" stop-color="hsl({hue},70%,75%)"/><stop offset="1" '
            f'stop-color="hsl({(hue + 40) % 360},60%,92%)"/></linearGradient></defs>'
            f'<rect width="{w}" height="{h}" fill="url(#g{hue})"/><circle cx="{w * 0.75:.0f}" cy="{h * 0.3:.0f}" '
            f'r="{h * 0.12:.0f}" fill="#ffd866"/>{hills}</svg>')


def docs_page(t, ch, accent, dark, light):
    p = Para(ch)
    nav = "".join(f'<li><a href="#s{i}">{t.title(2)}</a></li>' for i in range(28))
    body = []
    for s in range(9):
        body.append(f'<h2 id="s{s}">{s + 1}. {t.title(3)}</h2>')
        body.append(p(t.paragraph()))
        if s % 3 == 1:
            code = "\n".join(f"{t.rng.choice(('let', 'const', 'return', 'await'))} {t.words(1)} = "
                             f"client.{t.words(1)}({t.rng.randint(0, 99)});" for _ in range(6))
            body.append(f"<pre><code>{html.escape(code)}</code></pre>")
        if s % 3 == 2:
            rows = "".join(f"<tr><td><code>{t.words(1)}</code></td><td>{t.rng.choice(('string', 'int', 'bool'))}"
                           f"</td><td>{t.sentence(5, 10)}</td></tr>" for _ in range(5))
            body.append(f"<table><tr><th>Parameter</th><th>Type</th><th>Description</th></tr>{rows}</table>")
        body.append(p(t.paragraph()))
    css = f"""
      header {{ position: sticky; top: 0; height: 56px; background: {dark}; color: #fff; display: flex;
               align-items: center; padding: 0 24px; font-weight: bold; z-index: 2; }}
      header a {{ color: #c9d1d9; margin-left: 24px; font-weight: normal; }}
      nav {{ position: fixed; top: 56px; left: 0; bottom: 0; width: 260px; background: {light};
            border-right: 1px solid #d0d7de; overflow: hidden; }}
      nav ul {{ list-style: none; padding: 16px 24px; margin: 0; line-height: 1.9; font-size: 14px; }}
      main {{ margin-left: 300px; max-width: 820px; padding: 8px 24px 40px; line-height: 1.6; }}
      pre {{ background: #f6f8fa; padding: 12px; border-radius: 6px; font: 13px 'DejaVu Sans Mono'; }}
      table {{ border-collapse: collapse; width: 100%; font-size: 14px; }}
      td, th {{ border: 1px solid #d0d7de; padding: 6px 10px; text-align: left; }}
      th {{ background: {light}; }}"""
    head = f'<header>{t.title(2)} Docs<a href="#">Guides</a><a href="#">API</a><a href="#">Changelog</a></header>'
    return head + f"<nav><ul>{nav}</ul></nav><main>{{banner}}<h1>{t.title(4)}</h1>{''.join(body)}</main>", css


def dashboard_page(t, ch, accent, dark, light):
    p = Para(ch)
    cards = "".join(
        f'<div class="card"><div class="label">{t.title(2)}</div><div class="value">{t.rng.randint(100, 99999):,}'
        f'</div><div class="delta">{t.rng.choice("+-")}{t.rng.uniform(0.1, 12):.1f}%</div></div>' for _ in range(4))
    bars = "".join(f'<div class="bar" style="height:{t.rng.randint(20, 180)}px"></div>' for _ in range(30))
    rows = "".join(
        f'<tr><td><a href="#">{t.rng.choice(NAMES)}-{t.rng.randint(100, 999)}</a></td><td>{t.title(2)}</td>'
        f'<td><span class="pill">{t.rng.choice(("active", "paused", "failed", "queued"))}</span></td>'
        f'<td>{t.rng.randint(1, 28)} Nov</td><td class="num">{t.rng.uniform(0, 9999):.2f}</td></tr>'
        for _ in range(40))
    css = f"""
      aside {{ position: fixed; left: 0; top: 0; bottom: 0; width: 220px; background: {dark}; color: #c9d1d9;
              padding: 20px; box-sizing: border-box; }}
      aside a {{ display: block; color: #c9d1d9; padding: 8px 0; text-decoration: none; }}
      main {{ margin-left: 220px; padding: 24px 32px; }}
      .cards {{ display: flex; gap: 16px; }}
      .card {{ flex: 1; background: #fff; border: 1px solid #d0d7de; border-radius: 8px; padding: 16px; }}
      .label {{ color: #57606a; font-size: 13px; }} .value {{ font-size: 28px; font-weight: bold; }}
      .delta {{ color: {accent}; font-size: 13px; }}
      .panel {{ background: #fff; border: 1px solid #d0d7de; border-radius: 8px; padding: 16px; margin-top: 16px; }}
      .bars {{ display: flex; align-items: flex-end; gap: 6px; height: 190px; }}
      .bar {{ flex: 1; background: linear-gradient({accent}, {light}); border-radius: 3px 3px 0 0; }}
      table {{ border-collapse: collapse; width: 100%; font-size: 14px; }}
      td, th {{ border-bottom: 1px solid #eaeef2; padding: 8px; text-align: left; }} .num {{ text-align: right; }}
      .pill {{ background: {light}; border: 1px solid {accent}; border-radius: 10px; padding: 1px 8px; font-size: 12px; }}
      body {{ background: #f6f8fa; }}"""
    side = "".join(f'<a href="#">{t.title(1)}</a>' for _ in range(10))
    body = (f'<aside><b>{t.rng.choice(NAMES)} Console</b>{side}</aside><main>{{banner}}<h1>{t.title(2)}</h1>'
            f'{p(t.paragraph(1, 2))}<div class="cards">{cards}</div>'
            f'<div class="panel"><h3>{t.title(3)}</h3>{svg_chart(t.rng, 900, 220, accent)}</div>'
            f'<div class="panel"><h3>{t.title(2)}</h3><div class="bars">{bars}</div>{p(t.paragraph(1, 2))}</div>'
            f'<div class="panel"><table><tr><th>Job</th><th>Name</th><th>Status</th><th>Date</th><th>Cost</th></tr>'
            f'{rows}</table>{p(t.paragraph(2, 3))}</div></main>')
    return body, css


def shop_page(t, ch, accent, dark, light):
    p = Para(ch)
    items = "".join(
        f'<div class="item">{svg_picture(t.rng, 260, 180)}<h3>{t.title(2)}</h3><p class="desc">{t.sentence(6, 12)}'
        f'</p><div class="price">${t.rng.randint(5, 400)}.{t.rng.randint(0, 99):02d}</div>'
        f'<a class="buy" href="#">Add to cart</a></div>' for _ in range(18))
    css = f"""
      header {{ position: sticky; top: 0; background: #fff; border-bottom: 1px solid #d0d7de; height: 64px;
               display: flex; align-items: center; padding: 0 32px; gap: 24px; z-index: 2; }}
      .logo {{ font-size: 22px; font-weight: bold; color: {accent}; }}
      .search {{ flex: 1; border: 1px solid #d0d7de; border-radius: 6px; height: 34px; }}
      main {{ max-width: 1180px; margin: 0 auto; padding: 16px 32px; }}
      .grid {{ display: grid; grid-template-columns: repeat(4, 1fr); gap: 20px; }}
      .item {{ border: 1px solid #d0d7de; border-radius: 8px; padding: 12px; background: #fff; }}
      .item svg {{ width: 100%; height: auto; border-radius: 4px; }}
      .desc {{ color: #57606a; font-size: 13px; }} .price {{ font-weight: bold; font-size: 18px; margin: 8px 0; }}
      .buy {{ display: inline-block; background: {accent}; color: #fff; padding: 6px 14px; border-radius: 6px;
             text-decoration: none; }}
      footer {{ background: {dark}; color: #c9d1d9; padding: 32px; margin-top: 32px; }}"""
    body = (f'<header><span class="logo">{t.rng.choice(NAMES)} Store</span><div class="search"></div>'
            f'<a href="#">Account</a><a href="#">Cart (2)</a></header><main>{{banner}}<h1>{t.title(3)}</h1>'
            f'{p(t.paragraph(2, 3))}{p(t.paragraph(1, 2))}<div class="grid">{items}</div>{p(t.paragraph())}</main>'
            f'<footer>{p(t.paragraph(2, 3))}</footer>')
    return body, css


def blog_page(t, ch, accent, dark, light):
    p = Para(ch)
    parts = [f'<div class="hero">{svg_picture(t.rng, 760, 300)}</div><h1>{t.title(6)}</h1>'
             f'<div class="meta">By {t.rng.choice(NAMES)} {t.rng.choice(NAMES)} &middot; {t.rng.randint(3, 12)} min read</div>']
    for s in range(14):
        parts.append(p(t.paragraph(3, 7)))
        if s % 4 == 1:
            parts.append(f"<blockquote>{t.sentence(12, 24)}</blockquote>")
        if s % 4 == 3:
            parts.append(f"<h2>{t.title(4)}</h2>")
            parts.append("<ul>" + "".join(f"<li>{t.sentence(5, 12)}</li>" for _ in range(4)) + "</ul>")
    css = f"""
      body {{ font-family: 'DejaVu Serif'; background: {light}; }}
      .top {{ height: 48px; border-bottom: 1px solid #d0d7de; display: flex; align-items: center; padding: 0 40px;
             font-family: 'DejaVu Sans'; font-weight: bold; background: #fff; }}
      article {{ max-width: 760px; margin: 0 auto; padding: 24px; font-size: 18px; line-height: 1.7; }}
      .hero svg {{ width: 100%; height: auto; }} h1 {{ font-size: 36px; line-height: 1.2; }}
      .meta {{ color: #57606a; font-family: 'DejaVu Sans'; font-size: 14px; }}
      blockquote {{ border-left: 4px solid {accent}; margin: 0; padding: 4px 20px; color: #424a53; font-style: italic; }}"""
    body = f'<div class="top">{t.rng.choice(NAMES)} Journal</div><article>{{banner}}{"".join(parts)}</article>'
    return body, css


def form_page(t, ch, accent, dark, light):
    p = Para(ch)
    fields = []
    for i in range(16):
        kind = i % 4
        label = t.title(2)
        if kind == 0:
            ctl = f'<input type="text" value="{t.words(2)}">'
        elif kind == 1:
            ctl = "<select>" + "".join(f"<option>{t.title(1)}</option>" for _ in range(4)) + "</select>"
        elif kind == 2:
            ctl = "".join(f'<label class="check"><input type="checkbox"{" checked" if t.rng.random() < 0.5 else ""}> '
                          f'{t.words(3)}</label>' for _ in range(3))
        else:
            ctl = f"<textarea rows=3>{t.sentence()}</textarea>"
        fields.append(f'<div class="field"><label class="name">{label}</label>{ctl}'
                      f'<div class="hint">{t.sentence(5, 10)}</div></div>')
        if i % 5 == 4:
            fields.append(p(t.paragraph(1, 3)))
    css = f"""
      body {{ background: {light}; }}
      header {{ background: {accent}; color: #fff; padding: 20px 40px; font-size: 20px; }}
      form {{ max-width: 640px; margin: 24px auto; background: #fff; border: 1px solid #d0d7de; border-radius: 8px;
             padding: 24px 32px; }}
      .field {{ margin-bottom: 18px; }} .name {{ display: block; font-weight: bold; margin-bottom: 6px; }}
      input[type=text], select, textarea {{ width: 100%; box-sizing: border-box; padding: 6px 8px;
             border: 1px solid #8c959f; border-radius: 6px; font: inherit; }}
      .check {{ display: block; }} .hint {{ color: #57606a; font-size: 12px; margin-top: 4px; }}
      button {{ background: {accent}; color: #fff; border: 0; padding: 10px 20px; border-radius: 6px; font: inherit; }}"""
    body = (f'<header>{t.title(3)}</header><form>{{banner}}<h2>{t.title(3)}</h2>{p(t.paragraph(2, 3))}'
            f'{"".join(fields)}<button type="button">Submit</button></form>')
    return body, css


def landing_page(t, ch, accent, dark, light):
    p = Para(ch)
    feats = "".join(
        f'<div class="feat"><div class="icon" style="background:hsl({t.rng.randrange(360)},60%,55%)"></div>'
        f'<h3>{t.title(2)}</h3>{p(t.paragraph(1, 2))}</div>' for _ in range(6))
    plans = "".join(
        f'<div class="plan"><h3>{name}</h3><div class="cost">${cost}<small>/mo</small></div><ul>'
        + "".join(f"<li>{t.words(3)}</li>" for _ in range(5)) + '</ul><a class="cta" href="#">Choose</a></div>'
        for name, cost in (("Starter", 0), ("Team", 29), ("Business", 99)))
    css = f"""
      nav {{ position: fixed; top: 0; left: 0; right: 0; height: 60px; background: rgba(255,255,255,0.96);
            border-bottom: 1px solid #d0d7de; display: flex; align-items: center; gap: 28px; padding: 0 48px; z-index: 2; }}
      .hero {{ padding: 120px 48px 60px; background: linear-gradient(135deg, {dark}, {accent}); color: #fff; }}
      .hero h1 {{ font-size: 48px; margin: 0 0 16px; max-width: 800px; }} .hero p {{ max-width: 680px; font-size: 18px; }}
      .hero a {{ color: #fff; }}
      section {{ max-width: 1100px; margin: 0 auto; padding: 40px 48px; }}
      .feats {{ display: grid; grid-template-columns: repeat(3, 1fr); gap: 28px; }}
      .icon {{ width: 40px; height: 40px; border-radius: 10px; }}
      .plans {{ display: flex; gap: 24px; }} .plan {{ flex: 1; border: 1px solid #d0d7de; border-radius: 10px; padding: 20px; }}
      .cost {{ font-size: 36px; font-weight: bold; }} .cta {{ display: inline-block; border: 2px solid {accent};
             padding: 6px 18px; border-radius: 20px; text-decoration: none; }}
      footer {{ background: {dark}; color: #8c959f; padding: 40px 48px; }}"""
    body = (f'<nav><b>{t.rng.choice(NAMES)}</b><a href="#">Product</a><a href="#">Pricing</a><a href="#">Docs</a>'
            f'</nav><div class="hero"><h1>{t.title(6)}</h1>{p(t.paragraph(2, 3))}</div>'
            f'<section>{{banner}}<div class="feats">{feats}</div></section><section><h2>{t.title(2)}</h2>'
            f'<div class="plans">{plans}</div>{p(t.paragraph())}</section><section>{p(t.paragraph(4, 8))}'
            f'{p(t.paragraph(4, 8))}</section><footer>{p(t.paragraph(2, 4))}</footer>')
    return body, css


BUILDERS = (("docs", docs_page), ("dashboard", dashboard_page), ("shop", shop_page), ("blog", blog_page),
            ("form", form_page), ("landing", landing_page))
PAGES_PER_KIND = 5

BASE_CSS = """
  *, *::before, *::after { animation: none !important; transition: none !important; caret-color: transparent !important; }
  html { scrollbar-width: none; } ::-webkit-scrollbar { display: none; }
  body { margin: 0; font-family: 'DejaVu Sans'; font-size: 16px; color: #1f2328; background: #fff; }
  a { color: %(accent)s; }
  p { margin: 0 0 1em; }
  .banner { background: #fff8c5; border: 1px solid #d4a72c; border-radius: 6px; padding: 12px 16px; margin: 12px 0;
            font-size: 15px; }
"""
CHANGE_CSS = {
    "links": "a { color: #cf222e !important; }",
    "spacing": "p { margin-bottom: 1.25em; line-height: 1.7; }",
}


def page_names(count=None):
    names = [f"{kind}-{i}" for i in range(PAGES_PER_KIND) for kind, _ in BUILDERS]
    return names[:count] if count else names


def build_html(name, change):
    """The HTML of page `name` ("docs-0", ...) with `change` applied (None or "identical" for the baseline)."""
    kind, index = name.rsplit("-", 1)
    builder = dict(BUILDERS)[kind]
    seed = sum(map(ord, kind)) * 100 + int(index)
    accent, dark, light = PALETTES[seed % len(PALETTES)]
    ch = None if change == "identical" else change
    body, css = builder(Text(seed), ch, accent, dark, light)
    banner = ""
    if ch == "banner":
        banner = ('<div class="banner"><b>Scheduled maintenance:</b> the service will be read-only on Saturday from '
                  '02:00 to 04:00 UTC. <a href="#">Learn more</a></div>')
    body = body.replace("{banner}", banner)
    style = BASE_CSS % {"accent": accent} + css + CHANGE_CSS.get(ch, "")
    return (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{name}</title>'
            f"<style>{style}</style></head><body>{body}</body></html>")


# ---- rendering -------------------------------------------------------------------------------------------------

def find_browser():
    for b in BROWSERS:
        path = shutil.which(b)
        if path:
            return path
    return None


def render(browser, html_path, png_path, width, height):
    with tempfile.TemporaryDirectory(prefix="qf-chromium-") as profile:
        cmd = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--mute-audio",
               "--no-first-run", "--disable-extensions", "--disable-dev-shm-usage", "--force-device-scale-factor=1",
               "--force-color-profile=srgb", "--disable-lcd-text", "--font-render-hinting=none",
               "--run-all-compositor-stages-before-draw", "--virtual-time-budget=3000",
               f"--user-data-dir={profile}", f"--window-size={width},{height}", f"--screenshot={png_path}",
               html_path.as_uri()]
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if proc.returncode != 0 or not png_path.exists():
        raise RuntimeError(f"{browser} failed on {html_path.name}: {proc.stderr.decode(errors='replace')[-400:]}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", type=pathlib.Path, default=screenshot_dir(), help="cache directory (default: %(default)s)")
    ap.add_argument("--pages", type=int, default=None, help="render only the first N pages")
    ap.add_argument("--jobs", type=int, default=2, help="browsers run at once")
    ap.add_argument("--force", action="store_true", help="render again images that exist")
    args = ap.parse_args(argv)

    browser = find_browser()
    if browser is None:
        sys.exit("make_screenshots: no headless Chromium found; install Debian's chromium-headless-shell "
                 "(scripts/setup.sh does)")
    out = args.out
    (out / "html").mkdir(parents=True, exist_ok=True)
    jobs, manifest = [], []
    for name in page_names(args.pages):
        for width, height in SIZES:
            folder = out / f"{name}-{width}x{height}"
            folder.mkdir(exist_ok=True)
            for kind in ("baseline",) + KINDS:
                html_path = out / "html" / f"{name}-{kind}.html"
                if not html_path.exists() or args.force:
                    html_path.write_text(build_html(name, None if kind == "baseline" else kind), encoding="utf-8")
                png = folder / f"{kind}.png"
                if args.force or not png.exists():
                    jobs.append((html_path, png, width, height))
                if kind != "baseline":
                    manifest.append({"page": name, "width": width, "height": height, "kind": kind,
                                     "baseline": str(png.parent.name + "/baseline.png"),
                                     "current": str(png.parent.name + f"/{kind}.png")})
    print(f"make_screenshots: {len(jobs)} images to render with {browser} into {out}")

    def run(job):
        html_path, png, width, height = job
        tmp = png.with_suffix(".tmp.png")
        render(browser, html_path, tmp, width, height)
        tmp.replace(png)
        return png

    done = 0
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for _ in pool.map(run, jobs):
            done += 1
            if done % 20 == 0 or done == len(jobs):
                print(f"  {done}/{len(jobs)}", flush=True)
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1))
    identical = sum(1 for m in manifest if m["kind"] == "identical" and
                    (out / m["baseline"]).read_bytes() == (out / m["current"]).read_bytes())
    total = sum(1 for m in manifest if m["kind"] == "identical")
    print(f"make_screenshots: {len(manifest)} pairs; {identical} of {total} re-renders byte-identical")


if __name__ == "__main__":
    main()
