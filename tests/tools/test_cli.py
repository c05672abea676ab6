"""The `quillfen` command as a user and a CI step run it: exit codes, statuses, JSON, JUnit, --update, bad input."""
import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from quillfen_tools.cli import main
from screens import CHANGE, EXPECTED, H, W, every_status, in_thread, screen, venv_script, write

JSON_KEYS = ["name", "status", "passed", "diff_pixels", "diff_ratio", "jitter_pixels", "ignored_pixels", "ssim",
             "width", "height", "baseline_size", "current_size", "clusters", "shift", "error", "baseline_path", "current_path", "baseline_sha256",
             "current_sha256", "diff"]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def pair(tmp_path):
    def make(baseline, current):
        write(tmp_path, {"b.png": baseline, "c.png": current})
        return tmp_path / "b.png", tmp_path / "c.png"
    return make


# ------------------------------------------------------------------------------------------------- compare

def test_compare_statuses_tolerances_and_exit_codes(capsys, pair, tmp_path):
    b, c = pair(screen(1), screen(1))
    assert run(capsys, "compare", b, c)[0] == 0

    b, c = pair(screen(1), screen(1, block=CHANGE))
    code, out, _ = run(capsys, "compare", b, c, "--json", "--diff", tmp_path / "d.png")
    record = json.loads(out)
    assert code == 1
    assert list(record) == JSON_KEYS
    assert record["status"] == "changed" and record["passed"] is False
    assert record["diff_pixels"] == CHANGE[2] * CHANGE[3]
    assert record["diff_ratio"] == pytest.approx(record["diff_pixels"] / (W * H))
    assert record["diff"] == str(tmp_path / "d.png")
    assert (record["baseline_path"], record["current_path"]) == (str(b), str(c))
    assert record["current_sha256"] == hashlib.sha256(c.read_bytes()).hexdigest() != record["baseline_sha256"]
    assert (tmp_path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    (box,) = record["clusters"]
    x, y, w, h = CHANGE
    assert box["x"] <= x < x + w <= box["x"] + box["width"] and box["y"] <= y < y + h <= box["y"] + box["height"]

    # Tolerances: enough pixels allowed, or the change ignored, and it passes.
    assert run(capsys, "compare", b, c, "--max-diff-pixels", CHANGE[2] * CHANGE[3])[0] == 0
    assert run(capsys, "compare", b, c, "--max-diff-pixels", 10 ** 6, "--max-diff-ratio", 0.001)[0] == 1
    assert run(capsys, "compare", b, c, "--ignore", ",".join(map(str, CHANGE)))[0] == 0
    assert run(capsys, "compare", b, c, "--threshold", 1)[0] == 0

    b, c = pair(screen(1), screen(1, banner=5))
    code, out, _ = run(capsys, "compare", b, c, "--json")
    assert code == 1
    assert json.loads(out)["status"] == "shifted"
    assert json.loads(out)["shift"]["bands"][0] == {"kind": "inserted", "y": 8, "rows": 5, "x0": 0, "x1": W,
                                                      "at_edge": False, "element": None}
    assert run(capsys, "compare", b, c, "--allow-shift")[0] == 0

    b, c = pair(screen(1), screen(1, width=W + 4))
    code, out, _ = run(capsys, "compare", b, c)
    assert code == 1 and out.startswith("size-changed")


def test_compare_bad_input_names_the_file(capsys, pair, tmp_path):
    good = screen(1)
    cases = {
        "missing file": (tmp_path / "b.png", tmp_path / "nope.png", "nope.png"),
        "a folder": (tmp_path / "b.png", tmp_path, "is a folder"),
    }
    pair(good, good)
    (tmp_path / "text.png").write_text("not an image at all\n")
    (tmp_path / "cut.png").write_bytes(good[: len(good) - 40])
    cases["not a PNG"] = (tmp_path / "b.png", tmp_path / "text.png", "current")
    cases["truncated PNG"] = (tmp_path / "cut.png", tmp_path / "b.png", "baseline")
    for label, (b, c, expected) in cases.items():
        code, out, err = run(capsys, "compare", b, c, "--json")
        assert code == 2, label
        assert expected in err, (label, err)
        assert "Traceback" not in err
    # A --diff path that cannot be written.
    code, _, err = run(capsys, "compare", tmp_path / "b.png", tmp_path / "b.png", "--diff", tmp_path / "no" / "d.png")
    assert code == 2 and "d.png" in err


@pytest.mark.parametrize("argv", [
    ["compare", "a.png"],
    ["compare", "a.png", "b.png", "--threshold", "1.5"],
    ["compare", "a.png", "b.png", "--ignore", "1,2,3"],
    ["compare", "a.png", "b.png", "--max-diff-pixels", "-1"],
    ["dirs", "a", "b", "--jobs", "0"],
    ["frobnicate"],
])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as e:
        main(argv)
    assert e.value.code == 2
    assert "usage:" in capsys.readouterr().err


# ------------------------------------------------------------------------------------------------- dirs

def test_dirs_every_status_json_report_and_junit(capsys, tmp_path):
    base, cur = every_status(tmp_path)
    report, junit = tmp_path / "report", tmp_path / "junit.xml"
    code, out, err = run(capsys, "dirs", base, cur, "--json", "--out", report, "--junit", junit)
    assert code == 2  # a file that cannot be decoded; every other pair still compared
    doc = json.loads(out)
    # report.json adds the folders, which `quillfen accept` writes into and reads from, and per pair what an
    # accept needs (a copy of the current file, the group of its change; the hashes of an error pair's files too).
    kept = json.loads((report / "report.json").read_text())
    assert (kept["summary"], kept["baseline_dir"], kept["current_dir"]) == (doc["summary"], str(base), str(cur))
    same = [k for k in JSON_KEYS if "sha256" not in k]
    assert [{k: p[k] for k in same} for p in kept["pairs"]] == [{k: p[k] for k in same} for p in doc["pairs"]]
    assert [p["current_sha256"] for p in kept["pairs"] if p["status"] != "error"] == [
        p["current_sha256"] for p in doc["pairs"] if p["status"] != "error"]
    assert {p["name"]: p["status"] for p in doc["pairs"]} == EXPECTED
    assert [p["name"] for p in doc["pairs"]] == sorted(EXPECTED)
    assert all(list(p)[:len(JSON_KEYS)] == JSON_KEYS for p in doc["pairs"])
    assert {k: v for k, v in doc["summary"].items() if v} == {s: 1 for s in EXPECTED.values()}
    by_name = {p["name"]: p for p in doc["pairs"]}
    assert "broken.png" in by_name["broken.png"]["error"] and "current" in by_name["broken.png"]["error"]
    assert by_name["fresh.png"]["passed"] and by_name["gone.png"]["passed"]
    assert by_name["fresh.png"]["current_size"] == [W, H] and by_name["fresh.png"]["diff"] is None
    assert by_name["same.png"]["diff"] is None  # an unchanged pair's diff image would show nothing
    for name in ("ui/shifted.png", "ui/changed.png", "ui/deep/size.png"):
        diff = by_name[name]["diff"]
        assert (report / diff).read_bytes()[:4] == b"\x89PNG", name
    assert (report / "index.html").is_file()
    # Human lines go to stderr when stdout carries the JSON.
    assert "7 pairs" in err and "report:" in err

    root = ET.parse(junit).getroot()
    suite = root.find("testsuite")
    assert suite.get("tests") == "7"
    cases = {(c.get("classname"), c.get("name")): c for c in suite.iter("testcase")}
    assert len(cases) == 7
    assert cases[("quillfen.ui", "changed.png")].find("failure").get("type") == "changed"
    assert cases[("quillfen.ui.deep", "size.png")].find("failure") is not None
    assert cases[("quillfen.ui", "shifted.png")].find("failure") is not None
    assert cases[("quillfen", "broken.png")].find("error") is not None
    assert cases[("quillfen", "fresh.png")].find("skipped") is not None
    assert cases[("quillfen", "same.png")].find("failure") is None
    assert (suite.get("failures"), suite.get("errors"), suite.get("skipped")) == ("3", "1", "2")
    assert "pixels differ" in cases[("quillfen.ui", "changed.png")].find("failure").get("message")

    # The report holds exact copies of the pairs to look at; an unchanged pair keeps no copy (the page links to its
    # files), or a WebP thumbnail.
    images = sorted(p.name for p in (report / "images").iterdir())
    assert [n for n in images if "same" in n] == []
    assert "00004-ui__changed.current.png" in images
    assert run(capsys, "dirs", base, cur, "--out", tmp_path / "thumbs", "--thumbnails", 40)[0] == 2
    kinds = {p.suffix for p in (tmp_path / "thumbs" / "images").iterdir() if "same" in p.name}
    assert kinds == {".webp"}


def test_dirs_exit_codes_and_flags(capsys, tmp_path):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page, "old.png": page})
    cur = write(tmp_path / "c", {"a.png": page, "new.png": page})
    assert run(capsys, "dirs", base, cur)[0] == 0
    assert run(capsys, "dirs", base, cur, "--fail-on-new")[0] == 1
    assert run(capsys, "dirs", base, cur, "--fail-on-missing")[0] == 1
    write(cur, {"a.png": screen(1, banner=3)})
    assert run(capsys, "dirs", base, cur)[0] == 1
    code, out, _ = run(capsys, "dirs", base, cur, "--allow-shift", "--jobs", "1")
    assert code == 0
    # Plain lines (not a terminal): one per pair, then the summary.
    assert "shifted" in out and "3 pairs: 1 shifted, 1 new, 1 missing" in out


