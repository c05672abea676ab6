"""Folders of screenshots: pairing by relative path, and the run behind `quillfen dirs`.

    entries = pair_folders("baseline", "current")            # sorted, every *.png of either side
    run = run_dirs(entries, report_dir="report", jobs=4)      # streams through compare_many
    run.summary, run.exit_code

Every pair gets one status: those of `compare` ("unchanged", "shifted", "changed", "size-changed", "error") and
"new" (only in the current folder) or "missing" (only in the baseline folder). Results are handed on as each pair
finishes, so memory does not grow with the number of pairs.
"""
from __future__ import annotations

import fnmatch
import json
import os
import shutil
import stat
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, IO

import quillfen

from .api import compare_many
from .report import STATUSES, ReportWriter, shared_image_path

__all__ = ["Entry", "FolderError", "pair_folders", "run_dirs", "DirsRun"]



class FolderError(ValueError):
    """The folders given cannot be compared (not a folder, the same folder twice, no PNG file at all)."""


@dataclass(frozen=True, slots=True)
class Entry:
    """One name and its file on each side (None where the side has no such file)."""

    name: str
    baseline: str | None
    current: str | None


def _check_folder(path: str | os.PathLike[str], role: str) -> Path:
    p = Path(path)
    try:
        st = os.stat(p)
    except FileNotFoundError:
        raise FolderError(f"{role} folder {str(p)!r} does not exist") from None
    except OSError as e:
        raise FolderError(f"{role} folder {str(p)!r}: {e.strerror or e}") from None
    if not stat.S_ISDIR(st.st_mode):
        raise FolderError(f"{role} {str(p)!r} is a file, not a folder")
    if not os.access(p, os.R_OK | os.X_OK):
        raise FolderError(f"{role} folder {str(p)!r} cannot be read")
    return p


def _png_files(root: Path, skip: Sequence[Path]) -> dict[str, str]:
    """Relative POSIX path -> path, for every *.png under root (subfolders included, `skip` folders left out)."""
    skip_real = {os.path.realpath(s) for s in skip}
    found: dict[str, str] = {}
    errors: list[OSError] = []
    for dirpath, dirnames, filenames in os.walk(root, onerror=errors.append):
        dirnames[:] = sorted(d for d in dirnames if os.path.realpath(os.path.join(dirpath, d)) not in skip_real)
        for f in filenames:
            if f.lower().endswith(".png"):
                full = os.path.join(dirpath, f)
                found[Path(os.path.relpath(full, root)).as_posix()] = full
        # Folders named *.png are not images; a symbolic link to a file is listed by os.walk as a file already.
    if errors and not found:
        e = errors[0]
        raise FolderError(f"cannot read folder {str(e.filename)!r}: {e.strerror or e}")
    return found


def pair_folders(baseline_dir: str | os.PathLike[str], current_dir: str | os.PathLike[str], *,
                 skip: Sequence[str | os.PathLike[str]] = ()) -> list[Entry]:
    """Pairs the *.png files of two folders by relative path, sorted by name.

    Raises FolderError when either is not a readable folder, both are the same folder, or neither holds a PNG
    file. When one folder lies inside the other, it is left out of the other's walk (as are the `skip` folders,
    such as a report folder written inside one of them).
    """
    b = _check_folder(baseline_dir, "baseline")
    c = _check_folder(current_dir, "current")
    if os.path.samefile(b, c):
        raise FolderError(f"baseline and current are the same folder ({str(b)!r}): nothing to compare")
    skips = [Path(s) for s in skip]
    baseline = _png_files(b, skips + [c])
    current = _png_files(c, skips + [b])
    if not baseline and not current:
        raise FolderError(f"no *.png file in {str(b)!r} or {str(c)!r}")
    names = sorted(set(baseline) | set(current))
    return [Entry(n, baseline.get(n), current.get(n)) for n in names]


def _png_size(data: bytes) -> tuple[int, int]:
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def _one_sided(entry: Entry, thumbnail_width: int | None, passed: bool) -> tuple[dict[str, Any], bytes | None]:
    """The record of a file found on one side only, with its image for the report (the file itself, or its
    thumbnail when `thumbnail_width` is set); "error" when it cannot be read or decoded (checked always, so the
    status is the same with or without a report)."""
    side = "current" if entry.baseline is None else "baseline"
    path = entry.current if side == "current" else entry.baseline
    assert path is not None
    status = "new" if side == "current" else "missing"
    record: dict[str, Any] = {
        "name": entry.name, "status": status, "passed": passed, "diff_pixels": 0, "diff_ratio": 0.0,
        "ssim": None, "width": 0, "height": 0, "baseline_size": None, "current_size": None, "clusters": [],
        "shift": None, "error": None, "diff": None,
    }
    thumb = None
    try:
        data = _read_file(path)
        thumb = quillfen.thumbnail(data, thumbnail_width or 1)
    except (OSError, ValueError) as e:
        message = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        record.update(status="error", passed=False, error=f"{side} {path!r}: {message}")
        return record, None
    size = _png_size(data)
    record.update(width=size[0], height=size[1])
    record[f"{side}_size"] = list(size)
    return record, thumb if thumbnail_width else data


