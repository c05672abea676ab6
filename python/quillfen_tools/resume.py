"""The log of finished pairs a folder run keeps in its report folder, so that a stopped run goes on (`--resume`).

One JSON object a line: first the run's options, then one line per finished pair with its record and the size
and modification time of each of its files. A line is appended and flushed as soon as its pair is done, so a run
killed at any moment loses at most the pair being written (a torn last line is dropped when the log is read).

Resuming with other options is refused. A pair whose logged files still have the same size and modification time
is taken from the log instead of being compared; any other pair is compared (again). Only the offsets of the lines
are kept in memory, so a log of 100 000 pairs costs a few megabytes.
"""
from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Iterable, Mapping
from typing import Any, IO

from .results import Result

__all__ = ["ProgressLog", "ResumeError", "LOG_NAME", "file_stamp"]

LOG_NAME = ".quillfen-progress.jsonl"
_KIND = "quillfen progress"
_VERSION = 1

Stamp = tuple[int, int] | None  # (size, modification time in ns) of one file, None where there is no file


def _digest(value: Any) -> str:
    view = memoryview(value)  # TypeError for anything that is neither JSON nor a buffer, as json.dumps says
    return f"sha256:{hashlib.sha256(view.tobytes()).hexdigest()}:{list(view.shape or ())}"


class ResumeError(ValueError):
    """The run cannot continue the logged one (other options, or a log that is not ours)."""


def file_stamp(path: str | None) -> Stamp:
    if path is None:
        return None
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size, st.st_mtime_ns


def _stamps(value: Any) -> tuple[Stamp, Stamp] | None:
    """The two stamps of a logged line, or None when they are not in the expected form."""
    if not isinstance(value, list) or len(value) != 2:
        return None
    out: list[Stamp] = []
    for v in value:
        if v is None:
            out.append(None)
        elif isinstance(v, list) and len(v) == 2 and all(type(n) is int for n in v):
            out.append((v[0], v[1]))
        else:
            return None
    return out[0], out[1]


def _differences(old: Mapping[str, Any], new: Mapping[str, Any], prefix: str = "") -> list[str]:
    out = []
    for key in sorted(set(old) | set(new)):
        a, b = old.get(key), new.get(key)
        if isinstance(a, dict) and isinstance(b, dict):
            out += _differences(a, b, f"{prefix}{key}.")
        elif a != b:
            out.append(f"{prefix}{key}: {json.dumps(a)} then, {json.dumps(b)} now")
    return out


class ProgressLog:
    """The progress log of one report folder: `lookup` a pair before comparing it, `add` it when done."""

    def __init__(self, report_dir: str | os.PathLike[str], options: Mapping[str, Any], *, resume: bool) -> None:
        """Starts a new log, or with `resume` continues the folder's log (a fresh one when there is none).

        Raises ResumeError when the logged run used other options; nothing in the folder is changed then."""
        self.path = os.path.join(os.fspath(report_dir), LOG_NAME)
        # As it reads back from the log; an ignore mask is kept as a digest of its bytes.
        self.options = json.loads(json.dumps(options, allow_nan=False, default=_digest))
        self.resumed = 0  # pairs taken from the log by this run
        self._done: dict[str, tuple[int, tuple[Stamp, Stamp], str | None]] = {}
        self._report_dir = os.fspath(report_dir)
        good_end = self._read() if resume and os.path.isfile(self.path) else None
        os.makedirs(self._report_dir, exist_ok=True)
        if good_end is None:
            self._file: IO[bytes] = open(self.path, "wb")
            self._write({"kind": _KIND, "version": _VERSION, "options": self.options})
        else:
            self._file = open(self.path, "r+b")
            self._file.truncate(good_end)  # a line torn by a killed run would run into the next one
            self._file.seek(good_end)
        self._reader = open(self.path, "rb")

    def _read(self) -> int | None:
        """Indexes the existing log; returns the offset just past its last whole line (None: no line at all)."""
        with open(self.path, "rb") as f:
            first = f.readline()
            if not first.endswith(b"\n"):
                return None  # killed before its first line was written: nothing to resume
            try:
                header = json.loads(first)
            except ValueError:
                header = None
            if not isinstance(header, dict) or header.get("kind") != _KIND:
                raise ResumeError(f"{self.path!r} is not a progress log of quillfen: run without --resume")
            if header.get("version") != _VERSION or header.get("options") != self.options:
                changes = _differences(header.get("options") or {}, self.options)
                raise ResumeError("cannot resume: the stopped run used other options ("
                                  + "; ".join(changes or ["another log version"])
                                  + "); run again without --resume, or with the same options")
            good_end = offset = f.tell()
            for line in f:
                if not line.endswith(b"\n"):
                    break  # torn by a kill mid-write
                try:
                    item = json.loads(line)
                    name = item["name"]
                    stamps = _stamps(item["files"])
                    diff = item["record"].get("diff")
                except (ValueError, KeyError, TypeError, AttributeError):
                    item = None
                if item is not None and isinstance(name, str) and stamps is not None:
                    self._done[name] = (offset, stamps, diff if isinstance(diff, str) else None)
                offset += len(line)
                good_end = offset
        return good_end

    def _write(self, item: Mapping[str, Any]) -> None:
        self._file.write(json.dumps(item, separators=(",", ":"), allow_nan=False).encode() + b"\n")
        self._file.flush()

    def finished(self, name: str, stamps: tuple[Stamp, Stamp]) -> bool:
        """True for a logged pair whose files are as they were. A pair whose files changed loses its old diff
        image (it is compared again, and gets a new one if it still differs)."""
        done = self._done.get(name)
        if done is None:
            return False
        _, logged, diff = done
        if logged != stamps or (diff is not None and not self._inside(diff)):
            self._forget(name, diff)
            return False
        return True

    def logged(self, name: str) -> tuple[Result, bool]:
        """(result, updated) of a pair `finished` said yes to."""
        offset = self._done[name][0]
        self._reader.seek(offset)
        item = json.loads(self._reader.readline())
        self.resumed += 1
        return Result.from_dict(item["record"]), bool(item.get("updated"))

    def kept_files(self, names: Iterable[str]) -> list[str]:
        """The files of the report folder that the logged pairs `names` still use (their diff images), which the
        report writer must not remove as an earlier report's."""
        return [diff for name in names if (diff := self._done[name][2]) is not None]

    def _inside(self, rel: str) -> bool:
        """True when `rel` is an existing file inside the report folder."""
        path = os.path.realpath(os.path.join(self._report_dir, rel))
        root = os.path.realpath(self._report_dir)
        return path.startswith(root + os.sep) and os.path.isfile(path)

    def _forget(self, name: str, diff: str | None) -> None:
        del self._done[name]
        if diff is not None and self._inside(diff):
            try:
                os.remove(os.path.join(self._report_dir, diff))
            except OSError:
                pass

    def add(self, name: str, stamps: tuple[Stamp, Stamp], record: Mapping[str, Any], updated: bool) -> None:
        """Logs a finished pair (and flushes, so that it survives the process being killed)."""
        item: dict[str, Any] = {"name": name, "files": [list(s) if s else None for s in stamps], "record": record}
        if updated:
            item["updated"] = True
        self._write(item)

    def close(self) -> None:
        self._file.close()
        self._reader.close()
