"""`quillfen dirs --resume`: a run killed at any point goes on from its log and ends with the report an
uninterrupted run writes, comparing no logged pair again."""
import json
import os
import random
import signal
import subprocess
import sys

import pytest

from quillfen_tools import folders
from quillfen_tools.cli import main
from quillfen_tools.resume import LOG_NAME
from screens import CHANGE, screen, write


def make_folders(root, n=40, size=(240, 180)):
    """n pairs of every kind (unchanged, changed, shifted), one new, one missing, one that does not decode."""
    w, h = size
    base, cur = {}, {}
    for i in range(n):
        page = screen(i, width=w, height=h)
        base[f"p{i:03d}.png"] = page
        cur[f"p{i:03d}.png"] = [page, screen(i, width=w, height=h, block=CHANGE),
                                screen(i, width=w, height=h - 4, banner=4)][i % 3]
    base["gone.png"] = cur["fresh.png"] = screen(1)
    base["zz-broken.png"] = screen(2)
    cur["zz-broken.png"] = screen(2)[:300]
    return write(root / "b", base), write(root / "c", cur)


def report_of(folder):
    return json.loads((folder / "report.json").read_text())


def log_lines(folder):
    lines = (folder / LOG_NAME).read_bytes().split(b"\n")
    assert lines[-1] == b""  # whole lines only: a torn one was cut off
    return [json.loads(line) for line in lines[1:-1]]


def count_compared(monkeypatch):
    """Counts the pairs handed to the comparison by folder runs in this process."""
    compared = []
    real = folders.run_many

    def counting(pairs, *args, **kw):
        def seen():
            for pair in pairs:
                compared.append(pair[0])
                yield pair
        return real(seen(), *args, **kw)

    monkeypatch.setattr(folders, "run_many", counting)
    return compared


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([p for p in sys.path if p])
    return env


@pytest.mark.jitter_default  # compares in-process runs with runs of the command as its own process
def test_killed_at_random_points_then_resumed_gives_the_uninterrupted_report(tmp_path, capsys):
    base, cur = make_folders(tmp_path, n=90, size=(320, 240))
    entries = 90 + 3
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "ref"), "--jobs", "1"]) == 2
    capsys.readouterr()
    expected = report_of(tmp_path / "ref")

    seed = random.randrange(10 ** 6)
    rng = random.Random(seed)
    report = tmp_path / "rep"
    argv = [sys.executable, "-m", "quillfen_tools", "dirs", str(base), str(cur), "--out", str(report),
            "--jobs", "1"]
    kills = []
    for attempt in range(4):
        proc = subprocess.Popen(argv + (["--resume"] if attempt else []), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, env=_env())
        # A random number of pairs past those logged already (none at all in the first kill: it may land
        # during start-up, before the log exists).
        logged = len(log_lines(report)) if (report / LOG_NAME).exists() else 0
        lines = 0 if attempt == 0 else logged + rng.randrange(1, 20)
        for _ in range(lines):
            if not proc.stdout.readline():
                break
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=60)
        kills.append((lines, len(log_lines(report)) if (report / LOG_NAME).exists() else None))
    logged_before = len(log_lines(report)) if (report / LOG_NAME).exists() else 0
    assert 0 < logged_before < entries, kills  # the kills landed mid-run

    final = subprocess.run(argv + ["--resume"], capture_output=True, text=True, env=_env(), timeout=300)
    assert final.returncode == 2, (seed, final.stderr)
    assert report_of(report) == expected, f"seed {seed}, killed after {kills} lines"
    # Every entry logged exactly once over all the runs: none compared twice once it was logged.
    names = [item["name"] for item in log_lines(report)]
    assert sorted(names) == sorted(p["name"] for p in expected["pairs"]) and len(names) == entries, seed
    if logged_before:
        assert f"resumed: {logged_before} pair" in final.stdout, (seed, final.stdout)
    assert (report / "index.html").is_file()
    assert all((report / p["diff"]).is_file() for p in expected["pairs"] if p["diff"])


