"""Accepting changes from a report: the current image of a pair becomes its baseline.

    report = Report.load("report")                       # report.json of `quillfen dirs --out` or of pytest
    outcome = accept(report, ["ui/header.png"])          # or select(report, all=True), select(report, statuses=[...])
    outcome.accepted, outcome.refused                    # names; (name, reason) pairs

One function does the work for the review server and for `quillfen accept`. For each name it checks that the name
is a pair of the report, that its baseline path stays inside the baseline folder, and that the current image
(the exact copy kept in the report, or else the file in the current folder) still has the SHA-256 the report
recorded and decodes; then it writes the baseline through a temporary file in the same folder and a rename, so a
baseline is always its old file or its new one. A new pair's image becomes its baseline; a missing pair's baseline
is moved aside into the report folder (``removed/``), never deleted. Side files of a baseline (``.quillfen/NAME.*``
beside it) follow it: replaced by the current image's side files when the report kept some, dropped when the new
image's size differs from the old one's, kept otherwise.

A `Journal` remembers every baseline as it was before its first accept (hard links or copies in the report folder),
so `undo` can put it back for as long as the journal lives (the review server keeps one per run).
"""
from __future__ import annotations

import fcntl
import hashlib
import json
import os
import threading
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ._files import SIDE_DIR, read_regular, write_atomic

__all__ = ["Report", "ReportError", "Outcome", "Journal", "accept", "undo", "select", "ACCEPTABLE"]

#: Statuses whose pairs `select(all=True)` takes when they did not pass; a new pair is always taken.
ACCEPTABLE = ("changed", "size-changed", "shifted", "new", "missing", "error")

_SIDE = SIDE_DIR           # side files of a baseline: <folder>/.quillfen/<file name>.<kind>
_REMOVED = "removed"       # where a missing pair's baseline is moved aside, inside the report folder
_UNDO = ".undo"            # the journal's saved baselines, inside the report folder
_LOCK = ".accept.lock"
_MAX_IMAGE = 1 << 30       # no screenshot is a gigabyte; anything larger is not read


class ReportError(ValueError):
    """The report folder cannot be used for accepting (no report.json, no baseline folder known, bad JSON)."""


def _sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def _png_size(data: bytes) -> tuple[int, int] | None:
    if data[:8] != b"\x89PNG\r\n\x1a\n" or len(data) < 24:
        return None
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def _decodes(data: bytes) -> bool:
    from . import _native

    try:
        _native.decode_rgba(data)
        return True
    except (ValueError, MemoryError, OverflowError):
        return False


def _inside(root: Path, path: Path) -> bool:
    root_real = os.path.realpath(root)
    real = os.path.realpath(path)
    return real == root_real or real.startswith(root_real.rstrip(os.sep) + os.sep)


def _relative_parts(rel: str) -> list[str] | None:
    """The parts of a relative POSIX path, or None when it is absolute or climbs out with '..'."""
    if not rel or rel.startswith("/") or "\\" in rel or "\x00" in rel:
        return None
    parts = [p for p in rel.split("/") if p not in ("", ".")]
    if not parts or any(p == ".." for p in parts):
        return None
    return parts


# ---------------------------------------------------------------------------------------------------- the report

@dataclass
class Report:
    """A report folder's records, by name, and the folders they were made from."""

    folder: Path
    pairs: dict[str, dict[str, Any]]
    baseline_dir: Path | None
    current_dir: Path | None

    @classmethod
    def load(cls, folder: str | os.PathLike[str], *, baselines: str | os.PathLike[str] | None = None) -> "Report":
        folder = Path(folder)
        path = folder / "report.json"
        try:
            doc = json.loads(read_regular(path, limit=1 << 34))
        except FileNotFoundError:
            raise ReportError(f"{str(folder)!r} holds no report (no report.json)") from None
        except OSError as e:
            raise ReportError(f"cannot read {str(path)!r}: {e.strerror or e}") from None
        except ValueError as e:
            raise ReportError(f"{str(path)!r} is not a report: {e}") from None
        if not isinstance(doc, dict) or not isinstance(doc.get("pairs"), list):
            raise ReportError(f"{str(path)!r} is not a report: no list of pairs")
        pairs: dict[str, dict[str, Any]] = {}
        for record in doc["pairs"]:
            if isinstance(record, dict) and isinstance(record.get("name"), str):
                pairs.setdefault(record["name"], record)
        base = baselines if baselines is not None else doc.get("baseline_dir")
        cur = doc.get("current_dir")
        if base is not None and not os.path.isdir(base):
            raise ReportError(f"baseline folder {str(base)!r} does not exist"
                              + ("" if baselines is not None else " (name it with --baselines)"))
        return cls(folder=folder, pairs=pairs, baseline_dir=Path(base) if base is not None else None,
                   current_dir=Path(cur) if isinstance(cur, str) else None)

    def acceptable(self, record: dict[str, Any]) -> bool:
        """Whether the pair has anything to accept (what the page shows an Accept button for)."""
        return record.get("status") in ("new", "missing") or (
            record.get("passed") is False and record.get("status") in ACCEPTABLE)


