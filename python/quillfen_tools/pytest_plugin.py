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

import os
import shutil
from pathlib import Path
from typing import Any

import pytest

from ._options import Options, declaration, from_text
from ._snapshots import (
    RESULTS_DIR, STAGING, TEST, ScreenshotAsserter, SessionState, Settings, default_stems, shown,
)

UPDATE_MODES = ("missing", "changed", "all", "none")

# Comparison options a project may set in its ini file, as quillfen_<name>.
INI_OPTIONS = ("threshold", "include_aa", "jitter", "max_diff_pixels", "max_diff_ratio", "allow_shift", "max_pixels")

_STATE = pytest.StashKey[SessionState]()


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
    group.addoption(
        "--quillfen-github",
        action="store_true",
        default=False,
        help="write the GitHub Actions step summary and one ::error annotation per screenshot that did not pass "
        "(on by itself when GITHUB_ACTIONS is true)",
    )
    group.addoption(
        "--quillfen-summary-md",
        metavar="FILE",
        default=None,
        help="write a Markdown summary of the screenshots asserted (counts, the ones that did not pass) to FILE",
    )
    for name in INI_OPTIONS:
        d = declaration(name)
        default = "unset" if d["default"] is None else str(d["default"])
        parser.addini(f"quillfen_{name}", f"default {name} of assert_screenshot: {d['help']} (default: {default})",
                      default="")
    parser.addini(
        "quillfen_snapshot_dir",
        "folder for screenshot baselines, relative to the ini file (default: __snapshots__ beside each test file)",
        default="",
    )


def _ci_set() -> bool:
    value = os.environ.get("CI", "").strip().lower()
    return value not in ("", "0", "false", "no")


def _ini_options(config: pytest.Config) -> Options:
    given = {}
    for name in INI_OPTIONS:
        text = str(config.getini(f"quillfen_{name}")).strip()
        if text:
            try:
                given[name] = from_text(name, text)
            except ValueError as e:
                raise pytest.UsageError(f"quillfen_{name}: {e}") from None
    return Options.make(**given)


def _read_settings(config: pytest.Config) -> Settings:
    ci = _ci_set()
    mode = config.getoption("--update-snapshots") or ("none" if ci else "missing")
    # Relative folders are taken from the ini file's folder (the root folder when there is none), so they do not
    # depend on where pytest is started from.
    base = config.inipath.parent if config.inipath is not None else config.rootpath
    snapshot_dir = None
    if config.getini("quillfen_snapshot_dir"):
        snapshot_dir = (base / str(config.getini("quillfen_snapshot_dir"))).resolve()
    report = config.getoption("--quillfen-report")
    return Settings(
        mode=mode,
        options=_ini_options(config),
        snapshot_dir=snapshot_dir,
        rootpath=config.rootpath,
        results_dir=config.rootpath / RESULTS_DIR,
        report_dir=Path(report).resolve() if report else None,
        ci=ci,
    )


def _is_worker(config: pytest.Config) -> bool:
    return hasattr(config, "workerinput")


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_STATE] = SessionState(_read_settings(config))


def pytest_sessionstart(session: pytest.Session) -> None:
    # Stale artifacts of an earlier run would read as failures of this one. The controller (or the only process)
    # clears them once before any test runs; xdist workers never do.
    config = session.config
    settings = config.stash[_STATE].settings
    if not _is_worker(config):
        shutil.rmtree(settings.results_dir, ignore_errors=True)
        if settings.report_dir is not None:
            shutil.rmtree(settings.report_dir / STAGING, ignore_errors=True)


def pytest_collection_modifyitems(session: pytest.Session, config: pytest.Config, items: list[pytest.Item]) -> None:
    # How many tests' default names map to each old-style baseline name: one that a single test claims is still
    # that test's baseline (see ScreenshotAsserter).
    from ._snapshots import snapshot_dir

    state = config.stash.get(_STATE, None)
    if state is None:
        return
    for item in items:
        if "assert_screenshot" not in getattr(item, "fixturenames", ()):
            continue
        key = str(snapshot_dir(item, state.settings) / default_stems(item)[1])
        state.claims[key] = state.claims.get(key, 0) + 1


