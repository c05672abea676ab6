"""Hostile inputs and interrupts, each run in a child interpreter so that a crash or a hang fails the test
instead of the suite."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest


def run_child(code, timeout=120):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return proc.stdout


def test_sequences_that_lie_about_their_length_are_read_as_they_iterate():
    # A member whose __len__ claims an enormous size once made the copy reserve it up front: the C++
    # exception left through the interpreter and aborted it. The length is only a hint; the member is what
    # iterating it gives (here nothing), so each call fails on the empty PNG like any other bad pair.
    out = run_child("""
        import quillfen
        class Liar:
            def __init__(self, n): self.n = n
            def __len__(self): return self.n
            def __getitem__(self, i): raise IndexError
        calls = [quillfen.diff_count_batch, quillfen.diff_batch, quillfen.ssim_batch, quillfen.compare_batch,
                 quillfen.Comparison.batch]
        for n in (2**62, 10**12, 2**63 - 1):
            for call in calls:
                for pair in [(Liar(n), b""), (b"", Liar(n))]:
                    try:
                        call([pair])
                    except ValueError as e:
                        assert str(e).startswith("failed to decode PNG: "), e
                        print("ok")
    """)
    assert out.split() == ["ok"] * 30


HANG_CHECK = """
    import quillfen
    HUGE = 2**64 - 1

    def outcome(f):
        try:
            r = f()
        except ValueError as e:
            return "ValueError"
        return r if isinstance(r, (int, float)) else repr(r) if not isinstance(r, bytes) else "bytes"

    def outcomes(w, h):
        c = quillfen.Comparison.from_rgba(b"", w, h, b"", w, h)
        al = c.row_alignment()
        return [
            outcome(lambda: c.diff_count()), outcome(lambda: c.diff_count(include_aa=True)),
            outcome(lambda: c.diff_count_capped(1)), outcome(lambda: c.diff_image()), outcome(c.ssim),
            outcome(lambda: len(c.clusters())), outcome(lambda: (al.aligned, al.edit_distance)),
            outcome(lambda: c.aligned_diff_image(al)), outcome(lambda: len(c.aligned_clusters(al))),
            outcome(lambda: c.aligned_ssim(al)), outcome(lambda: c.current_thumbnail()),
            outcome(lambda: c.baseline_thumbnail(min_width=1, min_height=1)),
        ]
"""


@pytest.mark.parametrize("side", ["width", "height"])
def test_empty_canvases_of_a_huge_side_answer_at_once(side):
    # A canvas 0 pixels wide and 2**64 - 1 rows high holds no pixel: every method answers as for a small empty
    # canvas, without walking the rows (diff_image once walked all of them before failing).
    huge, small = ("(0, HUGE)", "(0, 3)") if side == "height" else ("(HUGE, 0)", "(3, 0)")
    out = run_child(HANG_CHECK + f"""
    assert outcomes(*{huge}) == outcomes(*{small}), (outcomes(*{huge}), outcomes(*{small}))
    print("same")
    """, timeout=60)
    assert out.strip() == "same"


INTERRUPT_CHILD = """
    import signal, sys, time
    import numpy as np
    import quillfen
    from PIL import Image
    import io

    def png(seed):
        # A page-like image: flat, with a sprinkling of changed pixels, so the PNG stays small.
        rng = np.random.default_rng(seed)
        a = np.full((720, 1280, 4), 250, dtype=np.uint8)
        a[::9, ::7, :3] = rng.integers(0, 256, (80, 183, 3), dtype=np.uint8)
        buf = io.BytesIO()
        Image.fromarray(a).save(buf, format="PNG")
        return buf.getvalue()

    pair = (png(1), png(2))
    call = {call}
    if {custom_handler}:
        class Stop(Exception):
            pass
        def handler(signum, frame):
            raise Stop("stop")
        signal.signal(signal.SIGINT, handler)
    start = time.perf_counter()
    call([pair] * 4)
    per_pair = (time.perf_counter() - start) / 4
    pairs = [pair] * max(8, int(20.0 / per_pair))
    print(per_pair * len(pairs), flush=True)
    try:
        call(pairs)
        print("finished", flush=True)
    except BaseException as e:
        print(type(e).__name__, flush=True)
"""


def interrupt_latency(call, custom_handler=False):
    """Starts a batch expected to run about 20 s, sends SIGINT after a second, returns (uninterrupted
    estimate, seconds from the signal to the child's exception, name of the exception)."""
    proc = subprocess.Popen([sys.executable, "-c",
                             textwrap.dedent(INTERRUPT_CHILD.format(call=call, custom_handler=custom_handler))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        estimate = float(proc.stdout.readline())
        time.sleep(1.0)
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        name = proc.stdout.readline().strip()
        latency = time.perf_counter() - sent
        proc.wait(timeout=120)
    finally:
        proc.kill()
    return estimate, latency, name


@pytest.mark.parametrize("call", ["quillfen.compare_batch", "quillfen.diff_count_batch", "quillfen.ssim_batch",
                                  "lambda p: quillfen.diff_batch(p)", "quillfen.Comparison.batch"])
def test_a_long_batch_stops_soon_after_sigint(call):
    estimate, latency, name = interrupt_latency(call)
    print(f"{call}: SIGINT to KeyboardInterrupt {latency:.3f} s (uninterrupted about {estimate:.1f} s)")
    assert name == "KeyboardInterrupt"
    assert latency < estimate / 4


def test_the_exception_is_the_one_the_signal_handler_raised():
    estimate, latency, name = interrupt_latency("quillfen.diff_count_batch", custom_handler=True)
    assert name == "Stop"
    assert latency < estimate / 4


def test_a_child_made_by_fork_still_runs_long_calls():
    # Long calls hand their work to the pool's threads, which a child made by fork() does not have: there the
    # calling thread does the work itself.
    out = run_child("""
        import io, os, warnings
        import numpy as np
        from PIL import Image
        import quillfen
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        buf = io.BytesIO()
        Image.fromarray(np.full((64, 48, 4), 200, np.uint8)).save(buf, format="PNG")
        pairs = [(buf.getvalue(), buf.getvalue())] * 16
        expected = quillfen.diff_count_batch(pairs)
        pid = os.fork()
        if pid == 0:
            ok = quillfen.diff_count_batch(pairs) == expected and quillfen.Comparison(*pairs[0]).width == 48
            os._exit(0 if ok else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """, timeout=60)
    assert out.strip() == "0"
