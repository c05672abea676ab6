"""`quillfen dirs --scheduler` against a cluster started from the command line (`dask scheduler`, two `dask worker`
processes over TCP on 127.0.0.1): the report of a local run, and none of its pairs lost when a worker is killed
mid-run."""
import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("distributed")

from dask_processes import ProcessCluster  # noqa: E402
from quillfen_tools.cli import main  # noqa: E402
from test_ci_resume import make_folders  # noqa: E402


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([p for p in sys.path if p])
    return env


@pytest.fixture
def cluster():
    with ProcessCluster(workers=2, threads=1, env=_env()) as c:
        yield c


def without_diff_names(doc):
    # The workers write the diff images under names of their own; everything else is the same.
    return {"summary": doc["summary"], "pairs": [{**p, "diff": p["diff"] is not None} for p in doc["pairs"]]}


@pytest.mark.jitter_default  # compares an in-process run with runs of the command as its own process
def test_a_killed_worker_loses_no_pair(cluster, tmp_path, capsys):
    base, cur = make_folders(tmp_path, n=300, size=(480, 360))
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "local")]) == 2
    capsys.readouterr()
    local = json.loads((tmp_path / "local" / "report.json").read_text())
    report = tmp_path / "remote"

    proc = subprocess.Popen([sys.executable, "-m", "quillfen_tools", "dirs", str(base), str(cur), "--out",
                             str(report), "--scheduler", cluster.address], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=_env())
    try:
        assert proc.stdout.readline().startswith("[")  # the first chunk is back: both workers hold chunks now
        running = proc.poll() is None
        cluster.kill(cluster.workers[1])
        out, err = proc.communicate(timeout=300)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert running, "the run ended before the worker was killed"
    assert proc.returncode == 2 and "error:" not in err, err + cluster.logs()
    remote = json.loads((report / "report.json").read_text())
    assert without_diff_names(remote) == without_diff_names(local)
    assert sum(remote["summary"].values()) == len(local["pairs"]) == 303
    assert f"{len(local['pairs'])} pairs: " in out
    for a, b in zip(local["pairs"], remote["pairs"]):
        if b["diff"]:
            assert (report / b["diff"]).read_bytes() == (tmp_path / "local" / a["diff"]).read_bytes(), b["name"]
    assert cluster.workers[1].poll() is not None and cluster.workers[0].poll() is None

    # The cluster goes on with one worker; a run resumed on it takes every pair from the log.
    again = subprocess.run([sys.executable, "-m", "quillfen_tools", "dirs", str(base), str(cur), "--out",
                            str(report), "--scheduler", cluster.address, "--resume"],
                           capture_output=True, text=True, env=_env(), timeout=300)
    assert again.returncode == 2 and "resumed: 303 pairs" in again.stdout, again.stderr
    assert json.loads((report / "report.json").read_text()) == remote
