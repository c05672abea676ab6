"""Folders of screenshots: pairing by relative path, and the run behind `quillfen dirs`.

    entries = pair_folders("baseline", "current")            # sorted, every *.png of either side
    run = run_dirs(entries, report_dir="report", jobs=4)      # streams through compare_many
    run.summary, run.exit_code

Every pair gets one status: those of `compare` ("unchanged", "shifted", "changed", "size-changed", "error") and
"new" (only in the current folder) or "missing" (only in the baseline folder). Results are handed on as each pair
finishes, so memory does not grow with the number of pairs.
"""
from __future__ import annotations

import dataclasses
import fnmatch
import hashlib
import json
import os
import stat
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, IO

import quillfen

from ._files import SIDE_DIR, clean_side_dir, inside, read_regular, write_atomic
from ._options import Options
from .api import run_many
from .distributed import WriteDiffImage
from .inputs import InputError, check_png, png_size
from .report import ReportWriter, shared_image_path
from .results import STATUSES, Result, exit_code

__all__ = ["Entry", "FolderError", "pair_folders", "run_dirs", "DirsRun"]



# Older versions wrote their temporaries beside the baselines as .quillfen-XXXX.png.
_OLD_TEMPORARY = ".quillfen-"


class FolderError(ValueError):
    """The folders given cannot be compared (not a folder, the same folder twice, no PNG file at all)."""


@dataclass(frozen=True, slots=True)
class Entry:
    """One name and its file on each side (None where the side has no such file)."""

    name: str
    baseline: str | None
    current: str | None
    problem: str | None = None  # why the entry cannot be compared, found by the walk (a link out of the folder)


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


def _png_files(root: Path, skip: Sequence[Path], role: str) -> tuple[dict[str, str], dict[str, str]]:
    """(files, problems) under root, by relative POSIX path: every *.png file (subfolders included, `skip` folders
    and the side folders .quillfen/ left out), and the links that lead out of the folder, which are never
    followed. Links to files and folders inside root are followed (each folder walked once)."""
    real_root = os.path.realpath(root)
    skip_real = {os.path.realpath(s) for s in skip}
    found: dict[str, str] = {}
    problems: dict[str, str] = {}
    errors: list[OSError] = []
    walked: set[str] = set()
    stack = [(str(root), "")]
    while stack:
        folder, prefix = stack.pop()
        real = os.path.realpath(folder)
        if real in walked or real in skip_real:
            continue
        walked.add(real)
        try:
            with os.scandir(folder) as it:
                items = sorted(it, key=lambda e: e.name)
        except OSError as e:
            errors.append(e)
            continue
        folders = []
        for item in items:
            name = prefix + item.name
            if item.name == SIDE_DIR and item.is_dir(follow_symlinks=False):
                clean_side_dir(folder)  # temporaries of a killed writer; side files are not screenshots
                continue
            if item.name.startswith(_OLD_TEMPORARY):
                continue  # a temporary an older version left beside the baselines: never a screenshot
            try:
                is_folder = item.is_dir()
            except OSError:
                is_folder = False
            if item.is_symlink() and not inside(item.path, real_root):
                if is_folder or item.name.lower().endswith(".png"):
                    problems[name] = (f"{role} {item.path!r} is a symbolic link to "
                                      f"{os.path.realpath(item.path)!r}, outside the {role} folder: not followed")
                continue
            if is_folder:
                folders.append((item.path, name + "/"))
            elif item.name.lower().endswith(".png"):
                found[name] = item.path
        stack.extend(reversed(folders))
    if errors and not found:
        first = errors[0]
        raise FolderError(f"cannot read folder {str(first.filename)!r}: {first.strerror or first}")
    return found, problems


def pair_folders(baseline_dir: str | os.PathLike[str], current_dir: str | os.PathLike[str], *,
                 skip: Sequence[str | os.PathLike[str]] = ()) -> list[Entry]:
    """Pairs the *.png files of two folders by relative path, sorted by name.

    Raises FolderError when either is not a readable folder, both are the same folder, or the current folder
    holds no PNG file. When one folder lies inside the other, it is left out of the other's walk (as are the `skip` folders,
    such as a report folder written inside one of them, and the side folders .quillfen/). Symbolic links whose
    target lies inside the folder are followed; a link that leads out of it is an entry whose `problem` says so.
    """
    b = _check_folder(baseline_dir, "baseline")
    c = _check_folder(current_dir, "current")
    if os.path.samefile(b, c):
        raise FolderError(f"baseline and current are the same folder ({str(b)!r}): nothing to compare")
    skips = [Path(s) for s in skip]
    baseline, baseline_problems = _png_files(b, skips + [c], "baseline")
    current, current_problems = _png_files(c, skips + [b], "current")
    if not baseline and not current and not baseline_problems and not current_problems:
        raise FolderError(f"no *.png file in {str(b)!r} or {str(c)!r}")
    if not current and not current_problems:
        # Every baseline "missing" would pass by default: a capture step that failed must not look like success.
        raise FolderError(f"no screenshots in {os.fspath(current_dir)} (no *.png file below it); "
                          "were the screenshots taken?")
    names = sorted(set(baseline) | set(current) | set(baseline_problems) | set(current_problems))
    return [Entry(n, baseline.get(n), current.get(n), baseline_problems.get(n) or current_problems.get(n))
            for n in names]


