"""The boxes of a page's elements, in image pixels, and the element that names each change.

A page that took a screenshot knows where its elements are; kept beside the baseline, those boxes let a result
say "button#send recoloured" instead of "a cluster at 412,380". Records come from any source as mappings:

    {"selector": "button#send", "tag": "button", "text": "Send", "x": 412, "y": 380, "width": 96, "height": 32}

`x`, `y`, `width` and `height` are image pixels (CSS pixels times the device pixel ratio, relative to the image's
top-left corner); fractions are widened to whole pixels.
"""
from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import _files, _native

__all__ = ["Element", "ElementError", "elements_from", "elements_path", "load_elements", "save_elements",
           "naming_elements", "inserted_element", "capture_elements", "MAX_ELEMENTS"]

#: More element records than this are refused (a page has a few thousand at most).
MAX_ELEMENTS = 100_000
#: The longest selector and text kept; text is a hint for a reader, not a copy of the page.
MAX_SELECTOR = 200
MAX_TEXT = 40
#: Element files larger than this are refused before they are parsed.
MAX_FILE_BYTES = 64 * 1024 * 1024
# Coordinates beyond this are no screenshot's.
_MAX_COORD = 1 << 31


class ElementError(ValueError):
    """An element record, or a file of them, that cannot be used: the message says which and why."""


@dataclass(frozen=True, slots=True)
class Element:
    """One element's box on the image, in whole image pixels, with a short selector, its tag and a few
    characters of its text."""

    selector: str
    tag: str
    text: str
    x: int
    y: int
    width: int
    height: int

    def to_dict(self) -> dict[str, Any]:
        return {"selector": self.selector, "tag": self.tag, "text": self.text, "x": self.x, "y": self.y,
                "width": self.width, "height": self.height}


def _text(record: Mapping[str, Any], key: str, where: str, limit: int, required: bool) -> str:
    value = record.get(key)
    if value is None and not required:
        return ""
    if not isinstance(value, str) or (required and not value.strip()):
        raise ElementError(f"{where}: {key!r} must be a{' non-empty' if required else ''} string, got {value!r}")
    return " ".join(value.split())[:limit]


def _number(record: Mapping[str, Any], key: str, where: str) -> float:
    value = record.get(key)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ElementError(f"{where}: {key!r} must be a number, got {value!r}")
    v = float(value)
    if not math.isfinite(v) or abs(v) > _MAX_COORD:
        raise ElementError(f"{where}: {key!r} must be a finite number of pixels, got {value!r}")
    return v


def _element(record: object, where: str) -> Element:
    if not isinstance(record, Mapping):
        raise ElementError(f"{where}: expected a mapping with selector, tag, text, x, y, width and height, "
                           f"got {type(record).__name__}")
    x, y = _number(record, "x", where), _number(record, "y", where)
    width, height = _number(record, "width", where), _number(record, "height", where)
    if width < 0 or height < 0:
        raise ElementError(f"{where}: width and height must not be negative, got {width:g} x {height:g}")
    # Whole pixels that cover the box; what lies left of or above the image is cut off.
    x0, y0 = max(0, math.floor(x)), max(0, math.floor(y))
    x1, y1 = max(x0, math.ceil(x + width)), max(y0, math.ceil(y + height))
    return Element(
        selector=_text(record, "selector", where, MAX_SELECTOR, True),
        tag=_text(record, "tag", where, 40, False).lower(),
        text=_text(record, "text", where, MAX_TEXT, False),
        x=x0, y=y0, width=x1 - x0, height=y1 - y0,
    )


def elements_from(records: Iterable[object] | None, label: str = "elements") -> tuple[Element, ...]:
    """Checked elements from records (mappings, or Elements); ElementError names the first bad record."""
    if records is None:
        return ()
    if isinstance(records, (str, bytes, Mapping)):
        raise ElementError(f"{label}: expected a sequence of element records, got {type(records).__name__}")
    try:
        items = iter(records)
    except TypeError:
        raise ElementError(f"{label}: expected a sequence of element records, got {type(records).__name__}") from None
    out: list[Element] = []
    for i, record in enumerate(items):
        if i >= MAX_ELEMENTS:
            raise ElementError(f"{label}: more than {MAX_ELEMENTS:,} elements")
        out.append(record if isinstance(record, Element) else _element(record, f"{label}[{i}]"))
    return tuple(out)


def elements_path(baseline: str | Path) -> Path:
    """Where the elements of a baseline image are kept: `.quillfen/<name>.elements.json` in its folder."""
    p = Path(baseline)
    return p.parent / _files.SIDE_DIR / f"{p.stem}.elements.json"


def save_elements(baseline: str | Path, elements: Iterable[object], *, root: str | Path | None = None) -> Path:
    """Writes the elements of `baseline` beside it (atomically, never outside `root` when given); returns the path."""
    checked = elements_from(elements)
    path = elements_path(baseline)
    data = json.dumps({"elements": [e.to_dict() for e in checked]}, ensure_ascii=False, indent=0)
    _files.write_atomic(path, data.encode("utf-8"), root=root)
    return path