def select(report: Report, names: Sequence[str] = (), *, all: bool = False,
           statuses: Sequence[str] = ()) -> list[str]:
    """The names to accept: those given, plus every pair that did not pass and every new one (`all`), plus every
    pair of the given statuses; in report order, each once."""
    chosen = set(names)
    wanted = set(statuses)
    for name, record in report.pairs.items():
        if all and report.acceptable(record) and (record.get("status") != "missing" or record.get("passed") is False):
            chosen.add(name)
        elif record.get("status") in wanted:
            chosen.add(name)
    order = {name: i for i, name in enumerate(report.pairs)}
    return sorted(chosen, key=lambda n: (order.get(n, len(order)), n))


# ---------------------------------------------------------------------------------------------------- journal

@dataclass
class _Saved:
    target: Path
    saved: Path | None          # the file as it was (a hard link or copy in the report folder), None: no file


@dataclass
class Journal:
    """Baselines (and their side files) as they were before the first accept of each name."""

    folder: Path
    saved: dict[str, list[_Saved]] = field(default_factory=dict)
    _count: int = 0

    def keep(self, name: str, paths: Iterable[Path]) -> None:
        if name in self.saved:
            return
        entries = []
        for target in paths:
            entries.append(_Saved(target, self._save(target) if os.path.lexists(target) else None))
        self.saved[name] = entries

    def _save(self, target: Path) -> Path:
        undo = self.folder / _UNDO
        undo.mkdir(parents=True, exist_ok=True)
        self._count += 1
        dest = undo / f"{os.getpid()}-{self._count}"
        try:
            os.link(target, dest)
        except OSError:
            write_atomic(dest, read_regular(target), root=self.folder)
        return dest


# ---------------------------------------------------------------------------------------------------- accept

@dataclass
class Outcome:
    accepted: list[str] = field(default_factory=list)
    refused: list[tuple[str, str]] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        return {"accepted": self.accepted, "refused": [{"name": n, "reason": r} for n, r in self.refused]}


class _Refused(Exception):
    pass


_THREAD_LOCK = threading.Lock()


@contextmanager
def _locked(folder: Path) -> Iterator[None]:
    """One accept or undo at a time on a report: threads of a server and other processes alike."""
    with _THREAD_LOCK:
        with open(folder / _LOCK, "a+b") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(f.fileno(), fcntl.LOCK_UN)


def _target(report: Report, record: dict[str, Any]) -> Path:
    if report.baseline_dir is None:
        raise _Refused("the report does not say where the baselines are (name the folder with --baselines)")
    rel = record.get("baseline_path") or record.get("name")
    parts = _relative_parts(rel) if isinstance(rel, str) else None
    if parts is None:
        raise _Refused(f"baseline path {rel!r} is not a path inside the baseline folder")
    target = report.baseline_dir.joinpath(*parts)
    # Every existing part of the path, links followed, must stay inside the folder.
    probe = target
    while not os.path.lexists(probe) and probe != report.baseline_dir:
        probe = probe.parent
    if not _inside(report.baseline_dir, probe) or (os.path.lexists(target) and not _inside(report.baseline_dir, target)):
        raise _Refused("its baseline path resolves outside the baseline folder")
    if os.path.lexists(target) and not os.path.isfile(target):
        raise _Refused("its baseline is not a regular file")
    return target


def _current_bytes(report: Report, record: dict[str, Any]) -> bytes:
    """The current image to accept: the report's exact copy, or the file in the current folder; either must still
    have the recorded SHA-256 and decode."""
    want = record.get("current_sha256")
    if not isinstance(want, str):
        raise _Refused("the report recorded no SHA-256 of its current image")
    sources: list[Path] = []
    copy = record.get("current_copy")
    if isinstance(copy, str) and (parts := _relative_parts(copy)) is not None:
        sources.append(report.folder.joinpath(*parts))
    rel = record.get("current_path")
    if report.current_dir is not None and isinstance(rel, str) and (parts := _relative_parts(rel)) is not None:
        sources.append(report.current_dir.joinpath(*parts))
    data = None
    for src in sources:
        try:
            data = read_regular(src, limit=_MAX_IMAGE)
            break
        except OSError:
            continue
    if data is None:
        raise _Refused("its current image is neither in the report nor in the current folder")
    if _sha256(data) != want:
        raise _Refused("its current image changed since the comparison (SHA-256 differs from the report's)")
    if not _decodes(data):
        raise _Refused("its current image does not decode")
    return data