def _one_sided(entry: Entry, thumbnail_width: int | None, passed: bool) -> tuple[Result, bytes | None]:
    """The result of a file found on one side only, with its image for the report (the file itself, or its
    thumbnail when `thumbnail_width` is set); "error" when it cannot be read or decoded (checked always, so the
    status is the same with or without a report)."""
    side = "current" if entry.baseline is None else "baseline"
    path = entry.current if side == "current" else entry.baseline
    assert path is not None
    try:
        data = read_regular(path)
        if thumbnail_width:
            image: bytes | None = quillfen.thumbnail(data, thumbnail_width)
            size = png_size(data) or (0, 0)
        else:
            image = data
            size = check_png(data, f"{side} {path!r}")
    except (OSError, ValueError) as e:
        message = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
        if isinstance(e, InputError):
            return _error(entry, message), None
        return _error(entry, f"{side} {path!r}: {message}"), None
    digest = hashlib.sha256(data).hexdigest()
    result = Result(name=entry.name, status="new" if side == "current" else "missing", passed=passed,
                    width=size[0], height=size[1])
    if side == "current":
        result = dataclasses.replace(result, current_size=size, current_path=entry.name, current_sha256=digest)
    else:
        result = dataclasses.replace(result, baseline_size=size, baseline_path=entry.name, baseline_sha256=digest)
    return result, image


def _error(entry: Entry, message: str) -> Result:
    return Result(name=entry.name, status="error", passed=False, error=message,
                  baseline_path=entry.name if entry.baseline is not None else None,
                  current_path=entry.name if entry.current is not None else None)


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


