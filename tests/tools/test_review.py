"""`quillfen review`: the report served on 127.0.0.1 and its JSON API, as a script or the page would call it."""
import hashlib
import http.client
import io
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from urllib.parse import urlsplit

import pytest

from screens import every_status, screen, write

FIRST_LINE = re.compile(r"Serving the report at http://127\.0\.0\.1:(\d+)/\?token=([A-Za-z0-9_-]+)")


class Server:
    """`quillfen review ...` in a process of its own; `call` talks to its API."""

    def __init__(self, *args, cwd=None):
        self.proc = subprocess.Popen([sys.executable, "-m", "quillfen_tools", "review", *map(str, args), "--no-open"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd)
        self.line = self.proc.stdout.readline().rstrip("\n")
        match = FIRST_LINE.fullmatch(self.line)
        if not match:
            self.proc.kill()
            raise AssertionError(f"first line {self.line!r}; stderr: {self.proc.stderr.read()}")
        self.port, self.token = int(match[1]), match[2]
        self.url = self.line.split(" at ", 1)[1]

    def request(self, method, path, body=None, headers=None, token=True):
        headers = dict(headers or {})
        if token and method == "GET":
            headers.setdefault("X-Quillfen-Token", self.token)
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, r.read()
        finally:
            conn.close()

    def call(self, path, names, token=True, **headers):
        if token:
            headers["X-Quillfen-Token"] = self.token if token is True else token
        status, body = self.request("POST", path, json.dumps({"names": names}), headers)
        return status, json.loads(body)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def files(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(Path(folder).rglob("*")) if p.is_file()}


@pytest.fixture
def served(tmp_path):
    base, cur = every_status(tmp_path)
    server = Server(base, cur, "--out", tmp_path / "out")
    yield server, base, cur, tmp_path / "out"
    server.stop()


def test_api_checks_the_token_the_names_and_the_files(served, tmp_path):
    server, base, cur, out = served
    assert urlsplit(server.url).hostname == "127.0.0.1"
    before = files(base)
    # Without the token, with a wrong one, or from another host name: 403, nothing written.
    assert server.call("/api/accept", ["ui/changed.png"], token=False)[0] == 403
    assert server.call("/api/accept", ["ui/changed.png"], token="x" * len(server.token))[0] == 403
    assert server.call("/api/accept", ["ui/changed.png"], Host="evil.example:80")[0] == 403
    assert server.request("GET", "/api/state", token=False)[0] == 403
    assert server.request("GET", "/", token=False)[0] == 403
    assert server.request("GET", "/images/", token=False)[0] == 403
    assert server.call("/api/accept", "ui/changed.png")[0] == 400
    assert server.request("POST", "/api/accept", b"{", {"X-Quillfen-Token": server.token})[0] == 400
    assert files(base) == before

    # A name not in the report, a baseline path made to point outside, a current file changed since: refused.
    doc = json.loads((out / "report.json").read_text())
    status, body = server.call("/api/accept", ["../outside.png", "nope.png", "broken.png"])
    assert status == 200 and body["accepted"] == []
    assert {r["name"] for r in body["refused"]} == {"../outside.png", "nope.png", "broken.png"}
    copy = out / next(p["current_copy"] for p in doc["pairs"] if p["name"] == "ui/shifted.png")
    copy.write_bytes(screen(7))
    status, body = server.call("/api/accept", ["ui/shifted.png"])
    assert "changed since the comparison" in body["refused"][0]["reason"]
    assert files(base) == before

    status, body = server.call("/api/accept", ["ui/changed.png", "fresh.png", "gone.png"])
    assert (status, body) == (200, {"accepted": ["ui/changed.png", "fresh.png", "gone.png"], "refused": []})
    assert (base / "ui/changed.png").read_bytes() == (cur / "ui/changed.png").read_bytes()
    assert (base / "fresh.png").read_bytes() == (cur / "fresh.png").read_bytes()
    assert not (base / "gone.png").exists() and (out / "removed/gone.png").is_file()
    status, state = server.request("GET", "/api/state", headers={"X-Quillfen-Token": server.token})
    assert json.loads(state)["accepted"] == ["ui/changed.png", "fresh.png", "gone.png"]

    status, body = server.call("/api/undo", ["ui/changed.png", "fresh.png", "gone.png", "same.png"])
    assert body["accepted"] == ["ui/changed.png", "fresh.png", "gone.png"]
    assert files(base) == before

    # The report's files, and the linked files of unchanged pairs, are served; nothing outside them. The page's
    # address with the token gives the cookie its scripts and images are then fetched with.
    status, _ = server.request("GET", f"/?token={server.token}", token=False)
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    conn.request("GET", f"/?token={server.token}")
    cookie = conn.getresponse().getheader("Set-Cookie").split(";")[0]
    conn.close()
    assert status == 200 and cookie == f"quillfen_token={server.token}"
    assert server.request("GET", "/report.js", headers={"Cookie": cookie}, token=False)[0] == 200
    assert server.request("GET", "/report.js", headers={"Cookie": "quillfen_token=x"}, token=False)[0] == 403
    assert server.request("GET", "/_files/current/same.png")[1] == (cur / "same.png").read_bytes()
    (cur / "notes.txt").write_text("not a pair's file")
    assert server.request("GET", "/_files/current/notes.txt")[0] == 404
    for path in ("/../baseline/same.png", "/%2e%2e/baseline/same.png", "/_files/current/../../baseline/gone.png",
                 "/.undo/x", "/report.json/x"):
        assert server.request("GET", path)[0] == 404, path


def test_two_accepts_at_once(served):
    server, base, cur, out = served
    answers = []
    start = threading.Barrier(4)

    def go(names):
        start.wait()
        answers.append(server.call("/api/accept", names))

    threads = [threading.Thread(target=go, args=(n,)) for n in
               (["ui/changed.png", "fresh.png"], ["fresh.png", "ui/deep/size.png"], ["ui/shifted.png"],
                ["ui/changed.png"])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(s for s, _ in answers) == [200] * 4
    assert all(not body["refused"] for _, body in answers)
    for name in ("ui/changed.png", "fresh.png", "ui/deep/size.png", "ui/shifted.png"):
        assert (base / name).read_bytes() == (cur / name).read_bytes()
    # Undo after accepts from several requests puts back the state before the first of them.
    server.call("/api/undo", ["fresh.png", "ui/changed.png"])
    assert not (base / "fresh.png").exists()
    assert (base / "ui/changed.png").read_bytes() != (cur / "ui/changed.png").read_bytes()


def big(seed, width=700, height=500):
    """A PNG of about 2 MB stored without compression: writing it takes long enough for a kill to land inside."""
    Image = pytest.importorskip("PIL.Image")
    buf = io.BytesIO()
    Image.frombytes("RGB", (width, height), random.Random(seed).randbytes(width * height * 3)).save(
        buf, "PNG", compress_level=0)
    return buf.getvalue()


def test_sigkill_during_a_burst_of_accepts_leaves_old_or_new_files(tmp_path):
    names = [f"p{i:02d}.png" for i in range(12)]
    old = {n: big(i) for i, n in enumerate(names)}
    new = {n: big(100 + i) for i, n in enumerate(names)}
    base = write(tmp_path / "base", old)
    cur = write(tmp_path / "cur", new)
    report = tmp_path / "rep"
    assert subprocess.run([sys.executable, "-m", "quillfen_tools", "dirs", base, cur, "--out", report],
                          capture_output=True).returncode == 1
    rng = random.Random(7)
    for attempt in range(3):
        server = Server(report)
        stop = threading.Event()

        def burst(part):
            while not stop.is_set():
                try:
                    server.call("/api/accept", part)
                    server.call("/api/undo", part)
                except (OSError, http.client.HTTPException, ValueError):
                    return

        threads = [threading.Thread(target=burst, args=(names[k::3],)) for k in range(3)]
        for t in threads:
            t.start()
        time.sleep(0.2 + rng.random() * 0.6)
        os.kill(server.proc.pid, signal.SIGKILL)
        server.proc.wait()
        stop.set()
        for t in threads:
            t.join()
        server.stop()
        for n in names:
            data = (base / n).read_bytes()
            assert data == old[n] or data == new[n], (attempt, n)
        # What a killed server leaves are temporary files beside the baselines, never a *.png.
        assert sorted(p.name for p in base.glob("*.png")) == names


def test_review_an_existing_report_and_bad_arguments(served, tmp_path):
    server, base, cur, out = served
    again = Server(out)
    try:
        assert again.port != server.port and again.token != server.token
        assert again.call("/api/accept", ["fresh.png"])[1]["accepted"] == ["fresh.png"]
    finally:
        again.stop()
    proc = subprocess.run([sys.executable, "-m", "quillfen_tools", "review", str(tmp_path), "--no-open"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and proc.stdout == "" and "no report" in proc.stderr
