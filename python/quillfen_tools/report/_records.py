"""The records of a report: what the page shows of each pair, the keys that group equal changes, and the files
an earlier report in the same folder wrote."""
from __future__ import annotations

import hashlib
import json
import os
import re
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

from .._files import read_regular
from ..results import STATUSES, Box, Result
from ..words import change_line

IMAGES = "images"
DATA = "data"

#: Keys report.json adds to those of `Result.to_dict()` for each pair.
_EXTRA_KEYS = ("current_copy", "group")


def _slug(name: str, limit: int = 60) -> str:
    """A file-name-safe, readable form of a pair name (the index in front keeps names unique)."""
    s = re.sub(r"[^A-Za-z0-9._-]+", "_", name.replace("/", "__").replace("\\", "__")).strip("._")
    if s.lower().endswith(".png"):
        s = s[:-4]
    return s[:limit] or "pair"


def _image_kind(data: bytes) -> str:
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return "png"
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "webp"
    if data[:3] == b"\xff\xd8\xff":
        return "jpg"
    return "bin"


_IMAGE_KEYS = {"diff_png": "diff_png", "baseline_image": "baseline_thumbnail",
               "current_image": "current_thumbnail"}


def _as_record(item: Any) -> tuple[dict[str, Any], dict[str, Any]]:
    """(record dict[str, Any], images) of a result object or a mapping; a mapping may carry image bytes under the names
    of a result object (diff_png, baseline_thumbnail, current_thumbnail) or as baseline_image / current_image.
    A baseline thumbnail of a result spans the whole canvas (padding included): images["baseline_canvas"] says
    so."""
    if isinstance(item, Mapping):
        record = dict(item)
        images: dict[str, Any] = {}
        for key, alias in _IMAGE_KEYS.items():
            value = record.pop(key, None)
            other = record.pop(alias, None)
            images[key] = value if value is not None else other
            if key == "baseline_image":
                images["baseline_canvas"] = value is None and other is not None
        return record, images
    to_dict = getattr(item, "to_dict", None)
    if to_dict is None:
        raise TypeError(f"a report record must be a result or a mapping, not {type(item).__name__}")
    record = dict(to_dict())
    images = {key: getattr(item, alias, None) for key, alias in _IMAGE_KEYS.items()}
    images["baseline_canvas"] = images["baseline_image"] is not None
    return record, images


def _json_record(record: dict[str, Any]) -> dict[str, Any]:
    """The pair as report.json gives it: the keys of `Result.to_dict()`, in order, with JSON-ready values, then
    the report's own (the copy to accept, the group key, the side files when there are some)."""
    status = record.get("status")
    if status in STATUSES:
        out = Result.from_dict(record).to_dict()
    else:
        # A status this version does not know (from a newer writer, or a caller's own) is carried as it is.
        out = Result.from_dict({**record, "status": "error"}).to_dict()
        out["status"] = status
    for key in _EXTRA_KEYS:
        out[key] = record.get(key)
    if record.get("current_side"):
        out["current_side"] = record["current_side"]
    return out


def _load(source: Any) -> bytes | None:
    """The bytes of a pair's file given as a path or as bytes; None when there is none or it cannot be read."""
    if source is None:
        return None
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    try:
        return read_regular(source)
    except OSError:
        return None


def _sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def _fmt_ratio(r: Any) -> str:
    if not isinstance(r, (int, float)):
        return ""
    pct = 100 * r
    if pct == 0:
        return "0 %"
    if pct < 0.01:
        return "< 0.01 %"
    return f"{pct:.2f} %" if pct < 10 else f"{pct:.1f} %"


def _list_stat(record: Mapping[str, Any]) -> str:
    """The short figure the page's list shows beside a name."""
    status = record.get("status")
    if status == "changed":
        return _fmt_ratio(record.get("diff_ratio"))
    if status == "size-changed":
        b, c = record.get("baseline_size"), record.get("current_size")
        if b and c:
            return f"{b[0]} × {b[1]} → {c[0]} × {c[1]}"
    if status == "shifted":
        bands = (record.get("shift") or {}).get("bands") or []
        ins = sum(b.get("rows", 0) for b in bands if b.get("kind") != "deleted")
        dele = sum(b.get("rows", 0) for b in bands if b.get("kind") == "deleted")
        parts = ([f"+{ins:,} rows"] if ins else []) + ([f"−{dele:,} rows"] if dele else [])
        return ", ".join(parts) or "shifted"
    return "error" if status == "error" else ""


def group_key(clusters: Iterable[Mapping[str, int]], baseline_png: bytes, current_png: bytes) -> str | None:
    """The key of a pair's change: for each cluster its box and the SHA-256 of the baseline's and the current
    image's pixels inside it (clipped to each image), the pair's key the hash of the sorted cluster keys. Pairs
    with equal keys changed in the same way. None when there is no cluster or an image does not decode."""
    from .. import _native

    boxes = [(int(c["x"]), int(c["y"]), int(c["width"]), int(c["height"])) for c in clusters]
    if not boxes:
        return None
    try:
        images = [_native.decode_rgba(baseline_png), _native.decode_rgba(current_png)]
    except (ValueError, MemoryError, OverflowError):
        return None
    keys = []
    for x, y, w, h in boxes:
        parts = [f"{x},{y},{w},{h}"]
        for pixels, iw, ih in images:
            view = memoryview(pixels)
            digest = hashlib.sha256(f"{iw}x{ih}".encode())
            x0, x1 = min(x, iw), min(x + w, iw)
            for row in range(min(y, ih), min(y + h, ih)):
                digest.update(view[(row * iw + x0) * 4:(row * iw + x1) * 4])
            parts.append(digest.hexdigest())
        keys.append(":".join(parts))
    return hashlib.sha256("\n".join(sorted(keys)).encode()).hexdigest()


def _earlier_files(out_dir: Path) -> list[str]:
    """The files an earlier report in `out_dir` wrote, as its records list them (relative paths): its images and
    copies, and its details files."""
    data = out_dir / DATA
    try:
        chunks = sorted(n for n in os.listdir(data) if re.fullmatch(r"pairs-\d{5}\.js", n))
    except OSError:
        return []
    files = [f"{DATA}/{n}" for n in chunks]
    for n in chunks:
        try:
            text = (data / n).read_text(encoding="utf-8")
            pages = json.loads(text[text.index("["): text.rindex("]") + 1])
        except (OSError, ValueError):
            continue
        for page in pages if isinstance(pages, list) else ():
            if not isinstance(page, dict):
                continue
            files += [page[k] for k in ("diff", "baseline_image", "current_image", "current_copy")
                      if isinstance(page.get(k), str)]
            side = page.get("current_side")
            if isinstance(side, dict):
                files += [v for v in side.values() if isinstance(v, str)]
    return files


def _add_change_lines(page: dict[str, Any]) -> None:
    """Gives each cluster of a page record the line that names it in the page's list of changes (a cluster the
    record describes badly gets none: the page then names it by its box)."""
    clusters = page.get("clusters")
    if not isinstance(clusters, list):
        return
    for c in clusters:
        if isinstance(c, dict):
            try:
                c["words"] = change_line(Box.from_dict(c))
            except (ValueError, TypeError, KeyError):
                pass


def _script_safe(text: str) -> str:
    # JSON is valid JavaScript except for these two line terminators inside strings; "</" cannot end a
    # separate script file, but is escaped anyway so the same text may be inlined.
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029").replace("</", "<\\/")
