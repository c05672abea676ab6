"""The engine under load: many threads on one object, batches from several threads at once, fork after parallel
work, resident memory over thousands of calls, and decompression bombs. Every test is bounded to a few seconds
(the work shrinks under the sanitizers, which slow every call down)."""
import json
import os
import random
import struct
import subprocess
import sys
import textwrap
import threading
import zlib

import pytest
from conftest import np, png_bytes, png_chunk

import quillfen
from quillfen import Comparison

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SCALE = 4 if SANITIZED else 1


def page(width, height, seed, shift=0):
    """A screenshot-like page: a header bar, text-like blocks, and `shift` blank rows pushed in under the bar."""
    rng = np.random.default_rng(seed)
    a = np.full((height, width, 4), 255, np.uint8)
    a[:8, :, :3] = (40, 90, 200)
    for _ in range(10):
        x, y = rng.integers(0, width - 12), rng.integers(10, height - 4)
        a[y:y + 3, x:x + 12, :3] = rng.integers(0, 256, 3)
    if shift:
        a = np.concatenate([a[:8], np.full((shift, width, 4), 255, np.uint8), a[8:-shift]])
    return a


def plain(value):
    """A result as nested tuples of plain values, so that results of separate calls compare with ==."""
    if isinstance(value, (int, float, bytes, str, type(None))):
        return value
    if isinstance(value, (list, tuple)):
        return tuple(plain(v) for v in value)
    names = [n for n in dir(value) if not n.startswith("_") and not callable(getattr(value, n))]
    return (type(value).__name__,) + tuple((n, plain(getattr(value, n))) for n in names)


BASE = page(96, 72, 1)
CURRENT = page(96, 72, 1, shift=3)
CURRENT[40:44, 20:60, :3] = 0  # a real change besides the shift
BASE_PNG, CURRENT_PNG = png_bytes(BASE), png_bytes(CURRENT)


def method_calls(c, alignment):
    """Every Comparison method (and the getters) as named zero-argument calls on `c`."""
    return {
        "diff_count": lambda: c.diff_count(threshold=0.05, include_aa=True),
        "diff_count_capped": lambda: c.diff_count_capped(25),
        "ssim": c.ssim,
        "clusters": lambda: c.clusters(min_pixels=1, merge_gap=2),
        "diff_image": lambda: c.diff_image(diff_color_alt=(0, 0, 255)),
        "row_alignment": c.row_alignment,
        "aligned_clusters": lambda: c.aligned_clusters(alignment, min_pixels=1),
        "aligned_diff_image": lambda: c.aligned_diff_image(alignment),
        "aligned_ssim": lambda: c.aligned_ssim(alignment),
        "current_thumbnail": lambda: c.current_thumbnail(width=40, min_height=20),
        "baseline_thumbnail": lambda: c.baseline_thumbnail(width=50, height=10),
        "getters": lambda: (c.width, c.height, c.size_mismatch, c.baseline_size, c.current_size, repr(c)),
    }