def test_dirs_update_accepts_current_images(capsys, tmp_path):
    base, cur = every_status(tmp_path)
    before_missing = (base / "gone.png").read_bytes()
    broken_baseline = (base / "broken.png").read_bytes()
    code, out, _ = run(capsys, "dirs", base, cur, "--update")
    # The undecodable current file is not copied, so the run still reports it.
    assert code == 2
    assert "updated 4 baselines" in out
    for name in ("ui/shifted.png", "ui/changed.png", "ui/deep/size.png", "fresh.png"):
        assert (base / name).read_bytes() == (cur / name).read_bytes(), name
    assert (base / "gone.png").read_bytes() == before_missing
    assert (base / "broken.png").read_bytes() == broken_baseline
    assert not [p for p in base.rglob("*") if p.name.startswith(".quillfen")]

    os.remove(cur / "broken.png")
    os.remove(base / "broken.png")
    code, out, _ = run(capsys, "dirs", base, cur, "--json")
    assert code == 0
    assert json.loads(out)["summary"] == {"unchanged": 5, "shifted": 0, "changed": 0, "size-changed": 0,
                                          "new": 0, "missing": 1, "error": 0}

    # A baseline that cannot be decoded is replaced by a good current image.
    (base / "same.png").write_bytes(b"\x89PNG\r\n\x1a\n garbage")
    code, out, _ = run(capsys, "dirs", base, cur, "--update")
    assert code == 0 and "same.png" in out
    assert (base / "same.png").read_bytes() == (cur / "same.png").read_bytes()


