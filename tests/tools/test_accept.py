"""`quillfen accept`: a report's current images written over the baselines, with every check, from a `dirs`
report and from the pytest plugin's."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quillfen_tools.accept import Journal, Report, accept, undo
from quillfen_tools.cli import main
from screens import EXPECTED, every_status, screen

pytest_plugins = ["pytester"]


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def snapshot(folder):
    """Every file under a folder (hidden ones too) with its bytes."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(Path(folder).rglob("*")) if p.is_file()}


@pytest.fixture
def made(tmp_path):
    base, cur = every_status(tmp_path)
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "out")]) == 2
    return base, cur, tmp_path / "out"


def statuses(capsys, base, cur):
    capsys.readouterr()
    main(["dirs", str(base), str(cur), "--json"])
    return {p["name"]: p["status"] for p in json.loads(capsys.readouterr().out)["pairs"]}


def test_accept_named_then_all_and_dirs_then_finds_them_unchanged(made, capsys):
    base, cur, out = made
    before = snapshot(base)
    assert main(["accept", str(out)]) == 2  # nothing named: a usage error, nothing written
    assert "--all" in capsys.readouterr().err
    assert main(["accept", str(out), "--status", "bogus"]) == 2
    assert snapshot(base) == before

    assert main(["accept", str(out), "ui/changed.png"]) == 0
    assert (base / "ui/changed.png").read_bytes() == (cur / "ui/changed.png").read_bytes()
    assert snapshot(base).keys() == before.keys()
    assert statuses(capsys, base, cur)["ui/changed.png"] == "unchanged"

    # --all: every pair that did not pass and every new one; the broken current file is refused (exit 1), the
    # missing pair is left alone (it passed).
    assert main(["accept", str(out), "--all"]) == 1
    err = capsys.readouterr().err
    assert "refused broken.png: its current image does not decode" in err
    assert (base / "fresh.png").read_bytes() == (cur / "fresh.png").read_bytes()
    after = statuses(capsys, base, cur)
    assert {n: s for n, s in after.items() if s != "unchanged"} == {"broken.png": "error", "gone.png": "missing"}
    assert (base / "gone.png").exists()


def test_missing_pair_moved_aside_and_side_files_follow_their_baseline(made, capsys):
    base, cur, out = made
    side = base / "ui" / ".quillfen"
    side.mkdir()
    (side / "changed.png.boxes.json").write_text("old boxes")
    (side / "size.png.mask").write_text("keep?")
    (base / "ui/deep/.quillfen").mkdir()
    (base / "ui/deep/.quillfen/size.png.boxes.json").write_text("old size boxes")
    (base / ".quillfen").mkdir()
    (base / ".quillfen/gone.png.boxes.json").write_text("gone boxes")
    gone = (base / "gone.png").read_bytes()
    # Side files of a current image travel in the report only when the report is made with them.
    (cur / "ui/.quillfen").mkdir()
    (cur / "ui/.quillfen/changed.png.boxes.json").write_text("new boxes")
    assert main(["dirs", str(base), str(cur), "--out", str(out)]) == 2

    assert main(["accept", str(out), "gone.png", "ui/changed.png", "ui/deep/size.png"]) == 0
    assert not (base / "gone.png").exists() and not (base / ".quillfen/gone.png.boxes.json").exists()
    assert (out / "removed/gone.png").read_bytes() == gone
    assert (out / "removed/.quillfen/gone.png.boxes.json").read_text() == "gone boxes"
    assert (side / "changed.png.boxes.json").read_text() == "new boxes"        # replaced by the current one
    assert (side / "size.png.mask").read_text() == "keep?"                     # another baseline's
    assert not (base / "ui/deep/.quillfen/size.png.boxes.json").exists()       # no longer fits the new size
    assert "gone.png" not in statuses(capsys, base, cur)


def edit_report(out, name, **changes):
    doc = json.loads((out / "report.json").read_text())
    for pair in doc["pairs"]:
        if pair["name"] == name:
            pair.update(changes)
    (out / "report.json").write_text(json.dumps(doc))


def test_refusals_write_nothing(made, tmp_path, capsys):
    base, cur, out = made
    outside = tmp_path / "elsewhere"
    outside.mkdir()
    (outside / "victim.png").write_bytes(b"precious")
    edit_report(out, "ui/shifted.png", baseline_path="../elsewhere/victim.png")
    edit_report(out, "ui/deep/size.png", baseline_path=str(outside / "victim.png"))
    # A link inside the baseline folder that leads out of it.
    os.symlink(outside, base / "ui" / "link")
    edit_report(out, "fresh.png", baseline_path="ui/link/victim.png")
    # The copy kept in the report changed since the comparison.
    copy = out / json.loads((out / "report.json").read_text())["pairs"][4]["current_copy"]
    assert "changed" in copy.name
    copy.write_bytes(screen(9))
    before, elsewhere = snapshot(base), snapshot(outside)

    report = Report.load(out)
    outcome = accept(report, ["ui/shifted.png", "ui/deep/size.png", "fresh.png", "ui/changed.png", "nope.png",
                              "same.png", "broken.png"])
    assert outcome.accepted == []
    reasons = dict(outcome.refused)
    assert "not a path inside" in reasons["ui/shifted.png"] and "not a path inside" in reasons["ui/deep/size.png"]
    assert "outside the baseline folder" in reasons["fresh.png"]
    assert "changed since the comparison" in reasons["ui/changed.png"]
    assert reasons["nope.png"] == "not a pair of this report"
    assert "nothing to accept" in reasons["same.png"]
    assert "does not decode" in reasons["broken.png"]
    assert snapshot(base) == before and snapshot(outside) == elsewhere

    # Without the report's copy, the file in the current folder stands in, with the same hash check.
    copy.unlink()
    assert accept(report, ["ui/changed.png"]).accepted == ["ui/changed.png"]
    edit_report(out, "ui/changed.png", current_sha256="0" * 64)
    assert "changed since" in dict(accept(Report.load(out), ["ui/changed.png"]).refused)["ui/changed.png"]


