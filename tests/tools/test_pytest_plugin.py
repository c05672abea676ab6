"""The assert_screenshot fixture, run as users run it: pytest on small generated test projects."""
import hashlib
import io
import json
import os
import stat
import shutil
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

pytest_plugins = ["pytester"]


def page(width=80, height=60, seed=0):
    rng = np.random.default_rng(seed)
    a = np.full((height, width, 4), 245, dtype=np.uint8)
    a[:, :, 3] = 255
    for y in range(0, height, 4):
        x0 = int(rng.integers(0, width // 2))
        a[y : y + 2, x0 : x0 + int(rng.integers(4, width // 2)), :3] = rng.integers(0, 120, 3)
    a[:, 0, 0] = np.arange(height)  # no two rows alike
    return a


def png(array):
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(array)).save(buf, format="PNG")
    return buf.getvalue()


def pixels(data):
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGBA"))


def changed(a, box=(10, 10, 10, 10), colour=(255, 0, 0)):
    b = a.copy()
    x, y, w, h = box
    b[y : y + h, x : x + w, :3] = colour
    return b


ONE_SCREENSHOT = """
from pathlib import Path

def test_page(assert_screenshot):
    assert_screenshot(Path(__file__).parent / "page.png")
"""


@pytest.fixture
def project(pytester, monkeypatch):
    """A test project with one image the tests assert on; CI unset so the local defaults apply."""
    monkeypatch.delenv("CI", raising=False)
    pytester.makeini("[pytest]\n")

    def put(name, array):
        (pytester.path / name).write_bytes(png(array))

    def run(*args):
        # In-process runs share pytest-playwright's module state with this test run: keep it out of them.
        return pytester.runpytest("-p", "no:playwright", *args)

    pytester.put = put
    pytester.pytest_run = run
    return pytester


def snapshot(pytester, test_file, name):
    return pytester.path / "__snapshots__" / test_file / name


def failure_lines(result):
    return [line for line in result.outlines if line.startswith("E ") or "Failed:" in line]


def test_first_run_writes_the_baseline_and_fails_then_passes_then_reports_a_change(project):
    base = page()
    project.put("page.png", base)
    project.makepyfile(test_one=ONE_SCREENSHOT)

    first = project.pytest_run()
    first.assert_outcomes(failed=1)
    first.stdout.fnmatch_lines(["*no baseline yet, written: __snapshots__/test_one/test_page.png*"])
    baseline = snapshot(project, "test_one", "test_page.png")
    assert (pixels(baseline.read_bytes()) == base).all()

    project.pytest_run().assert_outcomes(passed=1)
    assert not (project.path / "quillfen-results").exists()

    project.put("page.png", changed(base))
    third = project.pytest_run()
    third.assert_outcomes(failed=1)
    message = [line for line in third.outlines if line.startswith("E ") and "screenshot" in line]
    assert len(message) == 1, third.outlines
    # What changed and where, once.
    assert "screenshot 'test_page.png' changed: changed at 6,6 (18x18); 1 cluster, 100 pixels differ (2.08 %)" \
        in message[0]
    assert "where:" not in message[0]
    assert "quillfen-results/test_one.py-test_page/test_page-{expected,actual,diff}.png" in message[0]
    results = project.path / "quillfen-results" / "test_one.py-test_page"
    assert (pixels((results / "test_page-expected.png").read_bytes()) == base).all()
    assert (pixels((results / "test_page-actual.png").read_bytes()) == changed(base)).all()
    assert pixels((results / "test_page-diff.png").read_bytes()).shape == base.shape
    # The failed comparison leaves the baseline alone.
    assert (pixels(baseline.read_bytes()) == base).all()

    # Stale artifacts go when the next run starts.
    project.put("page.png", base)
    project.pytest_run().assert_outcomes(passed=1)
    assert not results.exists()


def test_names_come_from_the_test_id_and_are_safe_file_names(project):
    project.put("page.png", page())
    project.makepyfile(
        test_names="""
        from pathlib import Path
        import pytest
        IMG = Path(__file__).parent / "page.png"

        @pytest.mark.parametrize("who", ["a/b", "x y", "..", "é"])
        def test_param(assert_screenshot, who):
            assert_screenshot(IMG)
            assert_screenshot(IMG)
            assert_screenshot(IMG, f"named {who}")

        class TestGroup:
            def test_method(self, assert_screenshot):
                assert_screenshot(IMG)
                assert_screenshot(IMG, "cart.png")
                assert_screenshot(IMG, "../../escape")
        """
    )
    project.pytest_run().assert_outcomes(failed=5)
    names = sorted(p.name for p in (project.path / "__snapshots__" / "test_names").iterdir())

    def h(raw):  # the short hash that keeps ids apart once their characters are replaced
        return hashlib.sha1(raw.encode()).hexdigest()[:8]
    assert names == sorted(
        [
            f"test_param-a-b-{h('test_param[a/b]')}.png", f"test_param-a-b-{h('test_param[a/b]')}-2.png",
            "named-a-b.png",
            f"test_param-x-y-{h('test_param[x y]')}.png", f"test_param-x-y-{h('test_param[x y]')}-2.png",
            "named-x-y.png",
            f"test_param-{h('test_param[..]')}.png", f"test_param-{h('test_param[..]')}-2.png", "named.png",
            # pytest escapes the id
            f"test_param-xe9-{h(chr(92).join(['test_param[', 'xe9]']))}.png",
            f"test_param-xe9-{h(chr(92).join(['test_param[', 'xe9]']))}-2.png", "named-é.png",
            "TestGroup-test_method.png", "cart.png", "escape.png",
        ]
    ), names
    # Nothing escaped the snapshot folder.
    assert sorted(p.name for p in project.path.iterdir() if p.suffix == ".png") == ["page.png"]


UPDATE_PROJECT = """
from pathlib import Path
HERE = Path(__file__).parent

def test_same(assert_screenshot):
    assert_screenshot(HERE / "same.png")

def test_changed(assert_screenshot):
    assert_screenshot(HERE / "changed.png")

def test_missing(assert_screenshot):
    assert_screenshot(HERE / "missing.png")
"""


@pytest.mark.parametrize(
    "mode, outcomes, written",
    [
        (None, {"passed": 1, "failed": 2}, {"missing"}),
        ("changed", {"passed": 3}, {"missing", "changed"}),
        ("all", {"passed": 3}, {"missing", "changed", "same"}),
        ("none", {"passed": 1, "failed": 2}, set()),
    ],
)
def test_update_modes(project, mode, outcomes, written):
    base, new = page(seed=1), changed(page(seed=1))
    project.makepyfile(test_update=UPDATE_PROJECT)
    for name in ("same", "changed", "missing"):
        project.put(f"{name}.png", new if name == "changed" else base)
    folder = project.path / "__snapshots__" / "test_update"
    folder.mkdir(parents=True)
    for name in ("same", "changed"):
        (folder / f"test_{name}.png").write_bytes(png(base))

    args = [f"--update-snapshots={mode}"] if mode else []
    result = project.pytest_run(*args)
    result.assert_outcomes(**outcomes)
    listed = [line.strip() for line in result.outlines if line.startswith("  __snapshots__/")]
    got = {name for name in ("same", "changed", "missing") if f"__snapshots__/test_update/test_{name}.png" in listed}
    assert got == written, result.stdout.str()
    assert (folder / "test_missing.png").exists() == ("missing" in written)
    expected_changed = new if "changed" in written else base
    assert (pixels((folder / "test_changed.png").read_bytes()) == expected_changed).all()
    if outcomes.get("failed") and mode != "none":
        result.stdout.fnmatch_lines(["E *screenshot 'test_changed.png' changed: *100 pixels differ*"])
    if mode == "none":
        result.stdout.fnmatch_lines(["*screenshot 'test_missing.png' has no baseline*--update-snapshots=none*"])


@pytest.mark.parametrize("ci, args, writes", [("true", [], False), ("1", ["--update-snapshots=missing"], True),
                                              ("false", [], True)])
def test_ci_environment_makes_none_the_default(project, monkeypatch, ci, args, writes):
    monkeypatch.setenv("CI", ci)
    project.put("page.png", page())
    project.makepyfile(test_ci=ONE_SCREENSHOT)
    result = project.runpytest_subprocess(*args)
    result.assert_outcomes(failed=1)
    assert snapshot(project, "test_ci", "test_page.png").exists() == writes
    if not writes:
        result.stdout.fnmatch_lines(["*has no baseline*the default when CI is set*"])


def test_options_per_call_and_from_the_ini(project):
    base = page(seed=2)
    project.put("base.png", base)
    project.put("small.png", changed(base, box=(40, 30, 3, 3)))  # 9 pixels
    faint = base.copy()
    faint[30:40, 40:50, :3] -= np.minimum(faint[30:40, 40:50, :3], 40)  # a luma step of 40: above 0.1, below 0.2
    project.put("faint.png", faint)
    project.put("boxed.png", changed(base, box=(0, 0, 20, 8)))
    project.makepyfile(
        test_opts="""
        from pathlib import Path
        import pytest
        HERE = Path(__file__).parent

        def check(assert_screenshot, image, **options):
            assert_screenshot(HERE / "base.png", "base.png")
            assert_screenshot(HERE / image, "base.png", **options)

        def test_ignore(assert_screenshot):
            check(assert_screenshot, "boxed.png", ignore=[(0, 0, 20, 8)])

        def test_ignore_misses(assert_screenshot):
            check(assert_screenshot, "boxed.png", ignore=[(0, 0, 20, 7)])

        def test_pixels_from_ini(assert_screenshot):
            check(assert_screenshot, "small.png")

        def test_pixels_per_call(assert_screenshot):
            check(assert_screenshot, "small.png", max_diff_pixels=8)

        def test_ratio(assert_screenshot):
            check(assert_screenshot, "boxed.png", max_diff_pixels=1000, max_diff_ratio=0.01)

        def test_threshold_from_ini(assert_screenshot):
            check(assert_screenshot, "faint.png")

        def test_threshold_per_call(assert_screenshot):
            check(assert_screenshot, "faint.png", threshold=0.0)
        """
    )
    project.makeini(
        "[pytest]\nquillfen_max_diff_pixels = 9\nquillfen_threshold = 0.2\nquillfen_snapshot_dir = shots\n"
    )
    result = project.pytest_run("--update-snapshots=missing")
    # The first screenshot of each test writes the shared baseline only once; later tests compare against it.
    outcomes = {r.nodeid.split("::")[1]: r.outcome for r in result.reprec.getreports("pytest_runtest_logreport")
                if r.when == "call"}
    assert outcomes == {
        "test_ignore": "failed",  # wrote the baseline (first test)
        "test_ignore_misses": "failed",
        "test_pixels_from_ini": "passed",
        "test_pixels_per_call": "failed",
        "test_ratio": "failed",
        "test_threshold_from_ini": "passed",
        "test_threshold_per_call": "failed",
    }, result.stdout.str()
    result.stdout.fnmatch_lines(["E *base.png' changed: *1?? pixels differ (3.*%)*; allowed max_diff_pixels=1000 and max_diff_ratio=0.01*"])
    assert (project.path / "shots" / "test_opts" / "base.png").exists()
    assert not (project.path / "__snapshots__").exists()
    second = project.pytest_run()
    second.assert_outcomes(passed=3, failed=4)

    project.makeini("[pytest]\nquillfen_threshold = two\n")
    bad = project.pytest_run()
    assert bad.ret == pytest.ExitCode.USAGE_ERROR
    bad.stderr.fnmatch_lines(["*quillfen_threshold: expected a number in the range*got 'two'*"])


def test_a_shift_is_named_and_accepted_with_allow_shift(project):
    base = page(width=60, height=90, seed=3)
    shifted = np.concatenate([base[:20], np.full((6, 60, 4), 90, dtype=np.uint8), base[20:]])  # the page grows by the banner
    project.put("base.png", base)
    project.put("shifted.png", shifted)
    project.put("cut.png", shifted[:90])  # a fixed-height capture: the rows pushed down fall off
    project.makepyfile(
        test_shift="""
        from pathlib import Path
        HERE = Path(__file__).parent

        def test_strict(assert_screenshot):
            assert_screenshot(HERE / "shifted.png", "base.png")

        def test_cut(assert_screenshot):
            assert_screenshot(HERE / "cut.png", "base.png")

        def test_allowed(assert_screenshot):
            assert_screenshot(HERE / "shifted.png", "base.png", allow_shift=True)
        """
    )
    folder = project.path / "__snapshots__" / "test_shift"
    folder.mkdir(parents=True)
    (folder / "base.png").write_bytes(png(base))
    result = project.pytest_run()
    result.assert_outcomes(passed=1, failed=2)
    result.stdout.fnmatch_lines(["E *screenshot 'base.png' shifted: 6 rows inserted at y=20* (allow_shift=True accepts*"])
    result.stdout.fnmatch_lines(["E *'base.png' shifted: 6 rows inserted at y=20, 6 rows pushed out of the capture at the bottom* (allow*"])


class FakePage:
    def __init__(self, data):
        self.data = data

    def screenshot(self):
        return self.data


class FakeDriver:  # a Selenium driver: screenshot() wants a file name
    def __init__(self, data):
        self.data = data

    def get_screenshot_as_png(self):
        return self.data

    def screenshot(self, filename):
        raise AssertionError("not this one")


class FakeElement:
    def __init__(self, data):
        self.data = data

    @property
    def screenshot_as_png(self):
        return self.data

    def screenshot(self, filename):
        raise AssertionError("not this one")


class AsyncPage:
    async def screenshot(self):
        return b""


def test_sources_of_every_kind_give_the_same_baseline(project):
    base = page(seed=4)
    data = png(base)
    project.put("page.png", base)
    project.syspathinsert(Path(__file__).parent)  # the fake browser objects below
    project.makepyfile(
        test_sources="""
        import io
        from pathlib import Path
        import numpy as np
        import pytest
        from PIL import Image
        from test_pytest_plugin import FakePage, FakeDriver, FakeElement, AsyncPage
        HERE = Path(__file__).parent
        DATA = (HERE / "page.png").read_bytes()

        @pytest.mark.parametrize("kind", ["bytes", "bytearray", "str", "path", "file", "array", "rgb_array",
                                          "pil", "pil_palette", "page", "driver", "element"])
        def test_source(assert_screenshot, kind):
            image = Image.open(HERE / "page.png")
            source = {
                "bytes": lambda: DATA, "bytearray": lambda: bytearray(DATA), "str": lambda: str(HERE / "page.png"),
                "path": lambda: HERE / "page.png", "file": lambda: open(HERE / "page.png", "rb"),
                "array": lambda: np.asarray(image.convert("RGBA")), "rgb_array": lambda: np.asarray(image.convert("RGB")),
                "pil": lambda: image, "pil_palette": lambda: image.convert("RGB").quantize(256),
                "page": lambda: FakePage(DATA), "driver": lambda: FakeDriver(DATA),
                "element": lambda: FakeElement(DATA),
            }[kind]()
            assert_screenshot(source, "page.png")

        def test_async(assert_screenshot):
            with pytest.raises(TypeError, match="asynchronous"):
                assert_screenshot(AsyncPage())

        def test_not_an_image(assert_screenshot):
            with pytest.raises(ValueError):
                assert_screenshot(b"not a png at all")
            with pytest.raises((TypeError, ValueError)):
                assert_screenshot(np.zeros((3, 3), dtype=np.float32))
        """
    )
    folder = project.path / "__snapshots__" / "test_sources"
    folder.mkdir(parents=True)
    (folder / "page.png").write_bytes(data)
    result = project.pytest_run("-p", "no:cacheprovider")
    # The palette image is quantised, so it may differ a little; every other kind is the same picture.
    reports = {r.nodeid.split("::")[1]: r for r in result.reprec.getreports("pytest_runtest_logreport") if r.when == "call"}
    failed = sorted(k for k, r in reports.items() if r.failed)
    assert failed in ([], ["test_source[pil_palette]"]), result.stdout.str()
    assert not list(folder.glob("test_*")), "a broken source must not write a baseline"
    # Baselines written from arrays are PNGs that read back as the same pixels.
    (folder / "page.png").unlink()
    project.pytest_run("-k", "rgb_array").assert_outcomes(failed=1)
    assert (pixels((folder / "page.png").read_bytes()) == base).all()


REPORT_PROJECT = """
from pathlib import Path
import pytest
HERE = Path(__file__).parent

@pytest.mark.parametrize("n", range(4))
def test_same(assert_screenshot, n):
    assert_screenshot(HERE / "base.png", "base.png")

@pytest.mark.parametrize("n", range(2))
def test_changed(assert_screenshot, n):
    assert_screenshot(HERE / "changed.png", "base.png")

def test_new(assert_screenshot):
    assert_screenshot(HERE / "base.png")
"""


def report_project(project):
    base = page(seed=5)
    project.put("base.png", base)
    project.put("changed.png", changed(base))
    project.makepyfile(test_rep=REPORT_PROJECT)
    folder = project.path / "__snapshots__" / "test_rep"
    folder.mkdir(parents=True)
    (folder / "base.png").write_bytes(png(base))


def read_report(folder):
    """The pairs as the page shows them (report.json holds the same minus the page-only facts)."""
    pairs = []
    for chunk in sorted((folder / "data").glob("pairs-*.js")):
        data = chunk.read_text()
        pairs += json.loads(data[data.index("[") : data.rindex("]") + 1])
    assert len(json.loads((folder / "report.json").read_text())["pairs"]) == len(pairs)
    return {p["name"]: p for p in pairs}


def test_report_of_every_screenshot_with_the_test_ids(project):
    report_project(project)
    result = project.pytest_run("--quillfen-report", "rep")
    result.assert_outcomes(passed=4, failed=3)
    result.stdout.fnmatch_lines(["7 screenshots asserted: 4 passed, 3 failed", "report: rep/index.html"])
    pairs = read_report(project.path / "rep")
    assert pairs["test_rep.py::test_same[0]::base.png"]["status"] == "unchanged"
    assert pairs["test_rep.py::test_changed[1]::base.png"]["status"] == "changed"
    assert pairs["test_rep.py::test_changed[1]::base.png"]["diff"]
    assert pairs["test_rep.py::test_new::test_new.png"]["status"] == "new"
    assert len(pairs) == 7
    for p in pairs.values():
        if p["diff"]:
            assert (project.path / "rep" / p["diff"]).is_file()
    assert [n for n, p in pairs.items() if p.get("updated")] == ["test_rep.py::test_new::test_new.png"]
    assert all(p["test_id"] == n.rsplit("::", 1)[0] for n, p in pairs.items())
    assert not (project.path / "rep" / ".screenshots").exists()

    # Accepting the change: the report marks the rewritten baseline (the second test then matches it).
    again = project.pytest_run("--quillfen-report", "rep", "--update-snapshots=changed")
    again.assert_outcomes(passed=7)
    pairs = read_report(project.path / "rep")
    assert [n for n, p in pairs.items() if p.get("updated")] == ["test_rep.py::test_changed[0]::base.png"]
    assert pairs["test_rep.py::test_changed[0]::base.png"]["status"] == "changed"


def test_xdist_workers_write_their_own_files_and_the_controller_merges_their_records(project):
    report_project(project)
    result = project.runpytest_subprocess("-n", "2", "-v", "--quillfen-report", "rep")
    result.assert_outcomes(passed=4, failed=3)
    out = result.stdout.str()
    assert "[gw0]" in out and "[gw1]" in out
    result.stdout.fnmatch_lines(["7 screenshots asserted: 4 passed, 3 failed", "1 baseline written:",
                                 "  __snapshots__/test_rep/test_new.png"])
    result.stdout.fnmatch_lines(["report: rep/index.html"])
    assert len(read_report(project.path / "rep")) == 7
    for n in range(2):
        (artifacts,) = (project.path / "quillfen-results").glob(f"test_rep.py-test_changed-{n}-*")
        assert sorted(p.name for p in artifacts.iterdir()) == ["base-actual.png", "base-diff.png", "base-expected.png"]


PLAYWRIGHT_CONFTEST = """
import shutil
import pytest

@pytest.fixture(scope="session")
def browser_type_launch_args(browser_type_launch_args):
    # Debian's Chromium instead of a browser build of Playwright's own.
    return {**browser_type_launch_args, "executable_path": shutil.which("chromium")}

@pytest.fixture(scope="session")
def browser_context_args(browser_context_args):
    return {**browser_context_args, "viewport": {"width": 400, "height": 300}}
"""

PLAYWRIGHT_PAGE = """
<!doctype html>
<html><head><link rel="stylesheet" href="style.css"></head>
<body><h1 id="title">Basket</h1><div id="card"><p>2 items</p><button>Pay</button></div></body></html>
"""

PLAYWRIGHT_TESTS = """
from pathlib import Path
URL = (Path(__file__).parent / "page.html").as_uri()

def test_title(page, assert_screenshot):
    page.goto(URL)
    assert_screenshot(page.locator("#title"))

def test_card(page, assert_screenshot):
    page.goto(URL)
    assert_screenshot(page, "whole.png")
    assert_screenshot(page.locator("#card"), "card.png")
"""

STYLE = "body {{ margin: 10px; font-family: sans-serif; }} #card {{ padding: 12px; background: {}; }}"


def test_a_real_page_in_chromium(project):
    assert shutil.which("chromium"), "Debian's chromium package is installed by scripts/setup.sh"
    project.makeconftest(PLAYWRIGHT_CONFTEST)
    (project.path / "page.html").write_text(PLAYWRIGHT_PAGE)
    (project.path / "style.css").write_text(STYLE.format("#cde"))
    project.makepyfile(test_pw=PLAYWRIGHT_TESTS)
    folder = project.path / "__snapshots__" / "test_pw"

    first = project.runpytest_subprocess()
    first.assert_outcomes(failed=2)
    # pytest-playwright ids name the browser; the brackets replaced, a short hash keeps the name apart from others.
    names = sorted(p.name for p in folder.iterdir() if not p.name.startswith("."))
    assert names[0] == "card.png" and names[2] == "whole.png" and names[1].startswith("test_title-chromium-")
    assert Image.open(folder / "whole.png").size == (400, 300)
    # The element boxes of each capture are kept beside its baseline, in image pixels relative to the capture.
    kept = json.loads((folder / ".quillfen" / "card.elements.json").read_text())["elements"]
    assert (kept[0]["selector"], kept[0]["x"], kept[0]["y"]) == ("div#card", 0, 0)
    assert {e["selector"] for e in kept} == {"div#card", "p", "button"}

    (project.path / "style.css").write_text(STYLE.format("#fb5"))
    second = project.runpytest_subprocess()
    second.assert_outcomes(passed=1, failed=1)  # the title renders as before: same pixels from run to run
    # Named by the element whose colour changed.
    second.stdout.fnmatch_lines(["E *screenshot 'whole.png' changed: div#card recoloured; 1 cluster, * pixels differ *"])
    (results,) = (project.path / "quillfen-results").glob("test_pw.py-test_card-chromium-*")
    assert (results / "whole-diff.png").is_file()

    third = project.runpytest_subprocess("--update-snapshots=changed")
    third.assert_outcomes(passed=2)
    third.stdout.fnmatch_lines(["2 baselines written:", "  __snapshots__/test_pw/card.png", "  __snapshots__/test_pw/whole.png"])


def test_ids_that_sanitise_alike_get_baselines_of_their_own(project):
    base = page()
    project.put("page.png", base)
    project.put("other.png", changed(base))
    project.makepyfile(
        test_ids="""
        from pathlib import Path
        import pytest
        HERE = Path(__file__).parent
        IDS = ["/about", "about", "a b", "a-b", "..", "~"]

        @pytest.mark.parametrize("who", IDS)
        def test_p(assert_screenshot, who):
            # Every other id shows a different picture: two tests sharing a baseline would fail one of them.
            image = "page.png" if IDS.index(who) % 2 == 0 else "other.png"
            assert_screenshot(HERE / image)
        """
    )
    project.pytest_run().assert_outcomes(failed=6)  # baselines written
    assert len(list((project.path / "__snapshots__" / "test_ids").iterdir())) == 6
    project.pytest_run().assert_outcomes(passed=6)


def test_a_baseline_under_the_old_name_is_kept_when_one_test_claims_it(project):
    base = page()
    project.put("page.png", base)
    project.makepyfile(
        test_old="""
        from pathlib import Path
        import pytest
        HERE = Path(__file__).parent

        @pytest.mark.parametrize("browser", ["chromium"])
        def test_single(assert_screenshot, browser):
            assert_screenshot(HERE / "page.png")

        @pytest.mark.parametrize("who", ["a b", "a-b"])
        def test_shared(assert_screenshot, who):
            assert_screenshot(HERE / "page.png")
        """
    )
    folder = project.path / "__snapshots__" / "test_old"
    folder.mkdir(parents=True)
    # Names earlier versions gave: one claimed by a single test, one that two tests shared.
    (folder / "test_single-chromium.png").write_bytes(png(base))
    (folder / "test_shared-a-b.png").write_bytes(png(changed(base)))
    result = project.pytest_run("--update-snapshots=none")
    outcomes = {r.nodeid.split("::")[1]: r.outcome for r in result.reprec.getreports("pytest_runtest_logreport")
                if r.when == "call"}
    # The single claimant compares against its old baseline; the shared one belongs to neither.
    assert outcomes == {"test_single[chromium]": "passed", "test_shared[a b]": "failed",
                        "test_shared[a-b]": "failed"}, result.stdout.str()
    result.stdout.fnmatch_lines(["*test_shared*has no baseline*"])


def test_paths_that_are_not_files_fail_the_test_without_hanging(project, tmp_path):
    os.mkfifo(project.path / "fifo.png")
    project.makepyfile(
        test_fifo="""
        from pathlib import Path
        HERE = Path(__file__).parent

        def test_fifo(assert_screenshot):
            assert_screenshot(HERE / "fifo.png")

        def test_zero(assert_screenshot):
            assert_screenshot("/dev/zero")
        """
    )
    result = project.pytest_run()
    result.assert_outcomes(failed=2)
    result.stdout.fnmatch_lines(["*InputError: current '*fifo.png': not a regular file (a FIFO)*",
                                 "*InputError: current '/dev/zero': not a regular file (a device)*"])


def test_tolerances_from_ini_are_unset_unless_given_and_baselines_keep_modes(project):
    base = page()
    project.put("page.png", base)
    project.put("small.png", changed(base, box=(40, 30, 3, 3)))  # 9 pixels of 4800
    project.makepyfile(
        test_tol="""
        from pathlib import Path
        HERE = Path(__file__).parent

        def test_first(assert_screenshot):
            assert_screenshot(HERE / "small.png", "base.png")
        """
    )
    folder = project.path / "__snapshots__" / "test_tol"
    folder.mkdir(parents=True)
    (folder / "base.png").write_bytes(png(base))
    os.chmod(folder / "base.png", 0o644)
    project.pytest_run().assert_outcomes(failed=1)  # no tolerance: a change fails
    project.makeini("[pytest]\nquillfen_max_diff_ratio = 0.002\n")
    project.pytest_run().assert_outcomes(passed=1)  # the ratio alone lets it pass
    project.makeini("[pytest]\nquillfen_max_diff_ratio = 0.002\nquillfen_max_diff_pixels = 8\n")
    project.pytest_run().assert_outcomes(failed=1)  # within every tolerance given, or not
    # A baseline rewritten keeps its mode; a new one gets 0666 minus the umask, not 0600.
    project.pytest_run("--update-snapshots=all").assert_outcomes(passed=1)
    assert stat.S_IMODE(os.stat(folder / "base.png").st_mode) == 0o644
    assert (pixels((folder / "base.png").read_bytes()) == changed(base, box=(40, 30, 3, 3))).all()
    (folder / "base.png").unlink()
    previous = os.umask(0o022)
    try:
        project.pytest_run().assert_outcomes(failed=1)
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(folder / "base.png").st_mode) == 0o644
    assert sorted(p.name for p in folder.iterdir()) == ["base.png"]  # no temporary left behind


def test_a_failing_screenshot_is_compared_once(project, monkeypatch):
    import quillfen_tools._snapshots as snapshots

    calls = []
    real = snapshots.compare_pair

    def counting(*args, **kwargs):
        calls.append(args[0])
        return real(*args, **kwargs)

    monkeypatch.setattr(snapshots, "compare_pair", counting)
    base = page()
    project.put("page.png", changed(base))
    project.makepyfile(test_one=ONE_SCREENSHOT)
    folder = project.path / "__snapshots__" / "test_one"
    folder.mkdir(parents=True)
    (folder / "test_page.png").write_bytes(png(base))
    project.pytest_run().assert_outcomes(failed=1)
    assert calls == ["test_page.png"]
    # ... and the failure still leaves its diff image.
    (results,) = (project.path / "quillfen-results").iterdir()
    assert (results / "test_page-diff.png").is_file()
