"""The static HTML report: a folder that opens from the file system with no server.

    with ReportWriter("report", title="Screenshots") as report:
        for result in quillfen_tools.compare_many(pairs, diff=True, thumbnails=480):
            report.add(result)          # images are written now, the record kept on disk
    # report/index.html, report/report.json, report/images/...

Records are result objects (their diff image and thumbnails are taken from them) or plain mappings with the
keys of ``Result.to_dict()``; any ``status`` string is accepted ("new" and "missing" too), and ``name`` may be
any text (a relative path, a test id). The baseline and current images may be thumbnails or the images
themselves (PNG, WebP or JPEG bytes); the page places them on the pair's canvas whatever their resolution.

The report grows with the changes, not with the suite. Given the files of a pair (``baseline_file``,
``current_file``: paths or bytes), a pair that did not pass and a new pair keep an exact copy of the current PNG
(what ``quillfen accept`` writes over the baseline) and of the baseline; an unchanged pair keeps at most its
thumbnail, or a link to its files. Each pair records its baseline's path relative to the baseline folder, the
SHA-256 of both files, and a group key: pairs whose changes are the same (the same cluster boxes with the same
baseline and current pixels inside) share it, and the page shows them once.

Memory does not grow with the number of pairs: each pair's images go to files as it is added and its record is
appended to a scratch file that ``close()`` turns into the final files. The page reads a small index of every pair
(name, status, one line of figures) from ``report-data.js`` and each pair's details from ``data/pairs-N.js``
files of a thousand pairs, loaded when a pair of theirs is shown.
"""
from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import secrets
import shutil
import warnings
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

from .._files import remove_listed
from ..results import STATUSES, Result
from ._records import (
    DATA as _DATA, IMAGES as _IMAGES, _add_change_lines, _as_record, _earlier_files, _image_kind, _json_record,
    _list_stat, _load, _script_safe, _sha256, _slug, group_key,
)

__all__ = ["ReportWriter", "write_report", "shared_image_path", "group_key", "STATUSES", "CHUNK_SIZE"]

#: Pairs per details file of the page.
CHUNK_SIZE = 1000

_ASSETS = Path(__file__).with_name("assets")
_ASSET_FILES = ("index.html", "report.css", "report.js")
_SCRATCH = ".records.jsonl"
_SIDE = ".quillfen"


