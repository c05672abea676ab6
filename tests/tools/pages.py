"""Pictures for the tests: screenshot-like pages as numpy arrays, and PNG files of them."""
import io

import numpy as np
import pytest
from PIL import Image


def page(width, height, seed=0):
    """A screenshot-like RGBA array: a light page with dark text-like blocks, every row different."""
    rng = np.random.default_rng(seed)
    a = np.full((height, width, 4), 250, dtype=np.uint8)
    a[:, :, 3] = 255
    for y in range(0, height, 3):
        x0 = int(rng.integers(0, max(1, width // 2)))
        a[y, x0 : x0 + int(rng.integers(1, max(2, width // 2))), :3] = rng.integers(0, 120, 3)
    a[:, 0, 0] = np.arange(height) % 256  # no two rows alike
    a[:, 0, 1] = np.arange(height) // 256
    return a


def png(array):
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(array)).save(buf, format="PNG")
    return buf.getvalue()


def shifted_down(base, rows, colour=(30, 90, 200)):
    """The page with `rows` banner rows inserted at the top (the bottom rows fall off, the size stays)."""
    banner = np.zeros((rows, base.shape[1], 4), dtype=np.uint8)
    banner[:, :, :3] = colour
    banner[:, :, 3] = 255
    banner[:, 1::7, 1] = 255  # rows of the banner differ from the page's rows
    return np.concatenate([banner, base[: base.shape[0] - rows]])


@pytest.fixture
def files(tmp_path):
    """Writes arrays as PNG files: files(name=array, ...) -> {name: path}."""

    def write(**arrays):
        out = {}
        for name, array in arrays.items():
            path = tmp_path / f"{name}.png"
            path.write_bytes(png(array))
            out[name] = path
        return out

    return write