def test_resume_compares_only_what_is_left_or_changed(tmp_path, capsys, monkeypatch):
    base, cur = make_folders(tmp_path, n=12, size=(96, 72))
    compared = count_compared(monkeypatch)
    report = tmp_path / "rep"

    # Stopped by Ctrl-C after 5 pairs: the report of those is written, the log holds them.
    def stop_after_five(run, record):
        if run.done == 5:
            raise KeyboardInterrupt

    entries = folders.pair_folders(base, cur)
    meta = {"baseline_dir": str(base), "current_dir": str(cur)}  # as the command gives them
    run = folders.run_dirs(entries, baseline_dir=base, report_dir=report, report_meta=meta,
                           on_result=stop_after_five)
    assert run.interrupted and len(report_of(report)["pairs"]) == 5
    pairs = {e.name for e in entries if e.baseline and e.current}
    logged = {item["name"] for item in log_lines(report)}
    assert len(logged) == 5
    compared.clear()

    # Meanwhile one finished pair's current image changed back to its baseline, one not yet compared changed.
    changed_done = "p001.png"
    write(cur, {changed_done: (base / changed_done).read_bytes(), "p010.png": screen(77)})
    stale_diff = report / next(p for p in log_lines(report) if p["name"] == changed_done)["record"]["diff"]
    assert stale_diff.is_file()

    code = main(["dirs", str(base), str(cur), "--out", str(report), "--resume"])
    out, err = capsys.readouterr()
    assert code == 2 and "error:" not in err, err
    assert sorted(compared) == sorted(pairs - logged | {changed_done})
    assert "resumed: 4 pairs" in out
    assert not stale_diff.exists()  # its new status, unchanged, has no diff image

    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "ref")]) == 2
    assert report_of(report) == report_of(tmp_path / "ref")

    # Resuming a finished run compares nothing and writes the same report again.
    compared.clear()
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--resume"]) == 2
    assert compared == [] and report_of(report) == report_of(tmp_path / "ref")


def test_resume_with_other_options_is_refused_and_changes_nothing(tmp_path, capsys):
    base, cur = make_folders(tmp_path, n=6, size=(96, 72))
    report = tmp_path / "rep"
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--threshold", "0.2"]) == 2
    before = {p: p.read_bytes() for p in report.rglob("*") if p.is_file()}
    capsys.readouterr()
    cases = [
        (["--threshold", "0.3"], "threshold: 0.2 then, 0.3 now"),
        (["--threshold", "0.2", "--allow-shift"], "allow_shift: false then, true now"),
        (["--threshold", "0.2", "--ignore", "1,2,3,4"], "ignore: null then, [[1, 2, 3, 4]] now"),
        (["--threshold", "0.2", "--fail-on-new"], "fail_on_new"),
        (["--threshold", "0.2", "--update", "--only", "p00*"], "update_only: [] then, [\"p00*\"] now"),
        (["--threshold", "0.2", "--thumbnails", "40"], "thumbnails"),
    ]
    for flags, message in cases:
        code = main(["dirs", str(base), str(cur), "--out", str(report), "--resume", *flags])
        err = capsys.readouterr().err
        assert code == 2 and "cannot resume" in err and message in err, (flags, err)
    # Other folders are other options too.
    other = write(tmp_path / "c2", {"p000.png": screen(0)})
    assert main(["dirs", str(base), str(other), "--out", str(report), "--resume", "--threshold", "0.2"]) == 2
    assert "current_dir" in capsys.readouterr().err
    assert {p: p.read_bytes() for p in report.rglob("*") if p.is_file()} == before

    assert main(["dirs", str(base), str(cur), "--resume"]) == 2
    assert "--resume needs --out" in capsys.readouterr().err
    # A folder with no log (or one whose first line was never finished) is a fresh start; a foreign file is not.
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "new"), "--resume"]) == 2
    (report / LOG_NAME).write_bytes(b'{"kind": "quillf')
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--resume"]) == 2
    assert report_of(report) == report_of(tmp_path / "new")
    (report / LOG_NAME).write_text('{"something": "else"}\n')
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--resume"]) == 2
    assert "not a progress log" in capsys.readouterr().err


def test_torn_and_damaged_lines_are_dropped(tmp_path, capsys, monkeypatch):
    base, cur = make_folders(tmp_path, n=6, size=(96, 72))
    report = tmp_path / "rep"
    assert main(["dirs", str(base), str(cur), "--out", str(report)]) == 2
    expected = report_of(report)
    lines = (report / LOG_NAME).read_bytes().split(b"\n")
    # The third pair's line damaged in the middle, the last one torn by a kill mid-write.
    lines[3] = b'{"name": "p000.png", "files": "nonsense", "record": {}}'
    torn = lines[-2][: len(lines[-2]) // 2]
    (report / LOG_NAME).write_bytes(b"\n".join(lines[:-2]) + b"\n" + torn)
    compared = count_compared(monkeypatch)
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--resume"]) == 2
    assert sorted(compared) == ["p000.png", "zz-broken.png"]
    assert report_of(report) == expected
    names = [item["name"] for item in log_lines(report)]
    assert len(names) == len(set(names)) + 1  # the damaged line stays; its pair was logged again


def test_updated_baselines_are_not_taken_for_changes(tmp_path, capsys, monkeypatch):
    base, cur = make_folders(tmp_path, n=6, size=(96, 72))
    report = tmp_path / "rep"
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--update"]) == 2
    expected = report_of(report)
    capsys.readouterr()
    compared = count_compared(monkeypatch)
    assert main(["dirs", str(base), str(cur), "--out", str(report), "--update", "--resume"]) == 2
    out, _ = capsys.readouterr()
    assert compared == []
    assert report_of(report) == expected
    # The baselines the first run updated are listed as updated by the resumed one too.
    assert "updated 5 baselines" in out and "fresh.png" in out
