"""What CI shows of a run: GitHub workflow commands and the Markdown step summary, read back the way the runner and
a Markdown renderer read them, with file names chosen to break out of both."""
import json
import os
import re

import pytest

from quillfen_tools import ci
from quillfen_tools.cli import main
from screens import CHANGE, every_status, screen, write

pytest_plugins = ["pytester"]


@pytest.fixture(autouse=True)
def outside_github_actions(monkeypatch):
    """Every test starts outside GitHub Actions (as it may itself be running inside): those that need it say so."""
    monkeypatch.delenv("GITHUB_ACTIONS", raising=False)
    monkeypatch.delenv("GITHUB_STEP_SUMMARY", raising=False)

# Names a pair can have on a POSIX file system, each aimed at one way out of its field.
HOSTILE = [
    "a,b:c.png",                                  # ends a property, starts another
    "50%25 off%0A::error title=x::owned.png",     # pre-encoded: must come back as typed, not decoded
    "line\nbreak::warning::pwned.png",            # a raw newline starts a new command
    "cr\rreturn.png",
    "evil\n::error title=injected::owned.png",   # a command of its own, should the name reach a line start
    "pipe|in|name.png",                           # a new table cell
    "<img src=x onerror=alert(1)>.png",           # HTML in the summary page
    "back`tick*star_[link](x)~\\.png",
]


def parse_command(line):
    """A workflow command as the runner parses it: ::name k=v,k=v::message, percent-decoded."""
    assert "\n" not in line and "\r" not in line
    m = re.fullmatch(r"::([a-z]+)(?: ([^:]*))?::(.*)", line)
    assert m, line
    name, props, message = m.groups()

    def decode(text, prop):
        pairs = [("%0D", "\r"), ("%0A", "\n")] + ([("%3A", ":"), ("%2C", ",")] if prop else [])
        for code, ch in pairs:
            text = text.replace(code, ch)
        return text.replace("%25", "%")

    properties = {}
    for item in (props or "").split(","):
        if item:
            key, _, value = item.partition("=")
            properties[key] = decode(value, True)
    return name, properties, decode(message, False)


_UNESCAPE = {"&amp;": "&", "&lt;": "<", "&gt;": ">", "<br>": "\n"}


def parse_table(markdown, header):
    """The rows (lists of cell texts, unescaped) of the table whose header row starts with `header`."""
    lines = markdown.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(f"| {header} |"))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = re.split(r"(?<!\\)\|", line.strip())[1:-1]  # a pipe counts unless backslash-escaped
        rows.append([_unescape(c.strip()) for c in cells])
    return rows


def _unescape(cell):
    cell = re.sub(r"\\(.)", r"\1", cell)
    cell = re.sub(r"&amp;|&lt;|&gt;|<br>", lambda m: _UNESCAPE[m.group()], cell)
    return "" if cell == "\u2014" else cell


def record(name, status="changed", passed=False, diff=None, **extra):
    return {"name": name, "status": status, "passed": passed, "diff_pixels": 240, "diff_ratio": 0.035, "ssim": None,
            "width": 96, "height": 72, "baseline_size": [96, 72], "current_size": [96, 72], "clusters": [],
            "shift": None, "error": None, "diff": diff, **extra}


# ------------------------------------------------------------------------------------------------- escaping

