"""The `assert_screenshot` fixture's work: where a test's baselines live, what they are named, and the assertion
itself (compare, write baselines and failure artifacts, keep a record for the run's report)."""
from __future__ import annotations

import dataclasses
import hashlib
import os
import re
import shlex
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from ._files import clean_side_dir, read_regular, write_atomic
from ._options import DEFAULT, Options
from ._verdict import compare_pair
from .elements import ElementError, capture_elements, load_elements, save_elements
from .inputs import check_png, encode_png, load, png_size
from .results import Result
from .words import describe

__all__ = ["Settings", "SessionState", "ScreenshotAsserter", "TestState", "default_stems", "test_id_dir", "shown"]

RESULTS_DIR = "quillfen-results"
STAGING = ".screenshots"  # images of the run's screenshots, until the report is written
THUMBNAIL_WIDTH = 480
_MAX_NAME = 120


@dataclass
class Settings:
    mode: str
    options: Options  # the project's defaults (ini settings over the declared ones)
    snapshot_dir: Path | None
    rootpath: Path
    results_dir: Path
    report_dir: Path | None
    ci: bool


@dataclass
class SessionState:
    settings: Settings
    records: list[dict[str, Any]] = field(default_factory=list)
    written: list[str] = field(default_factory=list)
    report_path: Path | None = None
    report_error: str | None = None
    # Old-style default name (folder / stem) -> how many tests' default names map to it (see `default_stems`).
    claims: dict[str, int] = field(default_factory=dict)
    cleaned: set[Path] = field(default_factory=set)


# ------------------------------------------------------------------------------------------------------ names

def _digest(text: str, n: int) -> str:
    return hashlib.sha1(text.encode("utf-8", "surrogatepass")).hexdigest()[:n]


def _sanitised(text: str) -> str:
    safe = re.sub(r"[^\w.-]+", "-", text).strip("-.")
    return re.sub(r"-{2,}", "-", safe) or "screenshot"


def safe_name(text: str, *, unique: bool = False) -> str:
    """`text` as one file-name component: letters, digits, '.', '_' and '-' only, no leading dot, bounded length.
    With `unique`, a short hash of `text` is added whenever sanitising changed it, so that different texts never
    share a name ("[a b]" and "[a-b]", "[/about]" and "[about]")."""
    safe = _sanitised(text)
    if len(safe) > _MAX_NAME:
        return f"{safe[: _MAX_NAME - 11]}-{_digest(text, 10)}"
    if unique and safe != text:
        return f"{safe}-{_digest(text, 8)}"
    return safe


def test_id_dir(nodeid: str) -> str:
    """The folder of a test's failure artifacts: one per test id."""
    return safe_name(nodeid.replace("::", "-"), unique=True)


def _raw_default(item: pytest.Item) -> str:
    # The test's part of its id: class and function with the parameter id, e.g. "TestCart::test_total[eur]".
    return "-".join(item.nodeid.split("::")[1:] or [item.name])


def default_stems(item: pytest.Item) -> tuple[str, str]:
    """(stem, old stem) of a test's default screenshot names: the stem is unique per test id; the old stem is the
    name earlier versions gave, which tests whose ids differ only in replaced characters shared."""
    raw = _raw_default(item)
    return safe_name(raw, unique=True), safe_name(raw)


def _numbered(stem: str, index: int) -> str:
    return f"{stem}.png" if index == 1 else f"{stem}-{index}.png"


def _given_name(name: str) -> str:
    if not isinstance(name, str) or not name.strip():
        raise TypeError(f"screenshot name must be a non-empty string, not {name!r}")
    stem = name[:-4] if name.lower().endswith(".png") else name
    return f"{safe_name(stem)}.png"


def snapshot_dir(item: pytest.Item, settings: Settings) -> Path:
    test_file = Path(item.path)
    if settings.snapshot_dir is None:
        return test_file.parent / "__snapshots__" / test_file.stem
    # One central folder: keep the test file's folder under it, so equal stems in different folders stay apart.
    try:
        relative = test_file.parent.relative_to(settings.rootpath)
    except ValueError:
        relative = Path()
    return settings.snapshot_dir / relative / test_file.stem