def _unusable(entry: Entry) -> str | None:
    """Why a side of the entry is not a readable regular file, or None."""
    for side, path in (("baseline", entry.baseline), ("current", entry.current)):
        if path is None:
            continue
        try:
            st = os.stat(path)
        except OSError as e:
            return f"{side} {path!r}: {e.strerror or e}"
        if not stat.S_ISREG(st.st_mode):
            return f"{side} {path!r}: not a regular file"
    return None


def _error_record(name: str, message: str) -> dict[str, Any]:
    return {"name": name, "status": "error", "passed": False, "diff_pixels": 0, "diff_ratio": 0.0, "ssim": None,
            "width": 0, "height": 0, "baseline_size": None, "current_size": None, "clusters": [], "shift": None,
            "error": message, "diff": None}


def _read_file(path: str) -> bytes:
    # Only regular files are read: a FIFO or a device named *.png would block or never end.
    with open(path, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise OSError(0, "not a regular file", path)
        return f.read()


def _file_or_none(path: str | None) -> bytes | None:
    try:
        return _read_file(path) if path is not None else None
    except OSError:
        return None


def _decodes(path: str) -> bool:
    try:
        quillfen.thumbnail(_read_file(path), 1)
        return True
    except (OSError, ValueError):
        return False


def _copy_over(src: str, dst: str) -> None:
    """Copies src to dst through a temporary file in dst's folder, so dst is never left half written."""
    folder = os.path.dirname(dst) or "."
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".quillfen-", suffix=".png", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out, open(src, "rb") as f:
            shutil.copyfileobj(f, out)
        os.replace(tmp, dst)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


class _Spool:
    """The JSON records of a run, one line each, in a temporary file: the outputs that need every record (the
    JSON on stdout, JUnit) read them back at the end without holding them in memory."""

    def __init__(self) -> None:
        self.file: IO[str] = tempfile.TemporaryFile("w+", encoding="utf-8")

    def add(self, record: dict[str, Any]) -> None:
        self.file.write(json.dumps(record, allow_nan=False) + "\n")

    def __iter__(self) -> Iterator[dict[str, Any]]:
        self.file.flush()
        self.file.seek(0)
        for line in self.file:
            yield json.loads(line)
        self.file.seek(0, os.SEEK_END)

    def close(self) -> None:
        self.file.close()


@dataclass
class DirsRun:
    """What a folder run found: counts per status, the outcome, and the records (spooled on disk)."""

    total: int
    summary: dict[str, int] = field(default_factory=lambda: {s: 0 for s in STATUSES})
    done: int = 0
    failed: int = 0
    errors: int = 0
    updated: list[str] = field(default_factory=list)
    update_failed: list[str] = field(default_factory=list)
    interrupted: bool = False
    report: Path | None = None
    records: _Spool = field(default_factory=_Spool)

    @property
    def exit_code(self) -> int:
        """0 when everything passed, 1 when a pair failed, 2 when a file could not be read or decoded,
        130 when the run was stopped by Ctrl-C."""
        if self.interrupted:
            return 130
        if self.errors:
            return 2
        return 1 if self.failed else 0

    def json_document(self, out: IO[str]) -> None:
        """Writes {"summary": ..., "pairs": [...]} (the form of report.json) to `out`."""
        out.write('{"summary": ' + json.dumps(self.summary) + ',\n "pairs": [')
        for i, record in enumerate(self.records):
            out.write((",\n  " if i else "\n  ") + json.dumps(record, allow_nan=False))
        out.write("\n ]}\n" if self.done else "]}\n")


def run_dirs(
    entries: Sequence[Entry],
    *,
    baseline_dir: str | os.PathLike[str] | None = None,
    report_dir: str | os.PathLike[str] | None = None,
    report_meta: dict[str, Any] | None = None,
    update: bool = False,
    update_only: Sequence[str] = (),
    fail_on_new: bool = False,
    fail_on_missing: bool = False,
    jobs: int | None = None,
    client: Any = None,
    on_result: Callable[[DirsRun, dict[str, Any]], None] | None = None,
    thumbnail_width: int | None = None,
    **options: Any,
) -> DirsRun:
    """Compares every entry (pairs through `compare_many`, one-sided files here), in name order.

    `options` are the tolerance options of `compare`. With `report_dir`, diff images of the pairs that are not
    unchanged are made and the report is
    written there, also when Ctrl-C stops the run (with the pairs done by then); it holds copies of the images
    (one when both sides are the same file content), or lossless WebP thumbnails `thumbnail_width` pixels wide
    when that is given (a smaller report, at the cost of making them). With `update`, the
    current file is copied over the baseline of every pair that did not pass (when the current file decodes) and
    new files are added to `baseline_dir`; such pairs then count as passed (missing files are left alone);
    `update_only` globs (fnmatch, matched against the name) narrow that to the names matching one of them. `on_result` is called with
    every record as it is done.
    Raises ValueError/TypeError for options out of range before anything is compared.
    """
    run = DirsRun(total=len(entries))
    with_report = report_dir is not None
    # Files that cannot be opened as regular files are found here, before anything reads them: a FIFO named
    # *.png would block the reader, a dangling link fails. Only these (few) are kept.
    unusable = {i: msg for i, e in enumerate(entries) if (msg := _unusable(e)) is not None}
    pairs = ((e.name, e.baseline, e.current) for i, e in enumerate(entries)
             if e.baseline is not None and e.current is not None and i not in unusable)
    writer = ReportWriter(report_dir, meta=report_meta) if report_dir is not None else None
    thumbnails = thumbnail_width if with_report and thumbnail_width else None
    # On a Dask cluster the workers write the diff images into the report folder themselves, so those never
    # travel through the scheduler.
    workers_write = client is not None and report_dir is not None
    if workers_write:
        from . import distributed

        results = distributed.compare_many(
            client, pairs, dict(options, diff="changes", thumbnails=thumbnails),
            finish=distributed.WriteDiffImage(os.path.abspath(report_dir)),  # type: ignore[arg-type]
        )
    else:
        results = compare_many(pairs, jobs=jobs, client=client, diff="changes" if with_report else False,
                               thumbnails=thumbnails, **options)
    try:
        for i, entry in enumerate(entries):
            images: dict[str, bytes | None] = {}
            if i in unusable:
                record = _error_record(entry.name, unusable[i])
            elif entry.baseline is not None and entry.current is not None:
                result = next(results)
                record = result.to_dict()
                record["diff"] = None
                images = {"diff_png": result.diff_png, "baseline_image": result.baseline_thumbnail,
                          "current_image": result.current_thumbnail}
            else:
                one_passes = not (fail_on_new if entry.baseline is None else fail_on_missing)
                record, thumb = _one_sided(entry, thumbnail_width if with_report else None, one_passes)
                key = "current_image" if entry.baseline is None else "baseline_image"
                images = {key: thumb}

            updated = False
            if update and entry.current is not None and (not record["passed"] or record["status"] == "new") \
                    and (not update_only or any(fnmatch.fnmatchcase(entry.name, g) for g in update_only)):
                updated = _update(run, entry, record, baseline_dir)

            if writer is not None:
                diff_file = None
                if workers_write and record["status"] not in ("unchanged", "error", "new", "missing") \
                        and i not in unusable:
                    diff_file = shared_image_path(entry.name, "diff")
                record = writer.add(record, **images, diff_file=diff_file, baseline_file=entry.baseline,
                                    current_file=entry.current, updated=updated or None)
            run.done += 1
            run.summary[record["status"]] = run.summary.get(record["status"], 0) + 1
            if record["status"] == "error" and not updated:
                run.errors += 1
            elif not record["passed"] and not updated:
                run.failed += 1
            run.records.add(record)
            if on_result is not None:
                on_result(run, record)
    except KeyboardInterrupt:
        run.interrupted = True
    finally:
        close = getattr(results, "close", None)
        if close is not None:
            close()
        if writer is not None:
            run.report = writer.close(interrupted=run.interrupted)
    return run


def _update(run: DirsRun, entry: Entry, record: dict[str, Any], baseline_dir: str | os.PathLike[str] | None) -> bool:
    """Copies the current file over the baseline (or into the baseline folder for a new file). A current file
    that does not decode is never copied."""
    assert entry.current is not None
    if record["status"] == "missing":
        return False
    if record["status"] == "error" and not _decodes(entry.current):
        run.update_failed.append(entry.name)
        return False
    target = entry.baseline
    if target is None:
        if baseline_dir is None:
            return False
        target = os.path.join(baseline_dir, *entry.name.split("/"))
    try:
        _copy_over(entry.current, target)
    except OSError:
        run.update_failed.append(entry.name)
        return False
    run.updated.append(entry.name)
    return True
