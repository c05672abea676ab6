"""Screenshot assertions for pytest: the `assert_screenshot` fixture.

Loaded through the `pytest11` entry point whenever quillfen is installed. A test hands the fixture an image (PNG
bytes, a path, a numpy array, a PIL image, or anything with a `screenshot()` method such as a Playwright page or a
Selenium driver) and it is compared with the baseline kept under `__snapshots__/<test file stem>/` beside the test
file. Baselines are written according to `--update-snapshots`; a failure leaves the expected, actual and diff
images under `quillfen-results/<test id>/`, and `--quillfen-report DIR` writes an HTML report of every screenshot
asserted in the test run. Under pytest-xdist every worker writes only the files of the tests it runs and hands its
records to the controller, which writes the report.
"""
from __future__ import annotations

import hashlib
import inspect
import io
import os
import re
import shutil
import struct
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from ._files import write_atomic
from .elements import ElementError, capture_elements, load_elements, save_elements
from .inputs import check_png, png_size
from .results import Result
from .words import describe

UPDATE_MODES = ("missing", "changed", "all", "none")
RESULTS_DIR = "quillfen-results"
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_MAX_NAME = 120
_STAGING = ".screenshots"  # images of the run's screenshots, until the report is written
THUMBNAIL_WIDTH = 480


# ---------------------------------------------------------------------------------------------------------------
# Options


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("quillfen", "screenshot assertions (quillfen)")
    group.addoption(
        "--update-snapshots",
        choices=UPDATE_MODES,
        default=None,
        help="which screenshot baselines to write: 'missing' (default) writes those that do not exist yet and fails "
        "the test; 'changed' also overwrites those that differ and 'all' rewrites every one (the tests pass); "
        "'none' writes nothing (the default when the environment variable CI is set)",
    )
    group.addoption(
        "--quillfen-report",
        metavar="DIR",
        default=None,
        help="write an HTML report of every screenshot asserted in the test run to DIR",
    )
    parser.addini("quillfen_threshold", "default colour threshold of assert_screenshot (0..1)", default="0.1")
    parser.addini("quillfen_max_diff_pixels", "default number of differing pixels assert_screenshot allows", default="0")
    parser.addini(
        "quillfen_snapshot_dir",
        "folder for screenshot baselines, relative to the ini file (default: __snapshots__ beside each test file)",
        default="",
    )


def _ci_set() -> bool:
    value = os.environ.get("CI", "").strip().lower()
    return value not in ("", "0", "false", "no")


@dataclass
class _Settings:
    mode: str
    threshold: float
    max_diff_pixels: int
    snapshot_dir: Path | None
    rootpath: Path
    results_dir: Path
    report_dir: Path | None


@dataclass
class _SessionState:
    settings: _Settings
    records: list[dict[str, Any]] = field(default_factory=list)
    written: list[str] = field(default_factory=list)
    report_path: Path | None = None
    report_error: str | None = None


_STATE = pytest.StashKey[_SessionState]()


def _read_settings(config: pytest.Config) -> _Settings:
    mode = config.getoption("--update-snapshots") or ("none" if _ci_set() else "missing")
    try:
        threshold = float(config.getini("quillfen_threshold"))
    except ValueError:
        raise pytest.UsageError(f"quillfen_threshold must be a number, not {config.getini('quillfen_threshold')!r}")
    if not 0.0 <= threshold <= 1.0:
        raise pytest.UsageError(f"quillfen_threshold must be between 0 and 1, not {threshold}")
    try:
        max_diff_pixels = int(config.getini("quillfen_max_diff_pixels"))
    except ValueError:
        raise pytest.UsageError(
            f"quillfen_max_diff_pixels must be an integer, not {config.getini('quillfen_max_diff_pixels')!r}"
        )
    if max_diff_pixels < 0:
        raise pytest.UsageError(f"quillfen_max_diff_pixels must not be negative, not {max_diff_pixels}")
    # Relative folders are taken from the ini file's folder (the root folder when there is none), so they do not
    # depend on where pytest is started from.
    base = config.inipath.parent if config.inipath is not None else config.rootpath
    snapshot_dir = None
    if config.getini("quillfen_snapshot_dir"):
        snapshot_dir = (base / str(config.getini("quillfen_snapshot_dir"))).resolve()
    report = config.getoption("--quillfen-report")
    return _Settings(
        mode=mode,
        threshold=threshold,
        max_diff_pixels=max_diff_pixels,
        snapshot_dir=snapshot_dir,
        rootpath=config.rootpath,
        results_dir=config.rootpath / RESULTS_DIR,
        report_dir=Path(report).resolve() if report else None,
    )


