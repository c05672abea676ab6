"""A Dask cluster the way one runs for real: `dask scheduler` and `dask worker` started as separate processes from
the command line, on 127.0.0.1 with ports the system picks. Bounded: every wait has a deadline, the scheduler stops
itself when left idle and the workers when their scheduler is gone, and close() ends every process it started."""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def dask_command() -> list[str]:
    script = os.path.join(os.path.dirname(sys.executable), "dask")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "dask"]


class ProcessCluster:
    """`workers` worker processes of `threads` threads each (no nanny: a killed worker stays dead)."""

    def __init__(self, workers: int = 2, threads: int = 1, *, env: dict[str, str] | None = None,
                 timeout: float = 120.0) -> None:
        self.folder = Path(tempfile.mkdtemp(prefix="quillfen-dask-"))
        self.env = dict(os.environ if env is None else env)
        self.processes: list[subprocess.Popen[bytes]] = []
        self.workers: list[subprocess.Popen[bytes]] = []
        deadline = time.monotonic() + timeout
        try:
            scheduler_file = self.folder / "scheduler.json"
            self.scheduler = self._start("scheduler", [
                "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                "--scheduler-file", str(scheduler_file), "--idle-timeout", "900"])
            while not scheduler_file.exists():
                self._check(deadline, "the scheduler did not write its address")
                time.sleep(0.1)
            while True:
                try:
                    self.address = json.loads(scheduler_file.read_text())["address"]
                    break
                except (ValueError, KeyError):  # still being written
                    self._check(deadline, "the scheduler did not write its address")
                    time.sleep(0.1)
            for i in range(workers):
                self.add_worker(f"w{i}", threads)
            self.wait_for_workers(workers, deadline)
        except BaseException:
            self.close()
            raise

    def _start(self, label: str, args: list[str]) -> subprocess.Popen[bytes]:
        log = open(self.folder / f"{label}.log", "wb")
        proc = subprocess.Popen(dask_command() + args, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=self.env, cwd=self.folder, start_new_session=True)
        log.close()
        self.processes.append(proc)
        return proc

    def add_worker(self, name: str, threads: int = 1) -> subprocess.Popen[bytes]:
        proc = self._start(name, [
            "worker", self.address, "--name", name, "--nthreads", str(threads), "--nworkers", "1", "--no-nanny",
            "--no-dashboard", "--host", "127.0.0.1", "--death-timeout", "60", "--memory-limit", "0",
            "--local-directory", str(self.folder / name)])
        self.workers.append(proc)
        return proc

    def _check(self, deadline: float, what: str) -> None:
        for proc in self.processes:
            if proc.poll() is not None:
                raise RuntimeError(f"a dask process exited with {proc.returncode}: {self.logs()}")
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} in time: {self.logs()}")

    def wait_for_workers(self, n: int, deadline: float) -> None:
        import distributed

        with distributed.Client(self.address, timeout="30s") as client:
            while len(client.scheduler_info(n_workers=-1)["workers"]) < n:
                self._check(deadline, f"{n} workers did not join")
                time.sleep(0.2)

    def logs(self) -> str:
        return "\n".join(f"--- {p.name}\n{p.read_text(errors='replace')[-2000:]}" for p in self.folder.glob("*.log"))

    def kill(self, proc: subprocess.Popen[bytes]) -> None:
        """SIGKILL, as when a machine of the cluster goes away."""
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=30)

    def close(self) -> None:
        for proc in reversed(self.processes):
            if proc.poll() is None:
                proc.terminate()
        for proc in self.processes:
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=15)
        import shutil

        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> "ProcessCluster":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