# ---------------------------------------------------------------------------------------------------------------
# The fixture


@pytest.fixture
def assert_screenshot(request: pytest.FixtureRequest) -> ScreenshotAsserter:
    """Compare a screenshot with its baseline: `assert_screenshot(page_or_image, name=None, **options)`."""
    return ScreenshotAsserter(request.node, request.config.stash[_STATE])


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Any:
    outcome = yield
    test = item.stash.get(TEST, None)
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


def _write_report(state: SessionState) -> Path:
    """The HTML report of every screenshot asserted in the run, in test order, from the staged images."""
    from quillfen_tools.report import ReportWriter  # type: ignore[import-not-found,unused-ignore]

    report_dir = state.settings.report_dir
    assert report_dir is not None
    staged_keys = ("diff_png", "baseline_thumbnail", "current_thumbnail", "baseline_file", "current_file")
    records = sorted(state.records, key=lambda r: (r["test_id"], r["screenshot"]))
    meta = {"source": "pytest", "baseline_dir": str(state.settings.rootpath)}
    with ReportWriter(report_dir, title="quillfen screenshots", meta=meta) as writer:
        for record in records:
            # The images travel under the names a comparison result gives them.
            plain = {k: v for k, v in record.items() if not k.startswith("staged_")}
            for key in staged_keys:
                staged = record.get(f"staged_{key}")
                plain[key] = Path(staged).read_bytes() if staged else None
            extra = {"test_id": plain.pop("test_id"), "screenshot": plain.pop("screenshot")}
            if plain.pop("updated"):
                extra["updated"] = True
            plain["baseline_path"] = plain.pop("report_baseline", None) or plain.get("baseline_path")
            files = {key: plain.pop(key) for key in ("baseline_file", "current_file")}
            writer.add(plain, **files, **extra)
    shutil.rmtree(report_dir / STAGING, ignore_errors=True)
    return report_dir / "index.html"


def _publish_ci(terminalreporter: Any, config: pytest.Config, state: SessionState) -> list[str]:
    """The GitHub annotations (on the terminal) and the Markdown summaries, written by the controller only;
    returns what could not be written."""
    from quillfen_tools import ci

    github = ci.github_active(bool(config.getoption("--quillfen-github")))
    summary_md = config.getoption("--quillfen-summary-md")
    if not github and summary_md is None:
        return []
    records = sorted(state.records, key=lambda r: (r["test_id"], r["screenshot"]))

    class _Lines:
        def write(self, text: str) -> None:
            for line in text.splitlines():
                terminalreporter.write_line(line)

        def flush(self) -> None:
            pass

    if summary_md is not None:
        summary_md = str(config.invocation_params.dir / summary_md)
    return ci.publish(records, github=github, summary_md=summary_md, out=_Lines())


def pytest_terminal_summary(terminalreporter: Any, config: pytest.Config) -> None:
    state = config.stash.get(_STATE, None)
    if state is None or _is_worker(config):
        return
    for problem in _publish_ci(terminalreporter, config, state):
        terminalreporter.write_line(f"quillfen: {problem}", red=True)
    if not (state.records or state.written or state.report_path or state.report_error):
        return
    passed = sum(1 for r in state.records if r["passed"])
    counts = [f"{passed} passed", f"{len(state.records) - passed} failed"]
    terminalreporter.write_sep("-", "quillfen screenshots")
    terminalreporter.write_line(f"{len(state.records)} screenshots asserted: {', '.join(counts)}")
    if state.written:
        terminalreporter.write_line(f"{len(state.written)} baseline{'s' if len(state.written) != 1 else ''} written:")
        for path in sorted(state.written)[:20]:
            terminalreporter.write_line(f"  {shown(Path(path))}")
        if len(state.written) > 20:
            terminalreporter.write_line(f"  ... and {len(state.written) - 20} more")
    if state.report_error is not None:
        terminalreporter.write_line(f"report not written: {state.report_error}", red=True)
    elif state.report_path is not None:
        terminalreporter.write_line(f"report: {shown(state.report_path)}")