def _is_worker(config: pytest.Config) -> bool:
    return hasattr(config, "workerinput")


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_STATE] = _SessionState(_read_settings(config))


def pytest_sessionstart(session: pytest.Session) -> None:
    # Stale artifacts of an earlier run would read as failures of this one. The controller (or the only process)
    # clears them once before any test runs; xdist workers never do.
    config = session.config
    settings = config.stash[_STATE].settings
    if not _is_worker(config):
        shutil.rmtree(settings.results_dir, ignore_errors=True)
        if settings.report_dir is not None:
            shutil.rmtree(settings.report_dir / _STAGING, ignore_errors=True)


# ---------------------------------------------------------------------------------------------------------------
# Names and places


def _safe(text: str) -> str:
    """`text` as one file-name component: letters, digits, '.', '_' and '-' only, no leading dot, bounded length."""
    safe = re.sub(r"[^\w.-]+", "-", text).strip("-.")
    safe = re.sub(r"-{2,}", "-", safe) or "screenshot"
    if len(safe) > _MAX_NAME:
        digest = hashlib.sha1(text.encode("utf-8", "surrogatepass")).hexdigest()[:10]
        safe = f"{safe[: _MAX_NAME - 11]}-{digest}"
    return safe


def _test_id_dir(nodeid: str) -> str:
    return _safe(nodeid.replace("::", "-").replace("/", "-"))


def _default_name(item: pytest.Item, index: int) -> str:
    # The test's part of its id: class and function with the parameter id, e.g. "TestCart-test_total[eur]".
    parts = item.nodeid.split("::")[1:] or [item.name]
    stem = _safe("-".join(parts))
    return f"{stem}.png" if index == 1 else f"{stem}-{index}.png"


def _given_name(name: str) -> str:
    if not isinstance(name, str) or not name.strip():
        raise TypeError(f"screenshot name must be a non-empty string, not {name!r}")
    stem = name[:-4] if name.lower().endswith(".png") else name
    return f"{_safe(stem)}.png"


def _snapshot_dir(item: pytest.Item, settings: _Settings) -> Path:
    test_file = Path(item.path)
    if settings.snapshot_dir is None:
        return test_file.parent / "__snapshots__" / test_file.stem
    # One central folder: keep the test file's folder under it, so equal stems in different folders stay apart.
    try:
        relative = test_file.parent.relative_to(settings.rootpath)
    except ValueError:
        relative = Path()
    return settings.snapshot_dir / relative / test_file.stem