def _side_files(target: Path) -> list[Path]:
    folder = target.parent / _SIDE
    prefix = target.name + "."
    try:
        return sorted(folder / n for n in os.listdir(folder) if n.startswith(prefix))
    except OSError:
        return []


def _current_side(report: Report, record: dict[str, Any]) -> dict[str, bytes]:
    """Side files the report kept beside the current copy: {kind: bytes}."""
    out: dict[str, bytes] = {}
    for kind, rel in (record.get("current_side") or {}).items():
        parts = _relative_parts(rel) if isinstance(rel, str) else None
        if parts is None or not isinstance(kind, str) or "/" in kind or kind in ("", ".", ".."):
            continue
        try:
            out[kind] = read_regular(report.folder.joinpath(*parts))
        except OSError:
            continue
    return out


def _accept_one(report: Report, name: str, journal: Journal | None) -> None:
    record = report.pairs.get(name)
    if record is None:
        raise _Refused("not a pair of this report")
    if not report.acceptable(record):
        raise _Refused(f"nothing to accept: the pair is {record.get('status')} and passed")
    target = _target(report, record)
    sides = _side_files(target)
    if record.get("status") == "missing":
        if not os.path.lexists(target):
            raise _Refused("its baseline is already gone")
        if journal is not None:
            journal.keep(name, [target, *sides])
        aside = report.folder / _REMOVED / Path(record.get("baseline_path") or name)
        for src in [target, *sides]:
            dest = aside if src == target else aside.parent / _SIDE / src.name
            write_atomic(dest, read_regular(src), root=report.folder)
            os.unlink(src)
        return
    data = _current_bytes(report, record)
    new_sides = _current_side(report, record)
    old_size = None
    if os.path.lexists(target):
        try:
            old_size = _png_size(read_regular(target, limit=_MAX_IMAGE))
        except OSError:
            old_size = None
    drop = [p for p in sides if p.name[len(target.name) + 1:] not in new_sides and old_size != _png_size(data)]
    side_targets = [target.parent / _SIDE / f"{target.name}.{kind}" for kind in new_sides]
    if journal is not None:
        journal.keep(name, [target, *sorted(set(sides) | set(side_targets))])
    write_atomic(target, data, root=report.baseline_dir)
    for path, (kind, content) in zip(side_targets, new_sides.items()):
        write_atomic(path, content, root=report.baseline_dir)
    for path in drop:
        os.unlink(path)


def accept(report: Report, names: Iterable[str], *, journal: Journal | None = None) -> Outcome:
    """Accepts each name; a name that cannot be accepted is refused with the reason, the others go on."""
    outcome = Outcome()
    with _locked(report.folder):
        for name in dict.fromkeys(names):
            try:
                _accept_one(report, name, journal)
            except _Refused as e:
                outcome.refused.append((name, str(e)))
            except OSError as e:
                outcome.refused.append((name, f"cannot write: {e.strerror or e}"))
            else:
                outcome.accepted.append(name)
    return outcome


def undo(report: Report, names: Iterable[str], journal: Journal) -> Outcome:
    """Puts back the baselines (and side files) of `names` as they were before their first accept."""
    outcome = Outcome()
    with _locked(report.folder):
        for name in dict.fromkeys(names):
            entries = journal.saved.get(name)
            if entries is None:
                outcome.refused.append((name, "not accepted in this run"))
                continue
            try:
                for entry in entries:
                    if entry.saved is None:
                        if os.path.lexists(entry.target):
                            os.unlink(entry.target)
                    else:
                        write_atomic(entry.target, read_regular(entry.saved), root=report.baseline_dir)
            except OSError as e:
                outcome.refused.append((name, f"cannot write: {e.strerror or e}"))
                continue
            # A pair moved aside comes back; its copy in the report is dropped.
            if report.pairs[name].get("status") == "missing":
                aside = report.folder / _REMOVED / Path(report.pairs[name].get("baseline_path") or name)
                for p in [aside, *_side_files(aside)]:
                    try:
                        os.unlink(p)
                    except OSError:
                        pass
            del journal.saved[name]
            outcome.accepted.append(name)
    return outcome