def shown(path: Path) -> str:
    """A path as the user reads it in a message: relative to the current folder when it is below it."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def _kept_elements(baseline: Path) -> Any:
    """The elements kept with a baseline; None when there are none or the file cannot be used (they only name
    changes: the comparison does not depend on them)."""
    try:
        return load_elements(baseline)
    except ElementError:
        return None


def _message(result: Result, options: Options) -> str:
    """What differs, in the words every output uses, with the tolerances that were given."""
    text = describe(result)
    if result.status == "shifted":
        text += " (allow_shift=True accepts a shift)"
    limits = [f"{key}={getattr(options, key)}" for key in ("max_diff_pixels", "max_diff_ratio")
              if getattr(options, key) is not None]
    if limits and result.status in ("changed", "size-changed"):
        text += f"; allowed {' and '.join(limits)}"
    if result.clusters and not any(c.kind for c in result.clusters):  # classified changes say where they are
        boxes = [f"{c.width}x{c.height} at ({c.x},{c.y})" for c in result.clusters[:3]]
        more = f" and {len(result.clusters) - 3} more" if len(result.clusters) > 3 else ""
        text += f"; where: {', '.join(boxes)}{more}"
    return text


# ------------------------------------------------------------------------------------------------ the fixture

@dataclass
class TestState:
    default_names: int = 0
    written: list[str] = field(default_factory=list)  # baselines a "missing" run wrote: the test fails after it


TEST = pytest.StashKey[TestState]()


class ScreenshotAsserter:
    """The callable behind the `assert_screenshot` fixture, bound to one test."""

    def __init__(self, item: pytest.Item, state: SessionState) -> None:
        self._item = item
        self._state = state

    def _baseline_path(self, name: str | None, test: TestState) -> tuple[str, Path]:
        folder = snapshot_dir(self._item, self._state.settings)
        if folder not in self._state.cleaned:
            clean_side_dir(folder)  # temporaries a killed run left behind
            self._state.cleaned.add(folder)
        if name is not None:
            name = _given_name(name)
            return name, folder / name
        test.default_names += 1
        stem, old_stem = default_stems(self._item)
        name = _numbered(stem, test.default_names)
        path = folder / name
        old = folder / _numbered(old_stem, test.default_names)
        # A baseline written under the old name is still this test's when no other test's name maps to it.
        claims = self._state.claims.get(str(folder / old_stem), 0)
        if old != path and not path.exists() and old.is_file() and claims == 1:
            return old.name, old
        return name, path

    def __call__(
        self,
        source: Any,
        name: str | None = None,
        *,
        threshold: float = DEFAULT,
        include_aa: bool = DEFAULT,
        max_diff_pixels: int | None = DEFAULT,
        max_diff_ratio: float | None = DEFAULT,
        ignore: Any = None,
        allow_shift: bool = DEFAULT,
        jitter: int = DEFAULT,
    ) -> Result | None:
        """Compare `source` with its baseline and fail the test when they differ; returns the comparison result
        (None when the baseline was only written). `name` defaults to the test's name, numbered from the second
        unnamed screenshot of a test on. Options left out take the project's (ini) defaults."""
        __tracebackhide__ = True
        settings = self._state.settings
        given = dict(threshold=threshold, include_aa=include_aa, max_diff_pixels=max_diff_pixels,
                     max_diff_ratio=max_diff_ratio, allow_shift=allow_shift, jitter=jitter)
        reporting = settings.report_dir is not None
        options = settings.options.replace(
            **{k: v for k, v in given.items() if v is not DEFAULT}, ignore=ignore, diff="changes",
            thumbnails=THUMBNAIL_WIDTH if reporting else None)
        test = self._item.stash.setdefault(TEST, TestState())
        name, baseline_path = self._baseline_path(name, test)
        actual = encode_png(load(source, "current", max_pixels=options.max_pixels))
        # The boxes of a Playwright page's elements as the screenshot shows them: they name what changed.
        captured = capture_elements(source)
        mode = settings.mode

        if not baseline_path.is_file():
            if mode == "none":
                self._record(name, None, actual, passed=False)
                raise AssertionError(
                    f"screenshot '{name}' has no baseline {shown(baseline_path)} "
                    f"(not written with --update-snapshots=none{', the default when CI is set' if settings.ci else ''})"
                )
            self._write_baseline(baseline_path, actual, captured)
            self._record(name, None, actual, passed=mode != "missing", updated=True)
            if mode == "missing":
                test.written.append(shown(baseline_path))
            return None

        expected = read_regular(baseline_path)
        elements = (_kept_elements(baseline_path), captured) if captured is not None else (None, None)
        result = compare_pair(name, expected, actual, options, elements)
        result = dataclasses.replace(result, baseline_path=shown(baseline_path))

        if mode == "all" or (mode == "changed" and not result.passed):
            self._write_baseline(baseline_path, actual, captured)
            self._record(name, result, actual, passed=True, updated=True)
            return result
        self._record(name, result, actual, passed=result.passed)
        if result.passed:
            return result
        artifacts = self._write_artifacts(name, expected, actual, result.diff_png)
        raise AssertionError(f"screenshot '{name}' {_message(result, options)}; see {artifacts}"
                             f"{self._accept_hint()}")

    def _accept_hint(self) -> str:
        """How to accept the change: the test run again with --update-snapshots=changed, and `quillfen accept`
        when the run writes a report (whose copy of the screenshot is what an accept writes)."""
        hint = f"\nto accept it: pytest {shlex.quote(self._item.nodeid)} --update-snapshots=changed"
        report_dir = self._state.settings.report_dir
        if report_dir is not None:
            hint += f"\n          or: quillfen accept {shlex.quote(shown(report_dir))} --all"
        return hint

    def _write_baseline(self, path: Path, data: bytes, elements: Any = None) -> None:
        check_png(data, "screenshot")
        write_atomic(path, data)
        if elements is not None:
            save_elements(path, elements)
        self._state.written.append(str(path))

    def _write_artifacts(self, name: str, expected: bytes, actual: bytes, diff: bytes | None) -> str:
        settings = self._state.settings
        folder = settings.results_dir / test_id_dir(self._item.nodeid)
        stem = name[:-4]
        write_atomic(folder / f"{stem}-expected.png", expected, root=settings.results_dir)
        write_atomic(folder / f"{stem}-actual.png", actual, root=settings.results_dir)
        if diff is not None:
            write_atomic(folder / f"{stem}-diff.png", diff, root=settings.results_dir)
            self._state.records[-1]["diff"] = shown(folder / f"{stem}-diff.png")
        return f"{shown(folder / stem)}-{{expected,actual,diff}}.png"

    def _record(self, name: str, result: Result | None, actual: bytes, *, passed: bool,
                updated: bool = False) -> None:
        """Keep what the run's report and summary show of this screenshot. With a report, its images are staged
        in files now (the records travel from xdist workers to the controller without them)."""
        nodeid = self._item.nodeid
        new = result is None
        if result is None:
            size = png_size(actual)
            result = Result(name=None, status="new", passed=passed, width=size[0] if size else 0,
                            height=size[1] if size else 0, current_size=size,
                            current_sha256=hashlib.sha256(actual).hexdigest())
        record = result.to_dict()
        record.update(name=f"{nodeid}::{name}", test_id=nodeid, screenshot=name, passed=passed, updated=updated)
        report_dir = self._state.settings.report_dir
        if report_dir is not None:
            import quillfen

            folder = report_dir / STAGING / test_id_dir(nodeid)
            stem = f"{name[:-4]}-{len(self._state.records)}"
            images = {"diff_png": result.diff_png, "baseline_thumbnail": result.baseline_thumbnail,
                      "current_thumbnail": result.current_thumbnail}
            if new:
                try:
                    images["current_thumbnail"] = quillfen.thumbnail(actual, THUMBNAIL_WIDTH)
                except ValueError:
                    pass  # an image that does not decode is shown without a picture
            # The report names the baseline from the root folder (where `quillfen accept` writes) and keeps the
            # files of a screenshot that did not pass: the current one is what an accept writes.
            baseline = snapshot_dir(self._item, self._state.settings) / name
            record["report_baseline"] = os.path.relpath(baseline, self._state.settings.rootpath).replace(os.sep, "/")
            if not passed:
                images["current_file"] = actual
                images["baseline_file"] = read_regular(baseline) if not new and baseline.is_file() else None
            for kind, data in images.items():
                if data is not None:
                    path = folder / f"{stem}.{kind}"
                    write_atomic(path, data, root=report_dir)
                    record[f"staged_{kind}"] = str(path)
        self._state.records.append(record)
