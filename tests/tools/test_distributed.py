"""compare_many() on a Dask cluster of two worker processes: the same answers as a local run, in input order, with
no pair lost when a worker dies."""
import dataclasses
import json
import os
import sys

import numpy as np
import pytest

import quillfen_tools as qt
from pages import page, png, shifted_down

distributed = pytest.importorskip("distributed")
from quillfen_tools import distributed as qtd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def pairs(tmp_path_factory):
    """Paths of 30 pairs (unchanged, changed, shifted), a missing file and a corrupt one."""
    root = tmp_path_factory.mktemp("pairs")
    out = []
    for i in range(30):
        base = page(120, 90, seed=i)
        cur = [base, page(120, 90, seed=100 + i), shifted_down(base, 7)][i % 3]
        b, c = root / f"b{i}.png", root / f"c{i}.png"
        b.write_bytes(png(base))
        c.write_bytes(png(cur))
        out.append((f"p{i}", str(b), str(c)))
    (root / "corrupt.png").write_bytes(png(page(10, 10))[:-20])
    out.insert(5, ("missing", str(root / "nope.png"), out[0][2]))
    out.insert(17, (None, str(root / "corrupt.png"), out[0][2]))
    return out


def test_cluster_results_equal_local_results(client, pairs):
    mask = np.zeros((90, 120), dtype=np.uint8)
    mask[:30, :60] = 1
    for options in ({"ignore": mask, "thumbnails": 40}, {"diff": True, "allow_shift": True}, {}):
        local = list(qt.compare_many(pairs, **options))
        remote = list(qt.compare_many(pairs, client=client, **options))
        assert remote == local
    statuses = [r.status for r in remote]
    assert statuses.count("error") == 2 and len(remote) == len(pairs)
    assert remote[5].name == "missing" and "No such file" in remote[5].error
    assert remote[17].error.startswith("baseline ") and "failed to decode PNG" in remote[17].error
    assert {"unchanged", "changed", "shifted"} <= set(statuses)


def test_small_chunks_and_lazy_input_keep_order(client, pairs):
    lazy = (p for p in pairs)
    results = list(qtd.compare_many(client, lazy, {}, chunk_size=1))
    assert [r.name for r in results] == [p[0] for p in pairs]


def _killer(marker):
    """A finish step that kills its worker process the first time any worker runs it."""

    def finish(result):
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return result
        os.close(fd)
        os._exit(1)

    return finish


def test_a_dead_worker_loses_no_pair(client, pairs, tmp_path):
    marker = str(tmp_path / "killed")
    results = list(qtd.compare_many(client, pairs, {}, chunk_size=4, finish=_killer(marker)))
    assert os.path.exists(marker)  # a worker really died mid-chunk
    assert results == list(qt.compare_many(pairs))


def test_url_inputs(client, pairs):
    url_pairs = [(name, "file://" + b, "file://" + c) for name, b, c in pairs[:4]]
    remote = list(qt.compare_many(url_pairs, client=client))
    assert [r.baseline_path for r in remote] == [b for _, b, _ in url_pairs]
    assert [dataclasses.replace(r, baseline_path=None, current_path=None) for r in remote] == [
        dataclasses.replace(r, baseline_path=None, current_path=None) for r in qt.compare_many(pairs[:4])]
    missing = qt.compare_many([("file:///nonexistent/a.png", pairs[0][1])])
    assert "baseline 'file:///nonexistent/a.png'" in next(missing).error


def test_without_dask_the_error_says_how_to_get_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install \"quillfen\[distributed\]\""):
        list(qt.compare_many([], client=object()))
    with pytest.raises(ImportError, match="quillfen"):
        qtd.connect("local:1")


def test_dirs_on_the_cluster_gives_the_local_report(client, tmp_path, capsys):
    from quillfen_tools.cli import main
    from screens import every_status

    base, cur = every_status(tmp_path)
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "local")]) == 2
    address = client.scheduler.address
    assert main(["dirs", str(base), str(cur), "--out", str(tmp_path / "remote"), "--scheduler", address]) == 2
    local = json.loads((tmp_path / "local" / "report.json").read_text())
    remote = json.loads((tmp_path / "remote" / "report.json").read_text())
    # The same statuses and counts per pair; the diff images were written by the workers, under other names.
    strip = lambda doc: [{k: v for k, v in p.items() if k != "diff"} for p in doc["pairs"]]  # noqa: E731
    assert strip(remote) == strip(local) and remote["summary"] == local["summary"]
    for a, b in zip(local["pairs"], remote["pairs"]):
        assert (a["diff"] is None) == (b["diff"] is None)
        if b["diff"]:
            assert (tmp_path / "remote" / b["diff"]).read_bytes() == (tmp_path / "local" / a["diff"]).read_bytes()
    capsys.readouterr()
    assert main(["dirs", str(base), str(cur), "--scheduler", "local:0"]) == 2
    assert "local:N takes a number of workers" in capsys.readouterr().err


def test_results_before_a_failing_source_reach_the_caller(client, pairs):
    def lazy():
        yield from pairs[:5]
        raise OSError("the listing went away")

    got = []
    with pytest.raises(OSError, match="listing went away"):
        for r in qtd.compare_many(client, lazy(), {}, chunk_size=2):
            got.append(r.name)
    assert got == [p[0] for p in pairs[:5]]