def load_elements(baseline: str | Path) -> tuple[Element, ...] | None:
    """The elements kept beside `baseline`, or None when there are none; ElementError when the file is not one."""
    path = elements_path(baseline)
    try:
        data = _files.read_regular(path, limit=MAX_FILE_BYTES)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise ElementError(f"{path}: cannot be read: {e.strerror or e}") from e
    try:
        record = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ElementError(f"{path}: not an elements file: {e}") from None
    if not isinstance(record, Mapping) or not isinstance(record.get("elements"), list):
        raise ElementError(f'{path}: not an elements file: expected {{"elements": [...]}}')
    return elements_from(record["elements"], label=str(path))


def naming_elements(changes: Sequence[tuple[int, int, int, int]], elements: Sequence[Element],
                    slack: int = 2) -> tuple[Element | None, ...]:
    """For each change (x, y, width, height): the smallest element whose box, grown by `slack` pixels, holds it
    (the first listed on a tie), or None."""
    if not changes or not elements:
        return tuple(None for _ in changes)
    index = _native.name_changes(changes, [(e.x, e.y, e.width, e.height) for e in elements], slack)
    return tuple(None if i is None else elements[i] for i in index)


def inserted_element(y: int, rows: int, x0: int, x1: int, elements: Sequence[Element],
                     slack: int = 2) -> Element | None:
    """The element that rows y .. y + rows - 1 (columns x0 .. x1 - 1) inserted into a page: the largest one with at
    least half its height in those rows (its blank edges may match rows of the page) and its columns within them,
    give or take `slack` pixels (the first listed on a tie), or None."""
    best: Element | None = None
    for e in elements:
        if e.width == 0 or e.height == 0:
            continue
        inside = min(e.y + e.height, y + rows) - max(e.y, y)
        if 2 * inside < e.height or e.x + slack < x0 or e.x + e.width > x1 + slack:
            continue
        if best is None or e.width * e.height > best.width * best.height:
            best = e
    return best


# Collects the visible elements under `root` in image pixels. `relative`: coordinates relative to the root's own box
# (a locator's screenshot); else to the viewport, or to the document with `full` (a full-page screenshot).
_COLLECT = """
(root, opts) => {
  const dpr = window.devicePixelRatio || 1;
  const doc = document.documentElement;
  let left = 0, top = 0, width = window.innerWidth, height = window.innerHeight;
  if (opts.relative) {
    const r = root.getBoundingClientRect();
    left = r.left; top = r.top; width = r.width; height = r.height;
  } else if (opts.full) {
    left = -window.scrollX; top = -window.scrollY;
    width = Math.max(doc.scrollWidth, width); height = Math.max(doc.scrollHeight, height);
  }
  const skip = new Set(["script", "style", "head", "meta", "link", "title", "noscript", "template", "br"]);
  const out = [];
  const nodes = [root, ...root.querySelectorAll("*")];
  for (const el of nodes) {
    if (out.length >= opts.max) break;
    const tag = el.tagName.toLowerCase();
    if (skip.has(tag)) continue;
    const r = el.getBoundingClientRect();
    if (!(r.width > 0 && r.height > 0)) continue;
    const x = r.left - left, y = r.top - top;
    if (x >= width || y >= height || x + r.width <= 0 || y + r.height <= 0) continue;
    const st = getComputedStyle(el);
    if (st.visibility === "hidden" || st.display === "none" || Number(st.opacity) === 0) continue;
    let selector = tag;
    if (el.id) selector += "#" + CSS.escape(el.id);
    else if (el.classList.length) selector += "." + [...el.classList].slice(0, 2).map(c => CSS.escape(c)).join(".");
    const text = (el.textContent || "").slice(0, 400).trim().replace(/\\s+/g, " ").slice(0, opts.text);
    out.push({selector, tag, text, x: x * dpr, y: y * dpr, width: r.width * dpr, height: r.height * dpr});
  }
  return out;
}
"""

#: At most this many elements are recorded from a page.
MAX_CAPTURED = 5000


def _playwright(obj: object) -> bool:
    return type(obj).__module__.startswith("playwright.")


def capture_elements(source: object, *, full_page: bool = False) -> tuple[Element, ...] | None:
    """The visible elements of a Playwright page, locator or element handle, as its screenshot shows them: image
    pixels (CSS pixels times the device pixel ratio) relative to the viewport (to the document with `full_page`)
    or to the locator's box. None for any other source. Call it right after taking the screenshot, so that the
    page has not scrolled or changed since."""
    if not _playwright(source) or not hasattr(source, "evaluate"):
        return None
    opts = {"max": MAX_CAPTURED, "text": MAX_TEXT, "full": bool(full_page)}
    evaluate: Any = getattr(source, "evaluate")
    if hasattr(source, "goto"):  # a page: the whole document
        records = evaluate(f"(opts) => ({_COLLECT})(document.documentElement, opts)", dict(opts, relative=False))
    else:  # a locator or an element handle: its own box
        records = evaluate(_COLLECT, dict(opts, relative=True))
    return elements_from(records, label="captured elements")