def _file_or_none(path: str | None) -> bytes | None:
    try:
        return read_regular(path) if path is not None else None
    except OSError:
        return None


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
    resumed: int = 0
    report: Path | None = None
    records: _Spool = field(default_factory=_Spool)

    @property
    def exit_code(self) -> int:
        """0 when everything passed, 1 when a pair failed, 2 when a file could not be read or decoded,
        130 when the run was stopped by Ctrl-C."""
        return exit_code(failed=self.failed, errors=self.errors, interrupted=self.interrupted)

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
    client: Any = None,
    on_result: Callable[[DirsRun, Result], None] | None = None,
    resume: bool = False,
    options: Options | None = None,
    **keywords: Any,
) -> DirsRun:
    """Compares every entry (pairs as `compare_many` does, one-sided files here), in name order.

    `options` (or the keyword options of `compare_many`) are the same for every pair. With `report_dir`, diff
    images of the pairs that are not unchanged are made and the report is written there, also when Ctrl-C stops
    the run (with the pairs done by then); it keeps exact copies of the files of the pairs that did not pass and
    of new ones, and for unchanged pairs links to their files, or lossless WebP thumbnails `options.thumbnails`
    pixels wide when that is given (at the cost of making them). With `update`, the current file is copied over
    the baseline of every pair that did not pass (when the current file decodes) and new files are added to
    `baseline_dir`; such pairs then count as passed (missing files are left alone); `update_only` globs (fnmatch,
    matched against the name) narrow that to the names matching one of them. `on_result` is called with every
    result as it is done.
    The report folder keeps a log of the pairs done (resume.LOG_NAME); with `resume`, a pair logged there whose
    files have not changed since is taken from it instead of being compared (resume.ResumeError, a ValueError,
    when the options differ).
    Raises ValueError/TypeError for options out of range before anything is compared.
    """
    opts = options if options is not None else Options.make(**keywords)
    run = DirsRun(total=len(entries))
    with_report = report_dir is not None
    thumbnail_width = opts.thumbnails if with_report else None
    opts = opts.replace(diff="changes" if with_report else False, thumbnails=thumbnail_width)
    # Files that cannot be opened as regular files are found here, before anything reads them: a FIFO named
    # *.png would block the reader, a dangling link fails. Only these (few) are kept.
    unusable = {i: msg for i, e in enumerate(entries) if (msg := e.problem or _unusable(e)) is not None}
    replay: set[int] = set()  # entries taken from the progress log of a stopped run, filled before the first pair
    pairs = ((e.name, e.baseline, e.current) for i, e in enumerate(entries)
             if e.baseline is not None and e.current is not None and i not in unusable and i not in replay)
    # On a Dask cluster the workers write the diff images into the report folder themselves, so those never
    # travel through the scheduler.
    workers_write = client is not None and report_dir is not None
    finish = WriteDiffImage(os.path.abspath(report_dir)) if workers_write and report_dir is not None else None
    results = run_many(pairs, opts, client=client, finish=finish)
    # The options are valid by now: only then is an earlier run's log read (or replaced) and the report begun.
    log, stamps = None, []
    if report_dir is not None:
        from .resume import ProgressLog, file_stamp

        compared = {k: v for k, v in opts.keywords().items() if k not in ("diff", "thumbnails", "jobs")}
        settings = {"compare": compared, "update": update, "update_only": sorted(update_only),
                    "fail_on_new": fail_on_new, "fail_on_missing": fail_on_missing, "thumbnails": thumbnail_width,
                    "meta": report_meta or {}}
        try:
            log = ProgressLog(report_dir, settings, resume=resume)
        except BaseException:
            getattr(results, "close", lambda: None)()
            raise
        stamps = [(file_stamp(e.baseline), file_stamp(e.current)) for e in entries]
        if resume:
            replay.update(i for i, e in enumerate(entries) if i not in unusable and log.finished(e.name, stamps[i]))
    writer = None
    if report_dir is not None:
        assert log is not None
        writer = ReportWriter(report_dir, meta=report_meta, keep=log.kept_files(entries[i].name for i in replay))
    try:
        for i, entry in enumerate(entries):
            images: dict[str, bytes | None] = {}
            replayed = i in replay
            updated = False
            if i in unusable:
                result = _error(entry, unusable[i])
            elif replayed:
                assert log is not None
                result, updated = log.logged(entry.name)
                images = _replay_images(entry, result, thumbnail_width)
                if updated:
                    run.updated.append(entry.name)
            elif entry.baseline is not None and entry.current is not None:
                result = next(results)
                images = {"diff_png": result.diff_png, "baseline_image": result.baseline_thumbnail,
                          "current_image": result.current_thumbnail}
                # Paths relative to the folders compared: the same record wherever the folders are.
                result = dataclasses.replace(
                    result, baseline_path=entry.name, current_path=entry.name, diff_png=None,
                    baseline_thumbnail=None, current_thumbnail=None)
            else:
                one_passes = not (fail_on_new if entry.baseline is None else fail_on_missing)
                result, thumb = _one_sided(entry, thumbnail_width if with_report else None, one_passes)
                key = "current_image" if entry.baseline is None else "baseline_image"
                images = {key: thumb}

            if not replayed and update and entry.current is not None \
                    and (not result.passed or result.status == "new") \
                    and (not update_only or any(fnmatch.fnmatchcase(entry.name, g) for g in update_only)):
                updated = _update(run, entry, result, baseline_dir)

            if writer is not None:
                diff_file = None
                if replayed:
                    diff_file = result.diff_path
                elif workers_write and result.status not in ("unchanged", "error", "new", "missing"):
                    diff_file = shared_image_path(entry.name, "diff")
                page = writer.add(result, **images, diff_file=diff_file, baseline_file=entry.baseline,
                                  current_file=entry.current, updated=updated or None)
                result = dataclasses.replace(result, diff_path=page.get("diff"))
            if log is not None and not replayed:
                done = stamps[i]
                if updated:
                    # The new baseline is logged as it is now, so that resuming does not take it for a change.
                    target = entry.baseline or os.path.join(baseline_dir or ".", *entry.name.split("/"))
                    done = (file_stamp(target), done[1])
                log.add(entry.name, done, result.to_dict(), updated)
            run.done += 1
            run.summary[result.status] = run.summary.get(result.status, 0) + 1
            if result.status == "error" and not updated:
                run.errors += 1
            elif not result.passed and not updated:
                run.failed += 1
            run.records.add(result.to_dict())
            if on_result is not None:
                on_result(run, result)
    except KeyboardInterrupt:
        run.interrupted = True
    finally:
        close = getattr(results, "close", None)
        if close is not None:
            close()
        if writer is not None:
            run.report = writer.close(interrupted=run.interrupted)
        if log is not None:
            run.resumed = log.resumed
            log.close()
    return run


def _replay_images(entry: Entry, result: Result, thumbnail_width: int | None) -> dict[str, bytes | None]:
    """The report's images of a pair taken from the progress log: as a run comparing it would give them (its
    thumbnails; the writer copies or links the files themselves), the diff image being in the report folder
    already."""
    if result.status == "error" or not thumbnail_width:
        return {}
    images: dict[str, bytes | None] = {}
    for key, path, skip in (("baseline_image", entry.baseline, "new"), ("current_image", entry.current, "missing")):
        data = _file_or_none(path) if result.status != skip else None
        if data is not None and thumbnail_width:
            try:
                data = quillfen.thumbnail(data, thumbnail_width)
            except ValueError:
                data = None
        images[key] = data
    return images


def _update(run: DirsRun, entry: Entry, result: Result, baseline_dir: str | os.PathLike[str] | None) -> bool:
    """Copies the current file over the baseline (or into the baseline folder for a new file). A current file
    that does not decode is never copied, nor one that is not a regular file; nothing is written outside the
    baseline folder or through a symbolic link."""
    assert entry.current is not None
    if result.status == "missing":
        return False
    try:
        data = read_regular(entry.current)
        if result.status == "error":
            check_png(data)
    except (OSError, ValueError):
        run.update_failed.append(entry.name)
        return False
    target = entry.baseline
    if target is None:
        if baseline_dir is None:
            return False
        target = os.path.join(baseline_dir, *entry.name.split("/"))
    try:
        write_atomic(target, data, root=baseline_dir)
    except OSError:
        run.update_failed.append(entry.name)
        return False
    run.updated.append(entry.name)
    return True
