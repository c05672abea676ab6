import io

import pytest

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def png_bytes(array, mode=None, **save_args):
    """Encode a numpy array (H x W x C, uint8 or uint16) as PNG with Pillow."""
    buf = io.BytesIO()
    Image.fromarray(array, mode).save(buf, format="PNG", **save_args)
    return buf.getvalue()


def rgba(width, height, color=(255, 255, 255, 255)):
    a = np.empty((height, width, 4), dtype=np.uint8)
    a[:, :] = color
    return a
