"""compare_many(): input order, per-pair errors, a bounded window over lazy input, Ctrl-C, the thread cap."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import quillfen_tools as qt
from pages import files, page, png, shifted_down  # noqa: F401


def test_results_in_input_order_equal_single_comparisons(files):
    # A large first pair finishes last; its result still comes first.
    arrays = [(page(400, 300, seed=1), page(400, 300, seed=2))]
    arrays += [(page(20 + i, 10, seed=i), page(20 + i, 10, seed=i + (i % 2))) for i in range(12)]
    pairs = [(png(b), png(c)) for b, c in arrays]
    results = list(qt.compare_many(pairs, jobs=3, diff=True))
    assert results == [qt.compare(b, c, diff=True) for b, c in pairs]
    assert [r.width for r in results] == [400] + [20 + i for i in range(12)]
    named = list(qt.compare_many([(f"p{i}", b, c) for i, (b, c) in enumerate(pairs[:3])]))
    assert [r.name for r in named] == ["p0", "p1", "p2"]
    assert list(qt.compare_many([])) == []


def test_failed_pairs_become_error_results(files, tmp_path):
    good = files(a=page(16, 16))["a"]
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    pairs = [
        (good, good),
        (good, tmp_path / "broken.png"),
        ("login", tmp_path / "missing.png", good),
        (png(page(16, 16)), b"garbage"),
        ("too", "many", "items", "here"),
        (good, 3.5),
        (good, good),
    ]
    results = list(qt.compare_many(pairs))
    assert [r.status for r in results] == ["unchanged"] + ["error"] * 5 + ["unchanged"]
    errors = [r.error for r in results[1:6]]
    assert errors[0].startswith(f"current {str(tmp_path / 'broken.png')!r}: failed to decode PNG: ")
    assert errors[1].startswith(f"'login': baseline {str(tmp_path / 'missing.png')!r}: No such file")
    assert results[2].name == "login"
    assert errors[2].startswith("pair 3: current (PNG data): failed to decode PNG: ")
    assert errors[3].startswith("pair 4: expected (baseline, current) or (name, baseline, current)")
    assert errors[4].startswith("pair 5: current (float): unsupported image source")
    assert all(not r.passed for r in results[1:6])
    assert results[1].to_dict()["error"] == errors[0]


def test_options_are_checked_before_any_pair():
    def never():
        raise AssertionError("pairs were read")
        yield

    with pytest.raises(ValueError, match="threshold"):
        qt.compare_many(never(), threshold=-0.5)
    with pytest.raises(ValueError, match="jobs"):
        qt.compare_many(never(), jobs=0)


def test_lazy_input_is_read_a_window_ahead():
    base = png(page(32, 32))
    pulled = []

    def pairs():
        for i in range(1000):
            pulled.append(i)
            yield base, base

    results = qt.compare_many(pairs(), jobs=2)
    first = next(results)
    assert first.status == "unchanged"
    assert len(pulled) <= 2 * 2 + 1  # the window, not the whole input
    results.close()  # stopping early leaves nothing running on
    assert len(pulled) <= 2 * 2 + 1


def run_python(code, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        **kwargs,
    )


def test_ctrl_c_stops_a_run_promptly(tmp_path):
    base = page(640, 480)
    (tmp_path / "b.png").write_bytes(png(base))
    (tmp_path / "c.png").write_bytes(png(shifted_down(base, 7)))
    proc = run_python(
        f"""
        import sys, time
        import quillfen_tools as qt
        pairs = (({str(tmp_path / 'b.png')!r}, {str(tmp_path / 'c.png')!r}) for _ in range(100000))
        n = 0
        try:
            for r in qt.compare_many(pairs, diff=True):
                n += 1
                if n == 3:
                    print("running", flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
            sys.exit(3)
        """
    )
    assert proc.stdout.readline().strip() == "running"
    time.sleep(0.3)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 3, err
    word, when = out.split()
    assert word == "interrupted"
    assert float(when) - sent < 0.5


def threads_used(code):
    """Runs `code` in a new interpreter while a sampler counts the process's threads; returns the most seen."""
    proc = run_python(
        """
        import os, threading, time
        import numpy as np
        import quillfen, quillfen_tools as qt
        """
        + textwrap.dedent(code)
        + """
        most = 0
        done = False
        def sample():
            global most
            while not done:
                most = max(most, len(os.listdir("/proc/self/task")))
                time.sleep(0.001)
        rng = np.random.default_rng(0)
        a = rng.integers(0, 256, (1500, 1500, 4), dtype=np.uint8)
        b = rng.integers(0, 256, (1500, 1500, 4), dtype=np.uint8)
        c = quillfen.Comparison.from_rgba(a.tobytes(), 1500, 1500, b.tobytes(), 1500, 1500)
        before = len(os.listdir("/proc/self/task"))  # numpy's own threads included
        t = threading.Thread(target=sample)
        t.start()
        for _ in range(3):
            c.diff_count(); c.ssim()
        done = True
        t.join()
        print(most - before - 1)  # less the sampler
        """
    )
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    return int(out)


@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="needs more than one CPU")
def test_set_threads_caps_the_engines_pool():
    assert threads_used("") >= 1  # pool workers run beside the caller by default
    assert threads_used("qt.set_threads(1)") == 0
    assert threads_used("qt.set_threads(1); qt.set_threads(None)") >= 1


def test_progress_bar_only_on_a_terminal():
    pytest.importorskip("rich")
    import pty

    code = """
    import numpy as np, quillfen_tools as qt
    a = np.zeros((20, 30, 4), np.uint8)
    print(sum(1 for r in qt.compare_many([(a, a)] * 40, progress=True)))
    """
    # To a pipe: no bar, nothing on stderr.
    out, err = run_python(code).communicate(timeout=60)
    assert (out.strip(), err) == ("40", "")
    # To a terminal: the bar counts up to the total.
    leader, follower = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, stderr=follower,
                            text=True)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    assert proc.wait(timeout=60) == 0
    os.close(leader)
    assert b"40/40" in seen


def test_results_read_before_the_source_fails_are_all_handed_out():
    base = png(page(16, 16))

    def pairs(fail_at):
        for i in range(fail_at):
            yield (f"p{i}", base, base)
        raise OSError("the listing went away")

    for fail_at in (0, 1, 5, 9):
        got = []
        with pytest.raises(OSError, match="listing went away"):
            for r in qt.compare_many(pairs(fail_at), jobs=2):
                got.append(r.name)
        assert got == [f"p{i}" for i in range(fail_at)]


def test_tolerances_pass_a_change_only_within_every_one_given():
    base = page(40, 30)
    cur = base.copy()
    cur[5:7, 5:10, :3] = 255 - cur[5:7, 5:10, :3]  # 10 of 1200 pixels
    r = qt.compare(base, cur)
    assert (r.status, r.diff_pixels, r.passed) == ("changed", 10, False)  # no tolerance: no pass
    for options, passed in [
        (dict(max_diff_ratio=0.01), True),  # the ratio on its own is enough
        (dict(max_diff_pixels=10), True),
        (dict(max_diff_pixels=9), False),
        (dict(max_diff_pixels=10, max_diff_ratio=0.005), False),  # within one, not the other
        (dict(max_diff_pixels=None, max_diff_ratio=None), False),
        (dict(max_diff_pixels=0), False),
    ]:
        assert qt.compare(base, cur, **options).passed is passed, options
        assert [x.passed for x in qt.compare_many([(base, cur)], **options)] == [passed], options