def _shown(path: Path) -> str:
    """A path as the user reads it in a message: relative to the current folder when it is below it."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


# ---------------------------------------------------------------------------------------------------------------
# Images


def _encode_png(rgba: Any) -> bytes:
    """An (h, w, 4) uint8 numpy array as an RGBA PNG. Every row uses the Up filter: screenshots repeat rows a lot."""
    height, width = int(rgba.shape[0]), int(rgba.shape[1])
    if width == 0 or height == 0:
        raise ValueError(f"cannot store an empty image ({width}x{height}) as a screenshot")
    import numpy as np

    rows = np.ascontiguousarray(rgba, dtype=np.uint8).reshape(height, width * 4)
    raw = np.empty((height, width * 4 + 1), dtype=np.uint8)
    raw[:, 0] = 2
    raw[:, 1:] = rows
    raw[1:, 1:] -= rows[:-1]  # uint8 arithmetic wraps, as the filter is defined

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return _PNG_SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw.tobytes(), 6)) + chunk(b"IEND", b"")


def _is_pil_image(obj: Any) -> bool:
    return type(obj).__module__.startswith("PIL.") and hasattr(obj, "save") and hasattr(obj, "mode")


def _take_screenshot(obj: Any) -> bytes:
    # Selenium drivers have get_screenshot_as_png(), its elements the screenshot_as_png property (their
    # screenshot() wants a file name); Playwright pages and locators return PNG bytes from screenshot().
    getter = getattr(obj, "get_screenshot_as_png", None)
    if callable(getter):
        data = getter()
    elif hasattr(type(obj), "screenshot_as_png") or "screenshot_as_png" in getattr(obj, "__dict__", {}):
        data = obj.screenshot_as_png
    elif type(obj).__module__.startswith("playwright."):
        # As Playwright's own screenshot assertion does: animations finished or stopped and no blinking caret, so
        # the same page gives the same pixels.
        data = obj.screenshot(type="png", animations="disabled", caret="hide")
    else:
        data = obj.screenshot()
    if inspect.isawaitable(data):
        if inspect.iscoroutine(data):
            data.close()
        raise TypeError(
            f"{type(obj).__name__}.screenshot() is asynchronous: pass the bytes instead, "
            "e.g. assert_screenshot(await page.screenshot())"
        )
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{type(obj).__name__} gave a screenshot of type {type(data).__name__}, not PNG bytes")
    return bytes(data)


def _png_of(source: Any) -> bytes:
    """The PNG bytes of whatever the test hands in."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
    elif isinstance(source, (str, os.PathLike)):
        data = Path(source).read_bytes()
    elif _is_pil_image(source):
        buf = io.BytesIO()
        image = source if source.mode in ("RGB", "RGBA", "L", "LA", "P", "I;16") else source.convert("RGBA")
        image.save(buf, format="PNG")
        return buf.getvalue()
    elif any(hasattr(source, a) for a in ("get_screenshot_as_png", "screenshot_as_png", "screenshot")):
        data = _take_screenshot(source)
    elif hasattr(source, "read"):
        data = source.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"file object gave {type(data).__name__}, not bytes: open it in binary mode")
        data = bytes(data)
    else:
        import quillfen_tools

        return _encode_png(quillfen_tools.load_rgba(source))
    if not data.startswith(_PNG_SIGNATURE):
        # Another format (a JPEG file, say): Pillow converts it when it is there.
        try:
            from PIL import Image
        except ImportError:
            raise ValueError("the screenshot is not a PNG image") from None
        try:
            with Image.open(io.BytesIO(data)) as image:
                return _png_of(image.convert("RGBA"))
        except (OSError, ValueError) as exc:
            raise ValueError(f"the screenshot is not an image that can be read: {exc}") from None
    return data


# ---------------------------------------------------------------------------------------------------------------
# Messages


def _kept_elements(baseline: Path) -> Any:
    """The elements kept with a baseline; None when there are none or the file cannot be used (they only name
    changes: the comparison does not depend on them)."""
    try:
        return load_elements(baseline)
    except ElementError:
        return None


def _message(result: Any, options: dict[str, Any]) -> str:
    """What differs, in the words every output uses, with the tolerances that were given."""
    text = describe(result)
    if result.status == "shifted":
        text += " (allow_shift=True accepts a shift)"
    limits = [f"{key}={options[key]}" for key in ("max_diff_pixels", "max_diff_ratio") if options[key] is not None]
    if limits and result.status in ("changed", "size-changed"):
        text += f"; allowed {' and '.join(limits)}"
    if result.clusters and not any(c.kind for c in result.clusters):  # classified changes say where they are
        shown = [f"{c.width}x{c.height} at ({c.x},{c.y})" for c in result.clusters[:3]]
        more = f" and {len(result.clusters) - 3} more" if len(result.clusters) > 3 else ""
        text += f"; where: {', '.join(shown)}{more}"
    return text


# ---------------------------------------------------------------------------------------------------------------
# The fixture


@dataclass
class _TestState:
    default_names: int = 0
    written: list[str] = field(default_factory=list)  # baselines a "missing" run wrote: the test fails after it


_TEST = pytest.StashKey[_TestState]()


