"""A result in plain words: the one sentence the command line, the pytest message and the report's title line
all use, and names made safe to print.

    describe(result)   # "changed: 3 clusters, 6,029 pixels differ (0.93 %) after a 59-row shift at y=80, SSIM 0.9954"
    printable(name)    # control characters, bidirectional overrides and undecodable bytes shown as escapes
"""
from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from typing import Any

from .results import Box, Result, ShiftBand

__all__ = ["describe", "details", "shift_words", "change_words", "percent", "printable"]


def percent(ratio: float) -> str:
    """A ratio as a percentage that never reads as 0 for a change, nor as 100 for less than everything."""
    pct = 100 * ratio
    if pct == 0:
        return "0 %"
    if pct < 0.01:
        return "< 0.01 %"
    if pct < 100 and f"{pct:.2f}" == "100.00":
        return "> 99.99 %"
    return f"{pct:.2f} %"


def _rows(n: int) -> str:
    return f"{n:,} row{'s' if n != 1 else ''}"


def _columns(band: ShiftBand, width: int) -> str:
    return "" if band.x0 == 0 and band.x1 >= width else f" (x {band.x0}..{band.x1})"


def _band(band: ShiftBand, width: int, height: int) -> str:
    if band.at_edge:
        edge = "top" if band.y == 0 and height > 0 else "bottom"
        return f"{_rows(band.rows)} pushed out of the capture at the {edge}{_columns(band, width)}"
    if band.element:
        return f"{band.element} added ({_rows(band.rows)} at y={band.y}{_columns(band, width)})"
    return f"{_rows(band.rows)} {band.kind} at y={band.y}{_columns(band, width)}"


def shift_words(bands: Sequence[ShiftBand], width: int, height: int = 0) -> str:
    """What was inserted and removed: "59 rows inserted at y=80, 59 rows pushed out of the capture at the
    bottom"."""
    return ", ".join(_band(b, width, height) for b in bands)


def _moved(bands: Sequence[ShiftBand], width: int) -> str:
    """The shift under a change, short: "a 59-row shift at y=80" (rows pushed out of the capture are the same
    shift seen at the edge, so they are not counted twice)."""
    moves = [b for b in bands if not b.at_edge] or list(bands)
    if len(moves) == 1:
        b = moves[0]
        return f"a {b.rows:,}-row shift at y={b.y}{_columns(b, width)}"
    return "shifts of " + ", ".join(f"{b.rows:,} rows at y={b.y}{_columns(b, width)}" for b in moves)


_IMAGE_TAGS = frozenset(("img", "picture", "svg", "canvas", "video", "image"))
_TEXT_TAGS = frozenset((
    "h1", "h2", "h3", "h4", "h5", "h6", "p", "span", "a", "button", "label", "li", "td", "th", "em", "strong", "b",
    "i", "small", "code", "pre", "blockquote", "figcaption", "caption", "dt", "dd", "summary", "option", "legend",
))
# How many changes a sentence names before it counts the rest.
_NAMED = 5


def _offset(n: int, positive: str, negative: str) -> str:
    return f"{abs(n)} px {positive if n > 0 else negative}"


def _change(box: Box) -> str:
    """One change in words: "h1.title text changed", "button#send recoloured", "img.logo moved 6 px right"."""
    where = box.element if box.element else f"at {box.x},{box.y} ({box.width}x{box.height})"
    kind = box.kind or "content"
    if kind == "content":
        tag = (box.element or "").split("#")[0].split(".")[0].split(":")[0].split(" ")[0]
        what = "image changed" if tag in _IMAGE_TAGS else "text changed" if tag in _TEXT_TAGS else "changed"
        return f"{box.element} {what}" if box.element else f"changed {where}"
    if kind == "moved":
        steps = [_offset(box.dx, "right", "left") if box.dx else "", _offset(box.dy, "down", "up") if box.dy else ""]
        moved = "moved " + ", ".join(s for s in steps if s)
        return f"{box.element} {moved}" if box.element else f"{moved} {where}"
    return f"{box.element} {kind}" if box.element else f"{kind} {where}"


def change_words(clusters: Sequence[Box]) -> str:
    """The classified changes of a pair, largest first, each once: "h1.title text changed; button#send
    recoloured (2 places)"; empty when none is classified."""
    if not any(b.kind for b in clusters):
        return ""
    counts: dict[str, int] = {}
    for b in clusters:
        phrase = _change(b)
        counts[phrase] = counts.get(phrase, 0) + 1
    phrases = [p if n == 1 else f"{p} ({n} places)" for p, n in counts.items()]
    rest = len(phrases) - _NAMED
    if rest > 0:
        phrases = phrases[:_NAMED] + [f"{rest} more change{'s' if rest != 1 else ''}"]
    return "; ".join(phrases)


def _as_result(item: Result | Mapping[str, Any]) -> Result | None:
    if isinstance(item, Result):
        return item
    try:
        return Result.from_dict(item)
    except (ValueError, TypeError, KeyError):
        return None


def details(item: Result | Mapping[str, Any]) -> str:
    """The sentence of `describe` without the status in front."""
    r = _as_result(item)
    if r is None:
        status = item.get("status") if isinstance(item, Mapping) else None
        return str(item.get("error") or status) if isinstance(item, Mapping) else str(item)
    if r.status == "error":
        return str(r.error)
    if r.status == "new":
        return "no baseline image"
    if r.status == "missing":
        return "no current image"
    if r.status == "unchanged":
        return "no pixel differs"
    height = r.current_size[1] if r.current_size else r.height
    bands = r.shift.bands if r.shift is not None else ()
    counted = f"{r.diff_pixels:,} {'pixel differs' if r.diff_pixels == 1 else 'pixels differ'} ({percent(r.diff_ratio)})"
    n = len(r.clusters)
    clusters = f"{n} cluster{'s' if n != 1 else ''}"
    if r.status == "shifted":
        parts = [shift_words(bands, r.width, height) if bands else "rows moved"]
    elif r.status == "size-changed":
        b, c = r.baseline_size or (0, 0), r.current_size or (0, 0)
        parts = [f"size {b[0]}x{b[1]} -> {c[0]}x{c[1]}", counted]
        if n:
            parts.append(clusters)
        changes = change_words(r.clusters)
        if changes:
            parts[0] += f"; {changes}"
    else:
        parts = [f"{clusters}, {counted}" if n else counted]
        if bands:
            parts[0] += f" after {_moved(bands, r.width)}"
        changes = change_words(r.clusters)
        if changes:
            parts[0] = f"{changes}; {parts[0]}"
    if r.ssim is not None:
        parts.append(f"SSIM {r.ssim:.4f}")
    return ", ".join(parts)


def describe(item: Result | Mapping[str, Any]) -> str:
    """One sentence about a pair, its status first: "shifted: 52 rows inserted at y=56, SSIM 1.0000"."""
    status = item.status if isinstance(item, Result) else item.get("status")
    return f"{status}: {details(item)}"


# C0 and C1 controls, DEL, bidirectional embeddings/overrides/isolates, line and paragraph separators, and the
# lone surrogates that stand for bytes of a file name that are not UTF-8.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    ch = match.group()
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"  # the undecodable byte itself
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: object) -> str:
    """`text` safe to write to a terminal or a log: nothing in it can move the cursor, clear the screen, start a
    new line or reorder what follows; such characters are shown as escapes (a backslash itself is shown as is)."""
    return _UNSAFE.sub(_escape, str(text))
