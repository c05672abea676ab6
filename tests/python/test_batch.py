import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest
from conftest import np, png_bytes

import quillfen
from quillfen import Comparison


def screen(w, h, seed):
    rng = np.random.default_rng(seed)
    a = np.full((h, w, 4), 255, np.uint8)
    a[: h // 4, :, :3] = (40, 90, 200)  # a header bar
    for _ in range(12):  # text-like blocks
        x, y = rng.integers(0, max(w - 20, 1)), rng.integers(0, max(h - 6, 1))
        a[y:y + 5, x:x + 18, :3] = rng.integers(0, 256, 3)
    return a


def changed(a, seed):
    b = a.copy()
    rng = np.random.default_rng(seed)
    h, w = b.shape[:2]
    y, x = rng.integers(0, h - 4), rng.integers(0, w - 10)
    b[y:y + 4, x:x + 10, :3] = 255 - b[y:y + 4, x:x + 10, :3]
    return b


def make_pairs():
    sizes = [(640, 400), (32, 24), (50, 40), (17, 9), (64, 64)]
    out = []
    for i, (w, h) in enumerate(sizes):
        base = screen(w, h, i)
        cur = changed(base, i) if i != 3 else screen(w + 3, h - 2, 99)  # one pair of different sizes
        out.append((png_bytes(base), png_bytes(cur)))
    return out


PAIRS = make_pairs()
OPTS = {"threshold": 0.05, "include_aa": True}


def test_elements_equal_the_single_pair_results():
    counts = quillfen.diff_count_batch(PAIRS, **OPTS)
    diffs = quillfen.diff_batch(PAIRS, diff_color=(0, 0, 255), **OPTS)
    scores = quillfen.ssim_batch(PAIRS)
    plain = quillfen.compare_batch(PAIRS, **OPTS)
    full = quillfen.compare_batch(PAIRS, return_diff=True, diff_color=(0, 0, 255), thumbnail_width=20, **OPTS)
    comparisons = Comparison.batch(PAIRS)
    assert len(counts) == len(diffs) == len(scores) == len(plain) == len(full) == len(comparisons) == len(PAIRS)
    for i, (b, c) in enumerate(PAIRS):
        one = Comparison(b, c)
        size = (one.width, one.height)
        count = one.diff_count(**OPTS)
        assert counts[i] == (count, *size)
        assert diffs[i] == (one.diff_image(diff_color=(0, 0, 255), **OPTS), diffs[i][1], *size)
        assert scores[i] == one.ssim()
        assert plain[i] == (count, scores[i], *size, None, None)
        assert full[i] == (diffs[i][1], scores[i], *size, diffs[i][0], quillfen.thumbnail(c, width=20))
        made = comparisons[i]
        assert (repr(made), made.baseline_size, made.current_size) == (repr(one), one.baseline_size, one.current_size)
        assert made.diff_count(**OPTS) == count and made.ssim() == scores[i]
        assert made.current_thumbnail(width=20) == one.current_thumbnail(width=20)
    assert counts[3][1:] == (20, 9)  # the maxima of 17 x 9 and 20 x 7


def test_empty_batches_still_check_their_ranges():
    assert quillfen.diff_count_batch([]) == [] and Comparison.batch(()) == []
    with pytest.raises(ValueError, match=r"^threshold must be in the range \[0.0, 1.0\]$"):
        quillfen.diff_count_batch([], threshold=2.0)
    with pytest.raises(ValueError, match=r"^alpha must be in the range \[0.0, 1.0\]$"):
        quillfen.compare_batch([], alpha=float("nan"))


def test_optional_outputs_of_compare_batch():
    (el,) = quillfen.compare_batch(PAIRS[1:2], thumbnail_height=10)
    assert el[4:] == (None, None)
    (el,) = quillfen.compare_batch(PAIRS[1:2], return_diff=True, thumbnail_width=8, thumbnail_height=2)
    assert el[4][:8] == b"\x89PNG\r\n\x1a\n" and el[5][8:12] == b"WEBP"
    with pytest.raises(ValueError, match="^thumbnail max_width must be > 0$"):
        quillfen.compare_batch(PAIRS[1:2], thumbnail_width=0)


def test_a_failing_pair_fails_the_whole_batch():
    with pytest.raises(ValueError, match="^failed to decode PNG: "):
        quillfen.diff_count_batch([PAIRS[1], (PAIRS[1][0], b"not a png"), PAIRS[2]])


@pytest.mark.parametrize("pairs, exc, match", [
    ([list(PAIRS[1])], TypeError, "^argument 'pairs': "),
    ([PAIRS[1] + (b"",)], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
    ("ab", TypeError, "^argument 'pairs': "),
    ((p for p in PAIRS), TypeError, "^argument 'pairs': "),
    ([(PAIRS[1][0], "text")], TypeError, "^argument 'pairs': "),
    ([(PAIRS[1][0], [0, 256])], OverflowError, None),
])
def test_malformed_pairs(pairs, exc, match):
    for fn in (quillfen.diff_batch, quillfen.ssim_batch, Comparison.batch):
        with pytest.raises(exc, match=match):
            fn(pairs)


def test_members_may_be_any_sequence_of_byte_values():
    b, c = PAIRS[2]
    expected = quillfen.diff_count_batch([(b, c)])
    assert quillfen.diff_count_batch([(bytearray(b), list(c))]) == expected


def test_order_is_kept_behind_a_large_first_pair():
    big = screen(1600, 1200, 7)
    pairs = [(png_bytes(big), png_bytes(changed(big, 7)))] + PAIRS[1:] * 8
    counts = quillfen.diff_count_batch(pairs)
    assert counts[1:] == quillfen.diff_count_batch(PAIRS[1:]) * 8
    assert counts[0][1:] == (1600, 1200)


SCRIPT = """
import hashlib, json, sys
sys.path.insert(0, sys.argv[1])
import quillfen
from test_batch import PAIRS
out = [[e[0], e[1].hex(), e[2], e[3], hashlib.sha256(e[4]).hexdigest(), hashlib.sha256(e[5]).hexdigest()]
       for e in quillfen.compare_batch(PAIRS, return_diff=True, thumbnail_width=16)]
print(json.dumps(out))
"""


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
def test_one_core_gives_the_same_results_as_many():
    here = os.path.dirname(os.path.abspath(__file__))
    run = lambda prefix: json.loads(subprocess.run(prefix + [sys.executable, "-c", SCRIPT, here], check=True,
                                                   capture_output=True, text=True).stdout)
    assert run(["taskset", "-c", "0"]) == run([])
