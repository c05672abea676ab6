"""The pytest plugin's own costs, each beside its peer in the same run:

- storing an array screenshot as PNG (the plugin's encoder) beside Pillow's PNG encoder at its default settings;
- one passing assert_screenshot call (baseline read from disk, comparison, bookkeeping) beside quillfen_tools.compare
  of the same two PNGs in memory.
"""
import io
import pathlib
import tempfile

import numpy as np
import pytest
import quillfen_tools as qt
from PIL import Image
from quillfen_tools import pytest_plugin

from common import SCREENSHOTS_HINT, best_time, encode_png, make_pair, screenshot_pairs


def pillow_png(array):
    buf = io.BytesIO()
    Image.fromarray(array).save(buf, format="PNG")
    return buf.getvalue()


def inputs():
    for width, height in ((1280, 720), (1920, 1080)):
        baseline, _ = make_pair(width, height, "identical")
        yield f"synthetic {width}x{height}", baseline
    pairs = screenshot_pairs(kinds=["identical"], limit=3)
    if not pairs:
        print(SCREENSHOTS_HINT)
    for pair in pairs:
        array = np.asarray(Image.open(io.BytesIO(pair.baseline)).convert("RGBA"))
        yield f"real {pair.page} {pair.width}x{pair.height}", np.ascontiguousarray(array)


class _Item:
    """What the fixture reads of a test item."""

    def __init__(self, folder):
        self.nodeid = "test_bench.py::test_page"
        self.path = pathlib.Path(folder) / "test_bench.py"
        self.stash = pytest.Stash()


def main():
    print(f"{'array to PNG':<44} {'plugin':>10} {'Pillow':>10} {'ratio':>7} {'size ratio':>11}")
    arrays = list(inputs())
    for label, array in arrays:
        ours = best_time(lambda: pytest_plugin._encode_png(array), repeat=3)
        peer = best_time(lambda: pillow_png(array), repeat=3)
        size = len(pytest_plugin._encode_png(array)) / len(pillow_png(array))
        print(f"{label:<44} {ours * 1e3:>8.1f}ms {peer * 1e3:>8.1f}ms {ours / peer:>7.2f} {size:>11.2f}")

    print(f"\n{'passing assert_screenshot':<44} {'fixture':>10} {'compare':>10} {'ratio':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        settings = pytest_plugin._Settings(mode="missing", threshold=0.1, max_diff_pixels=0, snapshot_dir=None,
                                           rootpath=pathlib.Path(tmp), results_dir=pathlib.Path(tmp) / "results",
                                           report_dir=None)
        state = pytest_plugin._SessionState(settings)
        for i, (label, array) in enumerate(arrays):
            png = encode_png(array)
            asserter = pytest_plugin.ScreenshotAsserter(_Item(tmp), state)
            asserter(png, f"page-{i}.png")  # writes the baseline
            ours = best_time(lambda: asserter(png, f"page-{i}.png"), repeat=5)
            peer = best_time(lambda: qt.compare(png, png), repeat=5)
            print(f"{label:<44} {ours * 1e3:>8.1f}ms {peer * 1e3:>8.1f}ms {ours / peer:>7.2f}")


if __name__ == "__main__":
    main()