def test_dirs_bad_folders(capsys, tmp_path):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page})
    cur = write(tmp_path / "c", {"a.png": page})
    (tmp_path / "file.txt").write_text("x")
    (tmp_path / "e1").mkdir()
    (tmp_path / "e2").mkdir()
    cases = [
        ((base, tmp_path / "file.txt"), "is a file"),
        ((tmp_path / "nowhere", cur), "does not exist"),
        ((base, base), "same folder"),
        ((base, tmp_path / "b" / "." ), "same folder"),
        ((tmp_path / "e1", tmp_path / "e2"), "no *.png file"),
        ((base, cur, "--out", tmp_path / "file.txt"), "is a file"),
    ]
    for argv, message in cases:
        code, out, err = run(capsys, "dirs", *argv)
        assert code == 2, argv
        assert message in err, (argv, err)


def test_dirs_unreadable_files_do_not_stop_the_run(capsys, tmp_path):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page, "z.png": page, "text.png": page})
    cur = write(tmp_path / "c", {"a.png": page, "z.png": screen(1, block=CHANGE), "text.png": b"hello"})
    os.symlink(cur / "absent.png", cur / "dangling.png")
    os.symlink(base / "absent.png", base / "dangling.png")
    os.mkfifo(cur / "fifo.png")  # reading it would block: it must be refused, not read
    (base / "folder.png").mkdir()  # a folder named like an image is not a file
    code, out, err = run(capsys, "dirs", tmp_path / "b", tmp_path / "c", "--json")
    assert code == 2
    pairs = {p["name"]: p for p in json.loads(out)["pairs"]}
    assert pairs["a.png"]["status"] == "unchanged" and pairs["z.png"]["status"] == "changed"
    assert pairs["text.png"]["status"] == "error" and "text.png" in pairs["text.png"]["error"]
    assert pairs["dangling.png"]["status"] == "error" and "No such file" in pairs["dangling.png"]["error"]
    assert pairs["fifo.png"]["status"] == "error" and "not a regular file" in pairs["fifo.png"]["error"]
    assert "folder.png" not in pairs


