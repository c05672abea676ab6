"""Every kind of image source gives the same answer as the PNG file it shows; bad sources fail clearly."""
import hashlib
import io
import os
import struct
import zlib

import numpy as np
import pytest
from PIL import Image

import quillfen_tools as qt
from pages import page, png
from screens import in_thread


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
        (np.zeros((4, 5), np.uint16), r"shape \(4, 5\) and dtype uint16"),
        (np.zeros((4, 5, 2), np.uint8), r"shape \(4, 5, 2\) and dtype uint8"),
        (np.zeros((4, 5, 4), np.float32), r"shape \(4, 5, 4\) and dtype float32"),
        (np.zeros((4, 5, 4), np.uint16), r"dtype uint16"),
        (np.zeros((4, 5, 4, 1), np.uint8), r"shape \(4, 5, 4, 1\)"),
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


def test_grey_strided_and_other_formats_read_as_the_same_picture(tmp_path):
    base = page(30, 20)
    grey = base[:, :, 1].copy()
    as_rgba = np.dstack([grey, grey, grey, np.full_like(grey, 255)])
    # 2-D grey, and views whose rows or pixels are not packed (a crop, every other column, a transpose back).
    wide = np.zeros((20, 60, 4), np.uint8)
    wide[:, ::2] = base
    sources = {"grey": (grey, as_rgba), "crop": (np.pad(base, ((2, 2), (3, 3), (0, 0)))[2:-2, 3:-3], base),
               "strided": (wide[:, ::2], base), "transposed": (base.transpose(1, 0, 2).copy().transpose(1, 0, 2), base),
               "strided RGB": (wide[:, ::2, :3], base), "strided grey": (wide[:, ::2, 1], as_rgba)}
    for kind, (source, expected) in sources.items():
        assert not kind.startswith("strided") or not source.flags.c_contiguous
        assert np.array_equal(qt.load_rgba(source), expected), kind
        assert qt.compare(expected, source, threshold=0.0).status == "unchanged", kind
    # A JPEG file, by path or bytes, is read through Pillow as a PIL image of it is.
    Image.fromarray(base[:, :, :3]).save(tmp_path / "shot.jpg", quality=95)
    from_pil = qt.load_rgba(Image.open(tmp_path / "shot.jpg"))
    assert np.array_equal(qt.load_rgba(tmp_path / "shot.jpg"), from_pil)
    r = qt.compare(from_pil, tmp_path / "shot.jpg", threshold=0.0)
    assert r.status == "unchanged" and r.current_path == str(tmp_path / "shot.jpg")
    assert r.current_sha256 == hashlib.sha256((tmp_path / "shot.jpg").read_bytes()).hexdigest()


def test_max_pixels_is_checked_before_anything_is_decoded(tmp_path):
    # A 1-bit grey PNG of 30 000 x 30 000 pixels is a few kilobytes; decoded it would be 3.6 GB of RGBA.
    huge = tiny_png_of_size(30_000, 30_000)
    assert len(huge) < 200_000
    small = png(page(8, 8))
    with pytest.raises(qt.InputError, match=r"^current \(PNG data\): 30000x30000 is 900,000,000 pixels, more "
                                            r"than max_pixels=100,000,000"):
        qt.compare(small, huge)
    with pytest.raises(qt.InputError, match="max_pixels"):
        qt.load_rgba(huge)
    with pytest.raises(qt.InputError, match="max_pixels=63"):
        qt.compare(small, small, max_pixels=63)
    assert qt.compare(small, small, max_pixels=64).status == "unchanged"
    with pytest.raises(qt.InputError, match="max_pixels=63"):
        qt.compare(Image.new("RGB", (8, 8)), small, max_pixels=63)
    with pytest.raises(qt.InputError, match="max_pixels=63"):
        qt.load_rgba(np.zeros((8, 8, 4), np.uint8), max_pixels=63)
    with pytest.raises(ValueError, match="max_pixels must be >= 1"):
        qt.compare(small, small, max_pixels=0)


def tiny_png_of_size(width, height):
    """A valid 1-bit grey PNG of width x height, all black: one zlib stream of zero rows, compressed."""
    row = b"\x00" * (1 + (width + 7) // 8)
    compressor = zlib.compressobj(9)
    body = b"".join(compressor.compress(row) for _ in range(height)) + compressor.flush()

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0))
            + chunk(b"IDAT", body) + chunk(b"IEND", b""))


def test_paths_that_are_not_regular_files_are_refused_without_blocking(tmp_path):
    good = png(page(8, 8))
    fifo = tmp_path / "fifo.png"
    os.mkfifo(fifo)
    # Each call would block for ever on the FIFO, or read /dev/zero until memory runs out, if it opened them.
    for call in (lambda p: qt.compare(good, p), lambda p: qt.load_rgba(p)):
        assert "not a regular file (a FIFO)" in in_thread(lambda: refused(call, fifo))
        assert "not a regular file (a device)" in refused(call, "/dev/zero")
        assert "not a regular file (a folder)" in refused(call, tmp_path)


def refused(call, path):
    with pytest.raises(qt.InputError) as e:
        call(path)
    return str(e.value)


def test_pixels_are_stored_as_png_by_quillfens_writer():
    from quillfen_tools import _native

    base = page(30, 20)
    data = _native.encode_png(base.tobytes(), 30, 20)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(data)).convert("RGBA")), base)
    with pytest.raises(ValueError, match="expected 2400 bytes for 30x20"):
        _native.encode_png(base.tobytes()[:-1], 30, 20)
    with pytest.raises(TypeError, match="C-contiguous"):
        _native.encode_png(base[:, ::2], 15, 20)