def test_sixteen_threads_on_one_comparison_agree_with_one_thread():
    c = Comparison(BASE_PNG, CURRENT_PNG)
    alignment = c.row_alignment()
    assert alignment.aligned and alignment.inserted_rows > 0 and alignment.changed_rows > 0
    calls = method_calls(c, alignment)
    expected = {name: plain(call()) for name, call in calls.items()}
    names = sorted(calls)
    mismatches, errors = [], []
    start = threading.Barrier(16)

    def worker(seed):
        rng = random.Random(seed)
        start.wait()
        try:
            for _ in range(240 // SCALE):
                name = rng.choice(names)
                if plain(calls[name]()) != expected[name]:
                    mismatches.append(name)
        except BaseException as e:  # noqa: B036 - reported below, with the thread's seed
            errors.append((seed, repr(e)))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and mismatches == []


def test_batch_functions_from_several_threads_at_once():
    pairs = [(png_bytes(page(80 + i, 60, i)), png_bytes(page(80 + i, 60, i, shift=i % 3))) for i in range(12)]
    pairs.append((BASE_PNG, CURRENT_PNG))
    calls = {
        "diff_count_batch": lambda: quillfen.diff_count_batch(pairs, threshold=0.05),
        "diff_batch": lambda: quillfen.diff_batch(pairs, include_aa=True),
        "ssim_batch": lambda: quillfen.ssim_batch(pairs),
        "compare_batch": lambda: quillfen.compare_batch(pairs, return_diff=True, thumbnail_width=30),
        "Comparison.batch": lambda: [plain(method_calls(c, c.row_alignment())["diff_count"]())
                                     for c in Comparison.batch(pairs)],
    }
    expected = {name: plain(call()) for name, call in calls.items()}
    results, errors = [], []
    start = threading.Barrier(8)

    def worker(seed):
        order = sorted(calls)
        random.Random(seed).shuffle(order)
        start.wait()
        try:
            for _ in range(3 if not SANITIZED else 1):
                for name in order:
                    results.append((name, plain(calls[name]()) == expected[name]))
        except BaseException as e:  # noqa: B036
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert [name for name, same in results if not same] == []
    assert len(results) == 8 * len(calls) * (3 if not SANITIZED else 1)


FORK_SCRIPT = """
import os, sys, signal
sys.path.insert(0, sys.argv[1])
import quillfen
from test_stress import BASE_PNG, CURRENT_PNG
pairs = [(BASE_PNG, CURRENT_PNG)] * 64
expected = quillfen.compare_batch(pairs, return_diff=True)  # the pool's workers are busy here
c = quillfen.Comparison(BASE_PNG, CURRENT_PNG)
count = c.diff_count()
pid = os.fork()
if pid == 0:
    signal.alarm(60)  # a hang in the child must not outlive the test
    ok = quillfen.compare_batch(pairs, return_diff=True) == expected and c.diff_count() == count
    ok = ok and quillfen.Comparison(BASE_PNG, CURRENT_PNG).diff_count() == count
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_fork_after_parallel_work_computes_in_the_child():
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONWARNINGS="ignore::DeprecationWarning")  # fork with threads running is intended
    run = subprocess.run([sys.executable, "-c", FORK_SCRIPT, here], capture_output=True, text=True, timeout=120,
                         env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "0", "child exit code %s (-14: hung, 3: wrong results)" % run.stdout.strip()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory back by design")
def test_resident_memory_stays_flat_over_thousands_of_calls():
    base, current = BASE[:48, :64].copy(), CURRENT[:48, :64].copy()
    base_png, current_png = png_bytes(base), png_bytes(current)
    c = Comparison(base_png, current_png)
    alignment = c.row_alignment()
    rgba, shorter = base.tobytes(), current[:40].tobytes()
    pair = [(base_png, current_png)]
    calls = method_calls(c, alignment)
    calls.update({
        "Comparison": lambda: Comparison(base_png, current_png),
        "from_rgba": lambda: Comparison.from_rgba(rgba, 64, 48, shorter, 64, 40),
        "thumbnail": lambda: quillfen.thumbnail(current_png, width=30),
        "diff_count_batch": lambda: quillfen.diff_count_batch(pair),
        "diff_batch": lambda: quillfen.diff_batch(pair),
        "ssim_batch": lambda: quillfen.ssim_batch(pair),
        "compare_batch": lambda: quillfen.compare_batch(pair, return_diff=True, thumbnail_width=20),
        "Comparison.batch": lambda: Comparison.batch(pair),
        "errors": lambda: [pytest.raises(ValueError, f) for f in (lambda: Comparison(b"", b""),
                                                                 lambda: c.diff_count(threshold=2.0),
                                                                 lambda: quillfen.thumbnail(base_png, width=0))],
    })
    growth = {}
    for name, call in calls.items():
        for _ in range(200):  # the allocator's pools and the interpreter's caches settle first
            call()
        before = resident_bytes()
        for _ in range(2000):
            call()
        growth[name] = resident_bytes() - before
    # Losing the smallest buffer a call makes (a 64 x 48 diff mask, 3 KiB) would add 6 MiB over 2000 calls.
    assert {name: g for name, g in growth.items() if g > 2 << 20} == {}


# --- decompression bombs ------------------------------------------------------------------------------------

def grey_png(width, height, idat):
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", idat) +
            png_chunk(b"IEND", b""))


def zeros_stream(size):
    """A zlib stream of `size` zero bytes, about size / 1000 bytes long, made without holding the inflated data:
    one fully flushed block of 16 MiB of zeros compresses to the same bytes every time, so it is repeated."""
    block = 1 << 24
    co = zlib.compressobj(9)
    head = co.compress(bytes(block)) + co.flush(zlib.Z_FULL_FLUSH)
    middle = co.compress(bytes(block)) + co.flush(zlib.Z_FULL_FLUSH)
    assert co.compress(bytes(block)) + co.flush(zlib.Z_FULL_FLUSH) == middle
    end = co.flush()[:-4]  # the final empty block; the checksum of the whole stream follows
    count = size // block
    adler = ((count * block) % 65521) << 16 | 1  # Adler-32 of zeros: a = 1, b = length mod 65521
    return head + middle * (count - 1) + end + struct.pack(">I", adler)


BOMB_SCRIPT = """
import json, resource, sys
sys.path.insert(0, sys.argv[1])
import quillfen
data = open(sys.argv[2], "rb").read()
calls = {
    "Comparison": lambda: quillfen.Comparison(data, data),
    "thumbnail": lambda: quillfen.thumbnail(data),
    "compare_batch": lambda: quillfen.compare_batch([(data, data)], thumbnail_width=10),
}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    calls[sys.argv[3]]()
    error = None
except ValueError as e:
    error = str(e)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"error": error, "peak_growth_kib": peak - before}))