def test_undo_puts_back_every_baseline_byte_for_byte(made):
    base, cur, out = made
    (base / ".quillfen").mkdir()
    (base / ".quillfen/gone.png.boxes.json").write_text("gone boxes")
    before = snapshot(base)
    report, journal = Report.load(out), Journal(out)
    names = ["ui/changed.png", "fresh.png", "gone.png", "ui/deep/size.png", "ui/shifted.png"]
    assert accept(report, names, journal=journal).accepted == names
    # A second accept of the same pair keeps the first state for undo.
    assert accept(report, ["ui/changed.png"], journal=journal).accepted == ["ui/changed.png"]
    assert snapshot(base) != before
    outcome = undo(report, names + ["same.png"], journal)
    assert outcome.accepted == names and dict(outcome.refused) == {"same.png": "not accepted in this run"}
    assert snapshot(base) == before
    assert not (out / "removed/gone.png").exists()


def test_accept_against_another_checkout_with_baselines(made, tmp_path, capsys):
    base, cur, out = made
    # The report travels (as a CI artifact would) and the current folder is gone: the copies are enough.
    moved = tmp_path / "downloaded"
    shutil.move(out, moved)
    shutil.rmtree(cur)
    checkout = tmp_path / "checkout"
    shutil.copytree(base, checkout)
    original = snapshot(base)
    assert main(["accept", str(moved), "--status", "changed", "new", "--baselines", str(checkout)]) == 0
    assert "ui/changed.png" in capsys.readouterr().out
    assert snapshot(base) == original
    changed = json.loads((moved / "report.json").read_text())["pairs"][4]
    assert changed["name"] == "ui/changed.png"
    assert digest(checkout / "ui/changed.png") == changed["current_sha256"]
    assert (checkout / "fresh.png").is_file()
    assert main(["accept", str(moved), "--all", "--baselines", str(tmp_path / "no-such")]) == 2


def test_dirs_update_only_globs(made, capsys):
    base, cur, out = made
    assert main(["dirs", str(base), str(cur), "--update", "--only", "ui/*", "--only", "fresh.png"]) == 2
    after = statuses(capsys, base, cur)
    assert {n for n, s in after.items() if s != EXPECTED[n]} == {"ui/changed.png", "ui/deep/size.png",
                                                                 "ui/shifted.png", "fresh.png"}
    assert after["broken.png"] == "error"


def test_accept_from_the_pytest_plugin_report(pytester, monkeypatch):
    from test_pytest_plugin import changed, page, png

    monkeypatch.delenv("CI", raising=False)
    pytester.makeini("[pytest]\n")
    pytester.makepyfile(test_one="""
from pathlib import Path

def test_page(assert_screenshot):
    assert_screenshot(Path(__file__).parent / "page.png")
""")
    run = lambda *a: pytester.runpytest("-p", "no:playwright", *a)  # noqa: E731
    (pytester.path / "page.png").write_bytes(png(page()))
    run().assert_outcomes(failed=1)  # the baseline is written
    (pytester.path / "page.png").write_bytes(png(changed(page())))
    run("--quillfen-report", "rep").assert_outcomes(failed=1)
    baseline = pytester.path / "__snapshots__/test_one/test_page.png"
    doc = json.loads((pytester.path / "rep/report.json").read_text())
    (pair,) = doc["pairs"]
    assert pair["baseline_path"] == "__snapshots__/test_one/test_page.png"
    assert pair["current_sha256"] == digest(pytester.path / "page.png")
    # Served: accepted and undone through the API; then accepted by the command.
    from test_review import Server

    old = baseline.read_bytes()
    server = Server(pytester.path / "rep")
    try:
        status, body = server.call("/api/accept", [pair["name"]])
        assert (status, body["accepted"]) == (200, [pair["name"]])
        assert baseline.read_bytes() == (pytester.path / "page.png").read_bytes()
        assert server.call("/api/undo", [pair["name"]])[1]["accepted"] == [pair["name"]]
        assert baseline.read_bytes() == old
    finally:
        server.stop()
    assert main(["accept", str(pytester.path / "rep"), "--all"]) == 0
    assert baseline.read_bytes() == (pytester.path / "page.png").read_bytes()
    run().assert_outcomes(passed=1)


def test_command_line_entry_point(made):
    base, cur, out = made
    proc = subprocess.run([sys.executable, "-m", "quillfen_tools", "accept", str(out), "fresh.png"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["accepted 1 pair:", "  fresh.png"]
