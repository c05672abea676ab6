"""The static HTML report: a folder that opens from the file system with no server.

    with ReportWriter("report", title="Screenshots") as report:
        for result in quillfen_tools.compare_many(pairs, diff=True, thumbnails=480):
            report.add(result)          # images are written now, the record kept on disk
    # report/index.html, report/report.json, report/images/...

Records are result objects (their diff image and thumbnails are taken from them) or plain mappings with the
keys of ``Result.to_dict()``; any ``status`` string is accepted ("new" and "missing" too), and ``name`` may be
any text (a relative path, a test id). The baseline and current images may be thumbnails or the images
themselves (PNG, WebP or JPEG bytes); the page places them on the pair's canvas whatever their resolution. Memory does not grow with the number of pairs: each pair's images go to files as it
is added and its record is appended to a scratch file that ``close()`` turns into the final files.
"""
from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import re
import shutil
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

from .._files import remove_listed, write_atomic
from ..results import STATUSES, Result

__all__ = ["ReportWriter", "write_report", "shared_image_path", "STATUSES"]

_ASSETS = Path(__file__).with_name("assets")
_ASSET_FILES = ("index.html", "report.css", "report.js")
_IMAGES = "images"
_SCRATCH = ".records.jsonl"


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
    """The pair as report.json gives it: the keys of `Result.to_dict()`, in order, with JSON-ready values."""
    status = record.get("status")
    if status in STATUSES:
        return Result.from_dict(record).to_dict()
    # A status this version does not know (from a newer writer, or a caller's own) is carried as it is.
    out = Result.from_dict({**record, "status": "error"}).to_dict()
    out["status"] = status
    return out


def _earlier_images(out_dir: Path) -> list[str]:
    """The image files an earlier report in `out_dir` wrote, as its records list them (relative paths)."""
    try:
        text = (out_dir / "report-data.js").read_text(encoding="utf-8")
        data = json.loads(text[text.index("{"): text.rindex("}") + 1])
    except (OSError, ValueError):
        return []
    pairs = data.get("pairs") if isinstance(data, dict) else None
    return [page[key] for page in pairs or () if isinstance(page, dict)
            for key in ("diff", "baseline_image", "current_image") if isinstance(page.get(key), str)]