class ReportWriter:
    """Writes a report folder pair by pair; ``close()`` (or leaving the ``with`` block) finishes it.

    ``meta`` may hold ``baseline_dir``, ``current_dir`` and any other JSON-ready facts shown in the page header;
    the two folders are also what ``quillfen accept`` writes into and reads from. ``links`` (default True) makes an
    unchanged pair given by its files (and no thumbnail) show them through links instead of copies.
    """

    def __init__(self, out_dir: str | os.PathLike[str], *, title: str = "quillfen report",
                 meta: Mapping[str, Any] | None = None, links: bool = True, keep: Iterable[str] = ()):
        self.out_dir = Path(out_dir)
        if self.out_dir.exists() and not self.out_dir.is_dir():
            raise NotADirectoryError(f"report folder {str(self.out_dir)!r} is a file")
        self.title = title
        self.meta = dict(meta or {})
        self.links = links
        self.count = 0
        self.summary: dict[str, int] = {s: 0 for s in STATUSES}
        self._groups: dict[str, int] = {}
        self._keys: list[str] | None = None  # of a pair in report.json, in order
        self._shown = 0  # pairs with an image to show
        self.out_dir.mkdir(parents=True, exist_ok=True)
        # Files of an earlier report in the same folder would be stale: those its records list go, and nothing
        # else, so pointing --out at a folder of the user's (".", or one with an images/ of its own) deletes
        # nothing of theirs. Files in `keep` (the diff images of pairs a resumed run takes from its log) stay.
        kept = set(keep)
        remove_listed(self.out_dir, [f for f in _earlier_files(self.out_dir) if f not in kept])
        for sub in (_IMAGES, _DATA):
            (self.out_dir / sub).mkdir(exist_ok=True)
        self._scratch = open(self.out_dir / _SCRATCH, "w", encoding="utf-8")
        self._closed = False

    def __enter__(self) -> "ReportWriter":
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: Any) -> None:
        if not self._closed:
            self.close(interrupted=exc_type is not None and issubclass(exc_type, KeyboardInterrupt))

    def _write_file(self, rel: str, data: bytes) -> None:
        """Writes a file of the report (a name the writer made, inside its folder) through a temporary file beside
        it and a rename. Not `_files.write_atomic`: its side folder, made and removed for every file, costs more
        than the write itself in a folder of thousands of images."""
        path = self.out_dir / rel
        tmp = path.with_name(f".tmp-{os.getpid()}-{secrets.token_hex(6)}")
        try:
            with open(tmp, "xb") as f:
                f.write(data)
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise

    def _write_image(self, stem: str, suffix: str, data: bytes | None) -> str | None:
        if not data:
            return None
        rel = f"{_IMAGES}/{stem}.{suffix}.{_image_kind(bytes(data[:12]))}"
        self._write_file(rel, bytes(data))
        return rel

    def _relative(self, side: str, source: Any) -> str | None:
        """The path of a side's file relative to its folder (from ``meta``), POSIX style; None when outside."""
        folder = self.meta.get(f"{side}_dir")
        if folder is None or not isinstance(source, (str, os.PathLike)):
            return None
        rel = os.path.relpath(os.path.abspath(source), os.path.abspath(folder))
        return None if rel == ".." or rel.startswith(".." + os.sep) else Path(rel).as_posix()

    def _link(self, source: Any) -> str | None:
        if not isinstance(source, (str, os.PathLike)):
            return None
        return Path(os.path.relpath(os.path.abspath(source), os.path.abspath(self.out_dir))).as_posix()

    def _copy_side(self, stem: str, current: Any) -> dict[str, str] | None:
        """Copies the side files of the current image (``.quillfen/NAME.KIND`` beside it) into the report."""
        if not isinstance(current, (str, os.PathLike)):
            return None
        folder = Path(current).parent / _SIDE
        prefix = Path(current).name + "."
        try:
            names = sorted(n for n in os.listdir(folder) if n.startswith(prefix) and len(n) > len(prefix))
        except OSError:
            return None
        out = {}
        for n in names:
            data = _load(folder / n)
            if data is not None:
                kind = n[len(prefix):]
                rel = f"{_IMAGES}/{stem}.side.{_slug(kind, 40)}"
                self._write_file(rel, data)
                out[kind] = rel
        return out or None

    def add(self, item: Any, *, diff_png: bytes | None = None, baseline_image: bytes | None = None,
            current_image: bytes | None = None, diff_file: str | None = None, baseline_file: Any = None,
            current_file: Any = None, **extra: Any) -> dict[str, Any]:
        """Adds one pair; writes its images now. Returns the pair as report.json will hold it.

        Image bytes given as arguments take the place of the record's own. ``diff_file`` names a diff image
        already written into the report folder (a path relative to it, as ``shared_image_path`` gives it).
        ``baseline_file`` and ``current_file`` are the pair's files (paths, or their bytes): what the exact copies,
        the hashes, the group key and the links are made from. ``extra`` keys (such as ``updated=True``) reach the
        page only, not report.json.
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
        # A new pair has no baseline and a missing one no current image, whatever files exist by now (a resumed
        # run finds the baselines that an earlier --update added).
        for side, source, absent in (("baseline", baseline_file, "new"), ("current", current_file, "missing")):
            if record.get(f"{side}_path") is None and status != absent:
                record[f"{side}_path"] = self._relative(side, source)
        if record.get("baseline_path") is None and status != "new" and baseline_file is not None:
            record["baseline_path"] = name
        if record.get("current_path") is None and status != "missing" and current_file is not None:
            record["current_path"] = name

        # A pair to look at keeps exact copies of its files: the current one is what an accept writes.
        look = record.get("passed") is False or status in ("new", "missing")
        base_bytes = _load(baseline_file) if look and status != "new" else None
        cur_bytes = _load(current_file) if look and status != "missing" else None
        if base_bytes is not None and record.get("baseline_sha256") is None:
            record["baseline_sha256"] = _sha256(base_bytes)
        if cur_bytes is not None and record.get("current_sha256") is None:
            record["current_sha256"] = _sha256(cur_bytes)
        record["current_copy"] = self._write_image(stem, "current", cur_bytes)
        if record["current_copy"] is not None:
            record["current_side"] = self._copy_side(stem, current_file)
        if record.get("group") is None and record.get("clusters") and base_bytes and cur_bytes:
            record["group"] = group_key(record["clusters"], base_bytes, cur_bytes)
        if record.get("group"):
            self._groups[record["group"]] = self._groups.get(record["group"], 0) + 1

        page = _json_record(record)
        out = dict(page)
        if self._keys is None:
            self._keys = [k for k in page if k != "current_side"]
        base, cur = images["baseline_image"], images["current_image"]
        if base_bytes is not None:
            base, images["baseline_canvas"] = base_bytes, False
        page["baseline_image"] = self._write_image(stem, "baseline", base)
        if page["current_copy"] is not None:
            page["current_image"] = page["current_copy"]
        else:
            # The same bytes on both sides (an unchanged pair, mostly) are written once.
            same = base is not None and cur is not None and (base is cur or bytes(base) == bytes(cur))
            page["current_image"] = page["baseline_image"] if same else self._write_image(stem, "current", cur)
        if images.get("baseline_canvas") and page["baseline_image"]:
            page["baseline_covers_canvas"] = True
        if self.links:
            if page["baseline_image"] is None and status != "new":
                page["baseline_link"] = self._link(baseline_file)
            if page["current_image"] is None and status != "missing":
                page["current_link"] = self._link(current_file)
        if page["baseline_image"] or page["current_image"] or page["diff"] or page.get("baseline_link") \
                or page.get("current_link"):
            self._shown += 1
        page.update(extra)
        self._scratch.write(json.dumps(page, separators=(",", ":"), allow_nan=False) + "\n")
        self.count += 1
        self.summary[status] = self.summary.get(status, 0) + 1
        return out

    def _records(self) -> Iterator[dict[str, Any]]:
        with open(self.out_dir / _SCRATCH, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    yield json.loads(line)

    def close(self, *, interrupted: bool = False) -> Path:
        """Writes report.json, the page's data files and the page; returns the path of index.html."""
        if self._closed:
            return self.out_dir / "index.html"
        self._closed = True
        self._scratch.close()
        summary = dict(self.summary)
        statuses = list(summary)
        group_ids: dict[str, int] = {}
        for key, n in self._groups.items():
            if n > 1:
                group_ids[key] = len(group_ids)
        folders = {k: self.meta[k] for k in ("baseline_dir", "current_dir") if self.meta.get(k) is not None}
        # One pass over the records writes report.json (the summary and the pairs) and the page's data: a script
        # (a page opened from the file system may not fetch()) with the header and one short row per pair, and the
        # details in files of CHUNK_SIZE pairs that the page loads when it needs them. The two main files appear
        # whole, under their names, at the end.
        header = {"title": self.title, "created": _dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M"),
                  "interrupted": bool(interrupted), **self.meta, "summary": summary, "statuses": statuses,
                  "total": self.count, "chunk_size": CHUNK_SIZE, "groups": len(group_ids)}
        status_index = {s: i for i, s in enumerate(statuses)}
        chunk: list[str] = []

        def flush_chunk(index: int) -> None:
            self._write_file(f"{_DATA}/pairs-{index:05d}.js",
                             (f"QUILLFEN_CHUNK({index}, [\n" + ",\n".join(chunk) + "\n]);\n").encode())
            chunk.clear()

        tmp_json = self.out_dir / f".tmp-{os.getpid()}-report.json"
        tmp_data = self.out_dir / f".tmp-{os.getpid()}-report-data.js"
        try:
            with open(tmp_json, "w", encoding="utf-8") as rj, open(tmp_data, "w", encoding="utf-8") as rd:
                rj.write('{"summary": ' + json.dumps(summary) + ",\n")
                for key, value in folders.items():
                    rj.write(f" {json.dumps(key)}: {json.dumps(str(value))},\n")
                rj.write(' "pairs": [')
                head = json.dumps(header, allow_nan=False)
                rd.write("window.QUILLFEN_REPORT = " + _script_safe(head[:-1]) + ', "index": [\n')
                for i, page in enumerate(self._records()):
                    record = {k: page.get(k) for k in self._keys or ()}
                    if page.get("current_side"):
                        record["current_side"] = page["current_side"]
                    rj.write((",\n  " if i else "\n  ") + json.dumps(record, allow_nan=False))
                    group = group_ids.get(page.get("group") or "", -1)
                    page["group_id"] = group
                    flags = (1 if page.get("passed") else 0) | (2 if page.get("updated") else 0)
                    row = [page["name"], status_index[page["status"]], flags, _list_stat(page), group]
                    rd.write((",\n" if i else "") + _script_safe(json.dumps(row, separators=(",", ":"))))
                    _add_change_lines(page)
                    chunk.append(_script_safe(json.dumps(page, separators=(",", ":"))))
                    if len(chunk) == CHUNK_SIZE:
                        flush_chunk(i // CHUNK_SIZE)
                if chunk:
                    flush_chunk(self.count // CHUNK_SIZE)
                rj.write("\n ]}\n" if self.count else "]}\n")
                rd.write("\n]};\n")
            os.replace(tmp_json, self.out_dir / "report.json")
            os.replace(tmp_data, self.out_dir / "report-data.js")
        finally:
            for tmp in (tmp_json, tmp_data):
                try:
                    os.unlink(tmp)
                except OSError:
                    pass
        for name in _ASSET_FILES:
            shutil.copyfile(_ASSETS / name, self.out_dir / name)
        os.remove(self.out_dir / _SCRATCH)
        if self.count and not self._shown:
            warnings.warn(f"the report in {str(self.out_dir)!r} has no image to show: its results carry no diff "
                          "image, thumbnail or file (compare with diff=True and thumbnails=WIDTH, or give the files)",
                          UserWarning, stacklevel=2)
        return self.out_dir / "index.html"


def shared_image_path(name: str, suffix: str) -> str:
    """Where a process other than the writer's (a Dask worker) puts an image of the pair `name` in the report
    folder, relative to it: derived from the name alone, so the writer finds it without being told."""
    digest = hashlib.sha1(name.encode("utf-8", "surrogatepass")).hexdigest()[:12]
    return f"{_IMAGES}/w-{digest}-{_slug(name)}.{suffix}.png"


def write_report(out_dir: str | os.PathLike[str], records: Iterable[Any], *, title: str = "quillfen report",
                 meta: Mapping[str, Any] | None = None) -> Path:
    """Writes a whole report from an iterable of results or mappings; returns the path of index.html."""
    with warnings.catch_warnings():
        # The warning of a report with nothing to show points at the caller of write_report.
        warnings.simplefilter("ignore")
        writer = ReportWriter(out_dir, title=title, meta=meta)
        with writer:
            for item in records:
                writer.add(item)
            shown = writer._shown
    if writer.count and not shown:
        warnings.warn(f"the report in {str(writer.out_dir)!r} has no image to show: its results carry no diff "
                      "image, thumbnail or file (compare with diff=True and thumbnails=WIDTH)", UserWarning,
                      stacklevel=2)
    return writer.out_dir / "index.html"