def test_hostile_names_come_back_intact_from_annotations_and_table():
    records = [record(n, diff=f"images/{i}.diff.png") for i, n in enumerate(HOSTILE)]
    records.append(record("fine.png", status="unchanged", passed=True))
    records.append(record("broken\n.png", status="error", error="current 'broken\n.png': bad CRC"))

    lines = list(ci.annotation_lines(records, report_dir="out"))
    parsed = [parse_command(line) for line in lines]
    assert [p[0] for p in parsed] == ["error"] * (len(HOSTILE) + 1)
    assert [p[1] for p in parsed] == [{"title": n} for n in HOSTILE + ["broken\n.png"]]
    for (_, _, message), i in zip(parsed, range(len(HOSTILE))):
        assert message.startswith("changed: 240 pixels differ")
        assert message.endswith(f"(diff image: {os.path.join('out', f'images/{i}.diff.png')})")
    assert "bad CRC" in parsed[-1][2] and "broken\n.png" in parsed[-1][2]

    md = ci.summary_markdown(records, report_dir="out")
    assert "<img" not in md and "\r" not in md
    rows = parse_table(md, "pair")
    # A line break of any kind shows as one.
    assert [r[0] for r in rows] == [n.replace("\r", "\n") for n in HOSTILE] + ["broken\n.png"]
    assert all(len(r) == 4 for r in rows)  # no cell split or merged by a name
    assert [r[1] for r in rows] == ["changed"] * len(HOSTILE) + ["error"]
    assert rows[0][3] == os.path.join("out", "images/0.diff.png") and rows[-1][3] == ""
    assert rows[-1][2].startswith("error: current 'broken\n.png'")
    counts = dict(parse_table(md, "status"))
    assert counts == {"unchanged": "1", "changed": str(len(HOSTILE)), "error": "1"}
    assert md.startswith(f"### quillfen screenshots: {len(records)} pairs, {len(HOSTILE) + 1} did not pass")


def test_escaping_of_property_and_message_is_exact():
    assert ci.escape_property("%:,\r\n") == "%25%3A%2C%0D%0A"
    assert ci.escape_data("%:,\r\n") == "%25:,%0D%0A"
    # Encoding is applied once: an already encoded sequence survives a round trip.
    assert ci.escape_data("%0A") == "%250A"
    assert ci.escape_cell("a|b\r\nc\x1bd\u202ee") == "a\\|b<br>c\\\\x1bd\\\\u202ee"
    assert ci.escape_data("bad\udcff.png") == "bad\\xff.png"  # a byte that is not UTF-8, shown as such
    long = ci.escape_cell("x" * 5000)
    assert len(long) < 400 and long.endswith("\u2026")


def test_limits_passing_pairs_and_updated_pairs():
    failing = [record(f"p{i:03d}.png") for i in range(ci.ANNOTATION_LIMIT + 7)]
    passing = [record("ok.png", status="unchanged", passed=True), record("new.png", status="new", passed=True)]
    accepted = [record("accepted.png"), record("pytest-updated.png", updated=True)]
    lines = list(ci.annotation_lines(passing + failing + accepted, updated={"accepted.png"}))
    parsed = [parse_command(line) for line in lines]
    assert [p[1]["title"] for p in parsed[:-1]] == [r["name"] for r in failing[: ci.ANNOTATION_LIMIT]]
    assert parsed[-1][0] == "notice" and parsed[-1][2].startswith("7 more pairs did not pass")

    md = ci.summary_markdown(passing + failing + accepted, updated={"accepted.png"}, limit=10)
    rows = parse_table(md, "pair")
    assert [r[0] for r in rows] == [r["name"] for r in failing[:10]]
    assert f"{len(failing) - 10} more pairs not listed here." in md
    assert f"{len(passing + failing + accepted)} pairs, {len(failing)} did not pass" in md

    md = ci.summary_markdown(passing, interrupted=True)
    assert "every pair passed" in md and "interrupted" in md and "| pair |" not in md
    assert list(ci.annotation_lines(passing)) == []


def test_github_mode_from_the_environment():
    assert ci.github_active(False, {"GITHUB_ACTIONS": "true"})
    assert not ci.github_active(False, {"GITHUB_ACTIONS": "false"})
    assert not ci.github_active(False, {})
    assert ci.github_active(True, {})


# ------------------------------------------------------------------------------------------------- the command

def hostile_folders(tmp_path):
    base, cur = every_status(tmp_path)
    for name in HOSTILE:
        write(base, {name: screen(7)})
        write(cur, {name: screen(7, block=CHANGE)})
    for folder, data in ((base, screen(8)), (cur, screen(8, block=CHANGE))):
        with open(os.path.join(os.fsencode(folder), b"latin1-\xe9t\xe9.png"), "wb") as f:  # not UTF-8
            f.write(data)
    return base, cur