class ReportWriter:
    """Writes a report folder pair by pair; ``close()`` (or leaving the ``with`` block) finishes it.

    ``meta`` may hold ``baseline_dir``, ``current_dir`` and any other JSON-ready facts shown in the page header.
    """

    def __init__(self, out_dir: str | os.PathLike[str], *, title: str = "quillfen report",
                 meta: Mapping[str, Any] | None = None):
        self.out_dir = Path(out_dir)
        if self.out_dir.exists() and not self.out_dir.is_dir():
            raise NotADirectoryError(f"report folder {str(self.out_dir)!r} is a file")
        self.title = title
        self.meta = dict(meta or {})
        self.count = 0
        self.summary: dict[str, int] = {s: 0 for s in STATUSES}
        self.out_dir.mkdir(parents=True, exist_ok=True)
        images = self.out_dir / _IMAGES
        # Images of an earlier report in the same folder would be stale: those its records list go, and nothing
        # else, so pointing --out at a folder of the user's (".", or one with an images/ of its own) deletes
        # nothing of theirs.
        remove_listed(self.out_dir, _earlier_images(self.out_dir))
        images.mkdir(exist_ok=True)
        self._scratch = open(self.out_dir / _SCRATCH, "w", encoding="utf-8")
        self._closed = False

    def __enter__(self) -> "ReportWriter":
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: Any) -> None:
        if not self._closed:
            self.close(interrupted=exc_type is not None and issubclass(exc_type, KeyboardInterrupt))

    def _write_image(self, stem: str, suffix: str, data: bytes | None) -> str | None:
        if not data:
            return None
        rel = f"{_IMAGES}/{stem}.{suffix}.{_image_kind(bytes(data[:12]))}"
        write_atomic(self.out_dir / rel, data, root=self.out_dir)
        return rel

    def add(self, item: Any, *, diff_png: bytes | None = None, baseline_image: bytes | None = None,
            current_image: bytes | None = None, diff_file: str | None = None, **extra: Any) -> dict[str, Any]:
        """Adds one pair; writes its images now. Returns the pair as report.json will hold it.

        Image bytes given as arguments take the place of the record's own. ``diff_file`` names a diff image
        already written into the report folder (a path relative to it, as ``shared_image_path`` gives it).
        ``extra`` keys (such as ``updated=True``) reach the page only, not report.json.
        """
        if self._closed:
            raise ValueError("the report is already closed")
        record, images = _as_record(item)
        for key, value in (("diff_png", diff_png), ("baseline_image", baseline_image),
                           ("current_image", current_image)):
            if value is not None:
                images[key] = value
                if key == "baseline_image":
                    images["baseline_canvas"] = False
        name = record.get("name")
        record["name"] = name = str(name) if name is not None else f"pair {self.count + 1}"
        status = str(record.get("status") or "error")
        record["status"] = status
        stem = f"{self.count:05d}-{_slug(name)}"
        diff_path = diff_file or self._write_image(stem, "diff", images["diff_png"])
        if diff_path is not None or "diff" not in record:
            record["diff"] = diff_path
        page = _json_record(record)
        base, cur = images["baseline_image"], images["current_image"]
        page["baseline_image"] = self._write_image(stem, "baseline", base)
        # The same bytes on both sides (an unchanged pair, mostly) are written once.
        same = base is not None and cur is not None and (base is cur or bytes(base) == bytes(cur))
        page["current_image"] = page["baseline_image"] if same else self._write_image(stem, "current", cur)
        if images.get("baseline_canvas") and page["baseline_image"]:
            page["baseline_covers_canvas"] = True
        page.update(extra)
        self._scratch.write(json.dumps(page, separators=(",", ":"), allow_nan=False) + "\n")
        self.count += 1
        self.summary[status] = self.summary.get(status, 0) + 1
        return _json_record(record)

    def _records(self) -> Iterator[dict[str, Any]]:
        with open(self.out_dir / _SCRATCH, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    yield json.loads(line)

    def close(self, *, interrupted: bool = False) -> Path:
        """Writes report.json, report-data.js and the page; returns the path of index.html."""
        if self._closed:
            return self.out_dir / "index.html"
        self._closed = True
        self._scratch.close()
        summary = dict(self.summary)
        # report.json: the summary and the pairs, streamed one record at a time.
        with open(self.out_dir / "report.json", "w", encoding="utf-8") as f:
            f.write('{"summary": ' + json.dumps(summary) + ',\n "pairs": [')
            for i, page in enumerate(self._records()):
                record = _json_record(page)
                f.write((",\n  " if i else "\n  ") + json.dumps(record, allow_nan=False))
            f.write("\n ]}\n" if self.count else "]}\n")
        # The page reads its data from a script file: a page opened from the file system may not fetch().
        header = {"title": self.title, "created": _dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M"),
                  "interrupted": bool(interrupted), **self.meta, "summary": summary}
        with open(self.out_dir / "report-data.js", "w", encoding="utf-8") as f:
            head = json.dumps(header, allow_nan=False)
            f.write("window.QUILLFEN_REPORT = " + _script_safe(head[:-1]) + ', "pairs": [\n')
            for i, page in enumerate(self._records()):
                f.write((",\n" if i else "") + _script_safe(json.dumps(page, separators=(",", ":"))))
            f.write("\n]};\n")
        for name in _ASSET_FILES:
            shutil.copyfile(_ASSETS / name, self.out_dir / name)
        os.remove(self.out_dir / _SCRATCH)
        return self.out_dir / "index.html"


def shared_image_path(name: str, suffix: str) -> str:
    """Where a process other than the writer's (a Dask worker) puts an image of the pair `name` in the report
    folder, relative to it: derived from the name alone, so the writer finds it without being told."""
    digest = hashlib.sha1(name.encode("utf-8", "surrogatepass")).hexdigest()[:12]
    return f"{_IMAGES}/w-{digest}-{_slug(name)}.{suffix}.png"


def _script_safe(text: str) -> str:
    # JSON is valid JavaScript except for these two line terminators inside strings; "</" cannot end a
    # separate script file, but is escaped anyway so the same text may be inlined.
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029").replace("</", "<\\/")


def write_report(out_dir: str | os.PathLike[str], records: Iterable[Any], *, title: str = "quillfen report",
                 meta: Mapping[str, Any] | None = None) -> Path:
    """Writes a whole report from an iterable of results or mappings; returns the path of index.html."""
    with ReportWriter(out_dir, title=title, meta=meta) as writer:
        for item in records:
            writer.add(item)
    return writer.out_dir / "index.html"