class ScreenshotAsserter:
    """The callable behind the `assert_screenshot` fixture, bound to one test."""

    def __init__(self, item: pytest.Item, state: _SessionState) -> None:
        self._item = item
        self._state = state

    def __call__(
        self,
        source: Any,
        name: str | None = None,
        *,
        threshold: float | None = None,
        include_aa: bool = False,
        max_diff_pixels: int | None = None,
        max_diff_ratio: float | None = None,
        ignore: Any = None,
        allow_shift: bool = False,
    ) -> Any:
        """Compare `source` with its baseline and fail the test when they differ; returns the comparison result
        (None when the baseline was only written). `name` defaults to the test's name, numbered from the second
        unnamed screenshot of a test on."""
        __tracebackhide__ = True
        import quillfen_tools

        settings = self._state.settings
        test = self._item.stash.setdefault(_TEST, _TestState())
        if name is None:
            test.default_names += 1
            name = _default_name(self._item, test.default_names)
        else:
            name = _given_name(name)
        options = {
            "threshold": settings.threshold if threshold is None else threshold,
            "include_aa": include_aa,
            "max_diff_pixels": settings.max_diff_pixels if max_diff_pixels is None else max_diff_pixels,
            "max_diff_ratio": max_diff_ratio,
            "ignore": ignore,
            "allow_shift": allow_shift,
        }
        actual = _png_of(source)
        # The boxes of a Playwright page's elements as the screenshot shows them: they name what changed.
        captured = capture_elements(source)
        baseline_path = _snapshot_dir(self._item, settings) / name
        mode = settings.mode

        if not baseline_path.is_file():
            if mode == "none":
                self._record(name, None, actual, passed=False)
                raise AssertionError(
                    f"screenshot '{name}' has no baseline {_shown(baseline_path)} "
                    f"(not written with --update-snapshots=none{', the default when CI is set' if _ci_set() else ''})"
                )
            self._write_baseline(baseline_path, actual, captured)
            self._record(name, None, actual, passed=mode != "missing", updated=True)
            if mode == "missing":
                test.written.append(_shown(baseline_path))
            return None

        expected = baseline_path.read_bytes()
        reporting = settings.report_dir is not None
        options["elements"] = (_kept_elements(baseline_path), captured) if captured is not None else None
        result = quillfen_tools.compare(
            expected, actual, diff=reporting, thumbnails=THUMBNAIL_WIDTH if reporting else None, name=name, **options
        )
        if not result.passed and result.diff_png is None and result.status != "error":
            result = quillfen_tools.compare(expected, actual, diff=True, name=name, **options)

        if mode == "all" or (mode == "changed" and not result.passed):
            self._write_baseline(baseline_path, actual, captured)
            self._record(name, result, actual, passed=True, updated=True)
            return result
        self._record(name, result, actual, passed=result.passed)
        if result.passed:
            return result
        artifacts = self._write_artifacts(name, expected, actual, result.diff_png)
        raise AssertionError(f"screenshot '{name}' {_message(result, options)}; see {artifacts}")

    def _write_baseline(self, path: Path, data: bytes, elements: Any = None) -> None:
        check_png(data, "screenshot")
        write_atomic(path, data)
        if elements is not None:
            save_elements(path, elements)
        self._state.written.append(str(path))

    def _write_artifacts(self, name: str, expected: bytes, actual: bytes, diff: bytes | None) -> str:
        folder = self._state.settings.results_dir / _test_id_dir(self._item.nodeid)
        stem = name[:-4]
        write_atomic(folder / f"{stem}-expected.png", expected)
        write_atomic(folder / f"{stem}-actual.png", actual)
        if diff is not None:
            write_atomic(folder / f"{stem}-diff.png", diff)
        return f"{_shown(folder / stem)}-{{expected,actual,diff}}.png"

    def _record(self, name: str, result: Any, actual: bytes, *, passed: bool, updated: bool = False) -> None:
        """Keep what the run's report and summary show of this screenshot. With a report, its images are staged
        in files now (the records travel from xdist workers to the controller without them)."""
        nodeid = self._item.nodeid
        if result is None:
            # No baseline: the screenshot is new.
            size = png_size(actual)
            result = Result(name=None, status="new", passed=passed, width=size[0] if size else 0,
                            height=size[1] if size else 0, current_size=size,
                            current_sha256=hashlib.sha256(actual).hexdigest())
            new = True
        else:
            new = False
        record = result.to_dict()
        record.update(name=f"{nodeid}::{name}", test_id=nodeid, screenshot=name, passed=passed, updated=updated)
        report_dir = self._state.settings.report_dir
        if report_dir is not None:
            import quillfen

            folder = report_dir / _STAGING / _test_id_dir(nodeid)
            stem = f"{name[:-4]}-{len(self._state.records)}"
            images = {
                "diff_png": result.diff_png,
                "baseline_thumbnail": result.baseline_thumbnail,
                "current_thumbnail": result.current_thumbnail,
            }
            if new:
                try:
                    images["current_thumbnail"] = quillfen.thumbnail(actual, THUMBNAIL_WIDTH)
                except ValueError:
                    pass  # an image that does not decode is shown without a picture
            for kind, data in images.items():
                if data is not None:
                    path = folder / f"{stem}.{kind}"
                    write_atomic(path, data)
                    record[f"staged_{kind}"] = str(path)
        self._state.records.append(record)