def test_report_folder_inside_current_is_not_compared(capsys, tmp_path):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page})
    cur = write(tmp_path / "c", {"a.png": screen(1, block=CHANGE)})
    for _ in range(2):  # the second run would find the first run's diff images if it looked
        code, out, _ = run(capsys, "dirs", base, cur, "--out", cur / "report", "--json")
        assert code == 1
        assert [p["name"] for p in json.loads(out)["pairs"]] == ["a.png"]


# ------------------------------------------------------------------------------------------------- processes

def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([p for p in sys.path if p])
    return env


def test_module_and_console_script_run_the_demo(tmp_path):
    out = subprocess.run([sys.executable, "-m", "quillfen_tools", "demo", str(tmp_path / "demo")],
                         capture_output=True, text=True, env=_env(), timeout=300)
    assert out.returncode == 0, out.stderr
    assert "index.html" in out.stdout and "exits with 2" in out.stdout
    doc = json.loads((tmp_path / "demo" / "report" / "report.json").read_text())
    statuses = sorted(p["status"] for p in doc["pairs"])
    assert statuses == ["changed", "error", "missing", "new", "shifted", "unchanged"]
    # Again in the same folder: the earlier demo is replaced; a folder of other things is refused.
    again = subprocess.run([sys.executable, "-m", "quillfen_tools", "demo", str(tmp_path / "demo")],
                           capture_output=True, text=True, env=_env(), timeout=300)
    assert again.returncode == 0, again.stderr
    (tmp_path / "other" / "report").mkdir(parents=True)
    (tmp_path / "other" / "report" / "keep.txt").write_text("mine")
    refused = subprocess.run([sys.executable, "-m", "quillfen_tools", "demo", str(tmp_path / "other")],
                             capture_output=True, text=True, env=_env(), timeout=60)
    assert refused.returncode == 2 and (tmp_path / "other" / "report" / "keep.txt").exists()

    script = venv_script("quillfen")
    if script is None:
        pytest.skip("the quillfen console script is not installed beside this interpreter")
    version = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert version.returncode == 0 and version.stdout.startswith("quillfen ")