def test_dirs_in_github_actions(tmp_path, capsys, monkeypatch):
    base, cur = hostile_folders(tmp_path)
    step = tmp_path / "step-summary.md"
    step.write_text("earlier step\n")
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    monkeypatch.setenv("GITHUB_STEP_SUMMARY", str(step))
    report = tmp_path / "report"
    code = main(["dirs", str(base), str(cur), "--json", "--out", str(report), "--summary-md", str(tmp_path / "s.md")])
    out, err = capsys.readouterr()
    assert code == 2
    pairs = json.loads(out)["pairs"]  # stdout holds the JSON alone: the commands went to stderr
    failing = [p["name"] for p in pairs if not p["passed"]]
    failing = [n.replace("\udce9", "\\xe9") for n in failing]  # the bytes that are not UTF-8, as shown
    # Every line the runner would take as a command is one of ours: the progress lines cannot start one.
    commands = [parse_command(line) for line in (out + err).splitlines() if line.lstrip().startswith("::")]
    assert sorted(c[1]["title"] for c in commands) == sorted(failing)
    assert len(commands) == len(HOSTILE) + 5  # shifted, changed, size-changed, error
    by_title = {c[1]["title"]: c[2] for c in commands}
    assert by_title["a,b:c.png"].endswith(".diff.png)")
    diff = by_title["a,b:c.png"].rpartition("(diff image: ")[2][:-1]
    assert os.path.isfile(diff) and diff.startswith(str(report))

    text = step.read_text()
    assert text.startswith("earlier step\n")  # appended, never replaced
    md = text[len("earlier step\n"):]
    assert md == (tmp_path / "s.md").read_text()
    rows = parse_table(md, "pair")
    assert sorted(r[0] for r in rows) == sorted(n.replace("\r", "\n") for n in failing)
    assert all(os.path.isfile(r[3]) for r in rows if r[1] != "error")
    assert dict(parse_table(md, "status"))["changed"] == str(len(HOSTILE) + 2)
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".quillfen")]

    # Without GitHub Actions: no commands, and the Markdown only where asked.
    monkeypatch.setenv("GITHUB_ACTIONS", "false")
    assert main(["dirs", str(base), str(cur)]) == 2
    out, err = capsys.readouterr()
    assert not [line for line in (out + err).splitlines() if line.lstrip().startswith("::")]
    assert "evil\\x0a::error title=injected::owned.png" in out  # shown, with its line break spelled out
    assert step.read_text() == text
    # --github asks for them anywhere; no GITHUB_STEP_SUMMARY means no summary file, not a failure.
    monkeypatch.delenv("GITHUB_STEP_SUMMARY")
    assert main(["dirs", str(base), str(cur), "--github"]) == 2
    out, _ = capsys.readouterr()
    assert sum(line.startswith("::error title=") for line in out.splitlines()) == len(HOSTILE) + 5


def test_a_summary_that_cannot_be_written_fails_the_run(tmp_path, capsys):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page})
    cur = write(tmp_path / "c", {"a.png": page})
    (tmp_path / "afile").write_text("")
    code = main(["dirs", str(base), str(cur), "--summary-md", str(tmp_path / "afile" / "summary.md")])
    assert code == 2
    assert "cannot write the summary" in capsys.readouterr().err
    assert main(["dirs", str(base), str(cur), "--summary-md", str(tmp_path / "ok.md")]) == 0
    assert "every pair passed" in (tmp_path / "ok.md").read_text()


# ------------------------------------------------------------------------------------------------- pytest

SHOTS = """
import pytest
from pathlib import Path
HERE = Path(__file__).parent

@pytest.mark.parametrize("n", range(3))
def test_same(assert_screenshot, n):
    assert_screenshot((HERE / "page.png").read_bytes(), "page.png")

@pytest.mark.parametrize("who", ["a|b", "c,d:e"])
def test_changed(assert_screenshot, who):
    assert_screenshot((HERE / "changed.png").read_bytes(), "page.png")
"""