@pytest.fixture
def assert_screenshot(request: pytest.FixtureRequest) -> ScreenshotAsserter:
    """Compare a screenshot with its baseline: `assert_screenshot(page_or_image, name=None, **options)`."""
    return ScreenshotAsserter(request.node, request.config.stash[_STATE])


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Any:
    outcome = yield
    test = item.stash.get(_TEST, None)
    if test is not None and test.written:
        listed = ", ".join(test.written)
        pytest.fail(
            f"no baseline yet, written: {listed}; the next run compares against {'it' if len(test.written) == 1 else 'them'}",
            pytrace=False,
        )
    return outcome


# ---------------------------------------------------------------------------------------------------------------
# End of the run: xdist hand-over, report, summary


def pytest_sessionfinish(session: pytest.Session) -> None:
    config = session.config
    state = config.stash.get(_STATE, None)
    if state is None:
        return
    if _is_worker(config):
        config.workeroutput["quillfen"] = {"records": state.records, "written": state.written}  # type: ignore[attr-defined]
        return
    if state.settings.report_dir is not None:
        try:
            state.report_path = _write_report(state)
        except (OSError, ValueError, ImportError) as exc:
            # The tests have run; a report that cannot be written is said in the summary, not raised over them.
            state.report_error = f"{type(exc).__name__}: {exc}"


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node: Any, error: Any) -> None:
    output = getattr(node, "workeroutput", None) or {}
    handed = output.get("quillfen")
    state = node.config.stash.get(_STATE, None)
    if handed and state is not None:
        state.records.extend(handed["records"])
        state.written.extend(handed["written"])


def _write_report(state: _SessionState) -> Path:
    """The HTML report of every screenshot asserted in the run, in test order, from the staged images."""
    from quillfen_tools.report import ReportWriter  # type: ignore[import-not-found,unused-ignore]

    report_dir = state.settings.report_dir
    assert report_dir is not None
    staged_keys = ("diff_png", "baseline_thumbnail", "current_thumbnail")
    records = sorted(state.records, key=lambda r: (r["test_id"], r["screenshot"]))
    with ReportWriter(report_dir, title="quillfen screenshots", meta={"source": "pytest"}) as writer:
        for record in records:
            # The images travel under the names a comparison result gives them.
            plain = {k: v for k, v in record.items() if not k.startswith("staged_")}
            for key in staged_keys:
                staged = record.get(f"staged_{key}")
                plain[key] = Path(staged).read_bytes() if staged else None
            extra = {"test_id": plain.pop("test_id"), "screenshot": plain.pop("screenshot")}
            if plain.pop("updated"):
                extra["updated"] = True
            writer.add(plain, **extra)
    shutil.rmtree(report_dir / _STAGING, ignore_errors=True)
    return report_dir / "index.html"


def pytest_terminal_summary(terminalreporter: Any, config: pytest.Config) -> None:
    state = config.stash.get(_STATE, None)
    if state is None or _is_worker(config):
        return
    if not (state.records or state.written or state.report_path or state.report_error):
        return
    passed = sum(1 for r in state.records if r["passed"])
    counts = [f"{passed} passed", f"{len(state.records) - passed} failed"]
    terminalreporter.write_sep("-", "quillfen screenshots")
    terminalreporter.write_line(f"{len(state.records)} screenshots asserted: {', '.join(counts)}")
    if state.written:
        terminalreporter.write_line(f"{len(state.written)} baseline{'s' if len(state.written) != 1 else ''} written:")
        for path in sorted(state.written)[:20]:
            terminalreporter.write_line(f"  {_shown(Path(path))}")
        if len(state.written) > 20:
            terminalreporter.write_line(f"  ... and {len(state.written) - 20} more")
    if state.report_error is not None:
        terminalreporter.write_line(f"report not written: {state.report_error}", red=True)
    elif state.report_path is not None:
        terminalreporter.write_line(f"report: {_shown(state.report_path)}")