def test_ctrl_c_stops_and_writes_the_report_of_pairs_done(tmp_path):
    base_png, cur_png = screen(1, width=400, height=300), screen(1, width=400, height=300, block=(10, 10, 200, 50))
    n = 600
    write(tmp_path / "b", {f"p{i:04d}.png": base_png for i in range(n)})
    write(tmp_path / "c", {f"p{i:04d}.png": cur_png for i in range(n)})
    report = tmp_path / "report"
    proc = subprocess.Popen([sys.executable, "-m", "quillfen_tools", "dirs", str(tmp_path / "b"),
                             str(tmp_path / "c"), "--out", str(report), "--jobs", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env())
    for _ in range(5):  # plain lines, one per pair: the run is under way
        assert proc.stdout.readline().startswith("[")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert "interrupted after" in err
    doc = json.loads((report / "report.json").read_text())
    assert 5 <= len(doc["pairs"]) < n
    assert doc["summary"]["changed"] == len(doc["pairs"])
    assert (report / "index.html").is_file()
    assert all((report / p["diff"]).is_file() for p in doc["pairs"])


# ------------------------------------------------------------------------------------------------- safety

def test_report_folder_deletes_only_what_an_earlier_report_wrote(capsys, tmp_path, monkeypatch):
    base, cur = every_status(tmp_path)
    mine = write(tmp_path / "work", {"images/holiday.png": screen(9), "notes.txt": b"mine", "images/x.txt": b"x"})
    monkeypatch.chdir(mine)
    # Twice into a folder of the user's: the second run replaces the first report's images and nothing else.
    for _ in range(2):
        code, out, _ = run(capsys, "dirs", base, cur, "--out", ".")
        assert code == 2
        written = {p["diff"] for p in json.loads((mine / "report.json").read_text())["pairs"] if p["diff"]}
        assert written and all((mine / w).is_file() for w in written)
    assert (mine / "images" / "holiday.png").read_bytes() == screen(9)
    assert (mine / "notes.txt").read_bytes() == b"mine" and (mine / "images" / "x.txt").exists()
    # A report whose records name files outside its folder, or through links, deletes none of them.
    victim = write(tmp_path / "victim", {"keep.png": b"keep"})
    data = (mine / "report-data.js").read_text()
    forged = data.replace('"pairs": [', '"pairs": [{"diff": "../victim/keep.png", "baseline_image": "'
                          + str(victim / "keep.png") + '"},', 1)
    (mine / "report-data.js").write_text(forged)
    assert run(capsys, "dirs", base, cur, "--out", ".")[0] == 2
    assert (victim / "keep.png").read_bytes() == b"keep"


def test_update_never_blocks_on_a_fifo_nor_writes_through_links(capsys, tmp_path):
    page = screen(1)
    outside = write(tmp_path / "outside", {"shared.png": page})
    base = write(tmp_path / "b", {"a.png": page, "real/inner.png": page})
    cur = write(tmp_path / "c", {"a.png": screen(1, block=CHANGE), "away/new.png": page, "real/inner.png": page,
                                 "linked.png": page})
    os.mkfifo(cur / "fifo.png")
    os.symlink(outside, base / "away")  # a baseline subfolder that leads out of the baseline folder
    os.symlink(base / "real", base / "inside")  # one that stays inside: followed
    os.symlink(cur / "real", cur / "inside")
    os.symlink(outside / "shared.png", base / "linked.png")  # a file link out of the folder
    code, out, err = in_thread(lambda: run(capsys, "dirs", base, cur, "--update", "--json"))
    pairs = {p["name"]: p for p in json.loads(out)["pairs"]}
    assert code == 2
    assert pairs["inside/inner.png"]["status"] == "unchanged"
    assert pairs["away"]["status"] == "error" and "outside the baseline folder" in pairs["away"]["error"]
    assert pairs["linked.png"]["status"] == "error" and "symbolic link" in pairs["linked.png"]["error"]
    assert pairs["fifo.png"]["status"] == "error"
    # Nothing was written outside the baseline folder or over the link; the FIFO was not copied.
    assert sorted(p.name for p in outside.iterdir()) == ["shared.png"]
    assert os.path.islink(base / "linked.png") and (outside / "shared.png").read_bytes() == page
    assert not (base / "fifo.png").exists()
    assert "away/new.png" in err or "away/new.png" in out  # listed as not updated
    assert (base / "a.png").read_bytes() == (cur / "a.png").read_bytes()
    # `compare` refuses the FIFO as well, at once, with the usage exit code.
    code, _, err = in_thread(lambda: run(capsys, "compare", base / "a.png", cur / "fifo.png"))
    assert code == 2 and "not a regular file (a FIFO)" in err


def test_update_keeps_modes_and_leftovers_are_cleaned_and_never_paired(capsys, tmp_path):
    page = screen(1)
    base = write(tmp_path / "b", {"a.png": page})
    cur = write(tmp_path / "c", {"a.png": screen(1, block=CHANGE), "sub/new.png": page})
    os.chmod(base / "a.png", 0o640)
    # What a killed --update leaves: a temporary of a writer that is gone, and an older version's leftover.
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    write(base, {f".quillfen/.tmp-{gone.stdout.strip()}-ab12": b"half", ".quillfen-k2j4.png": page[:50]})
    previous = os.umask(0o022)
    try:
        code, out, _ = run(capsys, "dirs", base, cur, "--update", "--json")
    finally:
        os.umask(previous)
    names = [p["name"] for p in json.loads(out)["pairs"]]
    assert code == 0 and names == ["a.png", "sub/new.png"]
    assert stat.S_IMODE(os.stat(base / "a.png").st_mode) == 0o640
    assert stat.S_IMODE(os.stat(base / "sub" / "new.png").st_mode) == 0o644  # not 0600
    assert not (base / ".quillfen").exists()
    assert sorted(p.name for p in (base / "sub").iterdir()) == ["new.png"]


def test_names_are_escaped_on_the_terminal_and_in_junit(capsys, tmp_path):
    page = screen(1)
    hostile = "x\x1b[2J\nFAKE: 0 pairs differ.png"
    undecodable = os.fsdecode(b"caf\xe9.png")
    base = write(tmp_path / "b", {hostile: page, undecodable: page, "ok.png": page})
    cur = write(tmp_path / "c", {hostile: screen(1, block=CHANGE), undecodable: screen(1, block=CHANGE)})
    junit = tmp_path / "junit.xml"
    code, out, err = run(capsys, "dirs", base, cur, "--junit", junit, "--json")
    assert code == 1
    assert "\x1b" not in err and "\nFAKE" not in err and "x\\x1b[2J\\x0aFAKE" in err
    assert "caf\\xe9.png" in err
    doc = json.loads(out)  # the JSON is printed too, after the JUnit file
    assert len(doc["pairs"]) == 3
    suite = ET.parse(junit).getroot()
    names = {case.get("name") for case in suite.iter("testcase")}
    assert "caf\\xe9.png" in names and "x\\x1b[2J\\x0aFAKE: 0 pairs differ.png" in names
