"""A result in words: the same sentence from a result and from its JSON record, shifts told honestly, and names
that cannot act on a terminal."""
import pytest

import quillfen_tools as qt
from quillfen_tools.words import describe, percent, printable
from pages import page, shifted_down


def band(kind, y, rows, x0=0, x1=100, at_edge=False):
    return qt.ShiftBand(kind, y, rows, x0, x1, at_edge)


def result(status, **fields):
    base = dict(name="home.png", status=status, passed=False, width=100, height=720, baseline_size=(100, 720),
                current_size=(100, 720))
    return qt.Result(**{**base, **fields})


@pytest.mark.parametrize("r, words", [
    (result("unchanged", passed=True, ssim=1.0), "unchanged: no pixel differs"),
    (result("new", baseline_size=None), "new: no baseline image"),
    (result("missing", current_size=None), "missing: no current image"),
    (result("error", error="current 'a.png': not a PNG file"), "error: current 'a.png': not a PNG file"),
    # A change that also moved says so; rows pushed out at the bottom are the same shift, not counted twice.
    (result("changed", diff_pixels=6029, diff_ratio=6029 / 72000, clusters=(qt.Box(1, 2, 3, 4, 5),) * 3,
            shift=qt.Shift((band("inserted", 80, 59), band("deleted", 720, 59, at_edge=True)))),
     "changed: 3 clusters, 6,029 pixels differ (8.37 %) after a 59-row shift at y=80"),
    # A shifted pair, passed or not, says what came in and what went out, and where a pane moved.
    (result("shifted", passed=True, ssim=1.0,
            shift=qt.Shift((band("inserted", 80, 59, 20, 100), band("deleted", 720, 59, 20, 100, True)))),
     "shifted: 59 rows inserted at y=80 (x 20..100), 59 rows pushed out of the capture at the bottom (x 20..100), "
     "SSIM 1.0000"),
    (result("shifted", shift=qt.Shift((band("deleted", 0, 1, at_edge=True), band("inserted", 700, 1)))),
     "shifted: 1 row pushed out of the capture at the top, 1 row inserted at y=700"),
    (result("shifted", shift=qt.Shift((band("deleted", 300, 12),))), "shifted: 12 rows deleted at y=300"),
    (result("size-changed", baseline_size=(100, 700), diff_pixels=1, diff_ratio=1 / 72000),
     "size-changed: size 100x700 -> 100x720, 1 pixel differs (< 0.01 %)"),
])
def test_one_sentence_for_a_result_and_its_record(r, words):
    assert describe(r) == words
    assert describe(r.to_dict()) == words


def test_words_of_a_real_comparison():
    base = page(40, 60, seed=3)
    r = qt.compare(base, shifted_down(base, 5), allow_shift=True)
    assert r.passed
    assert describe(r) == ("shifted: 5 rows inserted at y=0, 5 rows pushed out of the capture at the bottom, "
                           "SSIM 1.0000")


def test_percentages_never_round_to_a_lie():
    assert (percent(0), percent(1e-6), percent(0.5), percent(0.999999), percent(1)) == (
        "0 %", "< 0.01 %", "50.00 %", "> 99.99 %", "100.00 %")


def test_printable_names_cannot_act_on_the_terminal():
    hostile = "a\x1b[2Jb\nFAKE: 0 pairs differ\r\u202egnp.exe\x7f\x9b"
    shown = printable(hostile)
    assert shown == "a\\x1b[2Jb\\x0aFAKE: 0 pairs differ\\x0d\\u202egnp.exe\\x7f\\x9b"
    assert shown.isprintable()
    # Bytes of a file name that are not UTF-8 arrive as lone surrogates: they are shown as the bytes they were.
    assert printable(b"caf\xe9.png".decode("utf-8", "surrogateescape")) == "caf\\xe9.png"
    assert printable("ünï 日本.png") == "ünï 日本.png"