@pytest.mark.parametrize("workers", [None, "2"], ids=["one process", "xdist"])
def test_pytest_plugin_summary_and_annotations(pytester, monkeypatch, workers):
    pytest.importorskip("xdist")
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    step = pytester.path / "step.md"
    monkeypatch.setenv("GITHUB_STEP_SUMMARY", str(step))
    pytester.makeini("[pytest]\n")
    (pytester.path / "page.png").write_bytes(screen(3))
    (pytester.path / "changed.png").write_bytes(screen(3, block=CHANGE))
    write(pytester.path / "__snapshots__" / "test_shots", {"page.png": screen(3)})
    pytester.makepyfile(test_shots=SHOTS)
    args = ["-p", "no:playwright", "--quillfen-summary-md", "summary.md"] + (["-n", workers] if workers else [])
    result = pytester.runpytest_subprocess(*args)
    result.assert_outcomes(passed=3, failed=2)

    commands = [parse_command(line) for line in result.outlines if line.lstrip().startswith("::")]
    failing = ["test_shots.py::test_changed[a|b]::page.png", "test_shots.py::test_changed[c,d:e]::page.png"]
    assert [c[1]["title"] for c in commands] == failing
    for _, _, message in commands:
        diff = message.rpartition("(diff image: ")[2][:-1]
        assert message.startswith("changed: ") and (pytester.path / diff).is_file()

    text = step.read_text()
    assert text.count("### quillfen screenshots") == 1  # the controller alone writes, once
    assert text == (pytester.path / "summary.md").read_text()
    assert [r[0] for r in parse_table(text, "pair")] == failing
    assert dict(parse_table(text, "status")) == {"unchanged": "3", "changed": "2"}


# ------------------------------------------------------------------------------------------------- no silent pass

def test_a_current_folder_without_screenshots_is_an_error(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "base", {f"p{i}.png": screen(i) for i in range(10)})
    (tmp_path / "cur" / "sub").mkdir(parents=True)
    (tmp_path / "cur" / "log.txt").write_text("capture failed")
    (tmp_path / "cur" / "sub" / "shot.PNG.txt").write_text("")
    for argv in (["base", "cur/"], ["base", "cur/", "--json", "--out", "rep"], ["base", "cur/", "--github"]):
        code = main(["dirs", *argv])
        out, err = capsys.readouterr()
        assert code == 2 and out == ""
        assert "no screenshots in cur/ " in err  # the folder as the user typed it
        commands = [parse_command(line) for line in err.splitlines() if line.startswith("::")]
        if "--github" in argv:  # and on the job's page
            assert [(c[0], c[1]["title"]) for c in commands] == [("error", "quillfen dirs")]
            assert commands[0][2].startswith("no screenshots in cur/ ")
        else:
            assert commands == []
    assert not (tmp_path / "rep").exists()
    # One screenshot anywhere below it is enough to compare.
    write(tmp_path / "cur", {"sub/p3.png": screen(3)})
    assert main(["dirs", "base", "cur"]) == 0


@pytest.mark.parametrize("missing, said", [(4, True), (3, False), (0, False)])
def test_most_baselines_missing_is_said_last(tmp_path, capsys, missing, said):
    base = write(tmp_path / "b", {f"p{i}.png": screen(i) for i in range(6)})
    cur = write(tmp_path / "c", {f"p{i}.png": screen(i) for i in range(missing, 6)})
    write(cur, {"extra.png": screen(9)})  # a new file does not make up for a missing one
    for flags in ([], ["--json", "--out", str(tmp_path / "rep")]):
        assert main(["dirs", str(base), str(cur), *flags]) == 0
        out, err = capsys.readouterr()
        last = (err if flags else out).rstrip("\n").splitlines()[-1]
        if said:
            assert last == f"{missing} of 6 baselines have no current screenshot: were the screenshots taken?"
        else:
            assert "baselines have no current screenshot" not in out + err
    # The step summary says it too, above the counts.
    assert main(["dirs", str(base), str(cur), "--summary-md", str(tmp_path / "s.md")]) == 0
    md = (tmp_path / "s.md").read_text()
    assert (f"**{missing} of 6 baselines have no current screenshot**" in md) == said