"""


def refuse(tmp_path, data, entry):
    path = tmp_path / "bomb.png"
    path.write_bytes(data)
    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([sys.executable, "-c", BOMB_SCRIPT, here, str(path), entry], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.fixture(scope="module")
def zeros_1gib():
    return zeros_stream(32769 * 32768)  # the data of a 32768 x 32768 grey image, in about 1 MiB


@pytest.mark.parametrize("entry", ["Comparison", "thumbnail", "compare_batch"])
def test_bomb_is_refused_with_bounded_memory(tmp_path, zeros_1gib, entry):
    # 32768 x 32768 grey: 1 GiB of image data, twice the decoding limit.
    bomb = grey_png(32768, 32768, zeros_1gib)
    assert len(bomb) < 2 << 20
    result = refuse(tmp_path, bomb, entry)
    assert result["error"] == "failed to decode PNG: Memory limit exceeded"
    assert result["peak_growth_kib"] < 64 << 10


@pytest.mark.parametrize("entry", ["Comparison", "thumbnail"])
def test_data_far_beyond_a_small_header_is_not_inflated(tmp_path, zeros_1gib, entry):
    # A 64 x 64 image followed by 1 GiB more of image data: reading it is the reader's business (refused or
    # ignored), holding it is not.
    result = refuse(tmp_path, grey_png(64, 64, zeros_1gib), entry)
    assert result["error"] is None or result["error"].startswith("failed to decode PNG: ")
    assert result["peak_growth_kib"] < 64 << 10


@pytest.mark.parametrize("entry", ["Comparison", "thumbnail"])
def test_header_far_larger_than_its_data_is_refused_before_allocating(tmp_path, entry):
    # 23170 x 23170 grey is just inside the limit (512 MiB), but one byte of image data cannot inflate to it.
    result = refuse(tmp_path, grey_png(23170, 23170, b"\x78"), entry)
    assert result["error"].startswith("failed to decode PNG: ")
    assert result["peak_growth_kib"] < 64 << 10
