"""Every kind of image source gives the same answer as the PNG file it shows; bad sources fail clearly."""
import io

import numpy as np
import pytest
from PIL import Image

import quillfen_tools as qt
from pages import page, png


def test_every_source_kind_reads_the_same_image(tmp_path):
    base = page(30, 20)  # not square: (height, width) must not be taken for (width, height)
    path = tmp_path / "base.png"
    path.write_bytes(png(base))
    data = png(base)
    opaque = base[:, :, :3].copy()
    sources = {
        "str path": str(path), "Path": path, "bytes": data, "bytearray": bytearray(data),
        "memoryview": memoryview(data), "file": io.BytesIO(data), "numpy RGBA": base,
        "numpy RGB": opaque, "buffer": memoryview(base), "PIL RGBA": Image.fromarray(base),
        "PIL RGB": Image.fromarray(opaque), "PIL palette": Image.fromarray(base).convert("P"),
    }
    for kind, source in sources.items():
        r = qt.compare(data, source, threshold=0.0)
        # A palette image may lose colours; every other kind is the same picture.
        assert (r.width, r.height, r.current_size) == (30, 20, (30, 20)), kind
        if kind != "PIL palette":
            assert (r.status, r.ssim) == ("unchanged", 1.0), kind
        loaded = qt.load_rgba(io.BytesIO(data) if kind == "file" else source)
        assert loaded.shape == (20, 30, 4) and loaded.dtype == np.uint8, kind
        if kind != "PIL palette":
            assert np.array_equal(loaded, base), kind
    # The file was read once, at its current position.
    f = io.BytesIO(b"junk" + data)
    f.read(4)
    assert qt.compare(data, f).status == "unchanged"


def test_transposed_array_is_a_different_size():
    base = page(30, 20)
    r = qt.compare(png(base), np.ascontiguousarray(base.transpose(1, 0, 2)))
    assert r.current_size == (20, 30) and r.status == "size-changed"


def test_load_rgba_gives_a_writable_copy():
    base = page(8, 6)
    for source in (png(base), base):
        a = qt.load_rgba(source)
        a[0, 0] = 0
        assert a.flags.writeable
    assert base[0, 0, 3] == 255


@pytest.mark.parametrize(
    "array, text",
    [
        (np.zeros((4, 5), np.uint8), r"shape \(4, 5\) and dtype uint8"),
        (np.zeros((4, 5, 2), np.uint8), r"shape \(4, 5, 2\) and dtype uint8"),
        (np.zeros((4, 5, 4), np.float32), r"shape \(4, 5, 4\) and dtype float32"),
        (np.zeros((4, 5, 4), np.uint16), r"dtype uint16"),
        (np.zeros((4, 10, 4), np.uint8)[:, ::2], r"shape \(4, 5, 4\) and dtype uint8 \(not C-contiguous\)"),
    ],
)
def test_bad_arrays_name_shape_and_dtype(array, text):
    with pytest.raises(ValueError, match=r"current \(numpy.ndarray\): image array must be \(height, width, 4\)"):
        qt.compare(page(5, 4), array)
    with pytest.raises(ValueError, match=text):
        qt.load_rgba(array)


def test_unreadable_sources_name_the_side(tmp_path):
    good = png(page(8, 8))
    with pytest.raises(qt.InputError, match=r"^baseline '.*missing\.png': No such file") as e:
        qt.compare(tmp_path / "missing.png", good)
    assert e.value.side == "baseline"
    (tmp_path / "bad.png").write_bytes(b"\x89PNG not really")
    with pytest.raises(qt.InputError, match=r"^current '.*bad\.png': failed to decode PNG: ") as e:
        qt.compare(good, tmp_path / "bad.png")
    assert e.value.side == "current"
    # The same with decoded input on the other side, where the PNG is decoded on its own.
    with pytest.raises(qt.InputError, match=r"^current \(PNG data\): failed to decode PNG: "):
        qt.compare(page(8, 8), b"not a png")
    with pytest.raises(TypeError, match=r"^baseline \(int\): unsupported image source"):
        qt.compare(42, good)
    with pytest.raises(TypeError, match="binary mode"):
        qt.compare(io.StringIO("text"), good)
    with pytest.raises(qt.InputError, match="failed to decode PNG"):
        qt.load_rgba(b"")


def test_importing_needs_neither_numpy_nor_pillow(tmp_path):
    import subprocess
    import sys

    code = (
        "import sys; sys.modules['numpy'] = None; sys.modules['PIL'] = None\n"
        "import quillfen_tools as qt\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "print(qt.compare(data, data).status)\n"
    )
    path = tmp_path / "page.png"
    path.write_bytes(png(page(8, 8)))
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "unchanged"
