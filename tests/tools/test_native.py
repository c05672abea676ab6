"""The native helper module: one core shared with the engine module, its records and argument conventions, and
decoding that refuses an oversized image before allocating it."""
import inspect
import struct
import zlib

import numpy as np
import pytest

import quillfen
from pages import page, png
from quillfen_tools import _native


def raw_png(width, height, rows, *, colour=0, depth=8):
    """A PNG of the given filtered rows (filter bytes included) as one zlib stream."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def test_one_core_for_both_modules():
    # The helper is the engine's own shared object under a second name: one PNG reader, one pool.
    assert _native.__file__ == quillfen.__file__
    assert _native.InternalFault is not None
    assert not any(name in dir(quillfen) for name in ("decode_rgba", "pool_stats", "PoolStats"))

    width, height = 512, 256  # 512 KiB of RGBA: large enough for the pool
    image = png(page(width, height))

    def reused_after(release, reuse):
        release()
        kept = _native.pool_stats()
        reuse()
        after = _native.pool_stats()
        return kept, after

    # Released by the engine (a Comparison's decoded images), taken again by the helper's decoder.
    kept, after = reused_after(lambda: quillfen.Comparison(image, image), lambda: _native.analyze_layout(image, image))
    if kept.blocks == 0:
        pytest.skip("no buffer pool in builds for the memory checkers")
    assert kept.bytes >= width * height * 4
    assert after.hits > kept.hits
    # And the other way round: released by the helper, reused by the engine.
    kept, after = reused_after(lambda: _native.analyze_layout(image, image), lambda: quillfen.Comparison(image, image))
    assert after.hits > kept.hits
    assert after.blocks <= 16 and after.bytes <= 256 << 20


def test_records_have_names_and_unpack_like_tuples():
    image = page(40, 30)
    decoded = _native.decode_rgba(png(image))
    assert type(decoded).__name__ == "DecodedImage" and type(decoded).__module__ == "quillfen_tools._native"
    assert (decoded.width, decoded.height) == (40, 30) and isinstance(decoded.pixels, bytes)
    pixels, width, height = decoded
    assert np.array_equal(np.frombuffer(pixels, np.uint8).reshape(30, 40, 4), image)
    writable = _native.decode_rgba(png(image), writable=True).pixels
    assert isinstance(writable, bytearray) and writable == pixels
    stats = _native.pool_stats()
    assert tuple(stats) == (stats.blocks, stats.bytes, stats.hits, stats.misses)
    size = _native.png_size(png(image))
    assert size == (40, 30) and (size.width, size.height) == (40, 30)


def test_parameters_follow_the_engine_conventions():
    # Defaults come from the core's option records and show in the text signature.
    params = inspect.signature(_native.analyze_layout).parameters
    assert {k: params[k].default for k in ("threshold", "include_aa", "max_edit_ratio", "max_edit_rows",
                                           "max_residual")} == {
        "threshold": 0.1, "include_aa": False, "max_edit_ratio": 0.25, "max_edit_rows": 2048, "max_residual": None}
    assert list(inspect.signature(_native.decode_rgba).parameters) == ["png", "writable", "max_pixels"]
    image = png(page(20, 10))
    with pytest.raises(TypeError, match="argument 'writable'"):
        _native.decode_rgba(image, writable=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'width'"):
        _native.decode_rgba(image, width=3)
    with pytest.raises(TypeError, match="missing required argument 'png'"):
        _native.decode_rgba()
    with pytest.raises(TypeError, match="argument 'png'"):
        _native.png_size(bytearray(image))
    with pytest.raises(TypeError, match="argument 'rects'"):
        _native.apply_ignore(b"\0" * 4, 1, 1, b"\0" * 4, 1, 1, rects=[(0, 0, 1)])
    with pytest.raises(TypeError, match="argument 'baseline_size'"):
        _native.analyze_layout(b"\0" * 4, b"\0" * 4, (1, "1"), (1, 1))
    with pytest.raises(OverflowError):  # as the engine's integers
        _native.analyze_layout(b"\0" * 4, b"\0" * 4, (1, 1), (1, -1))
    with pytest.raises(ValueError, match="argument 'rgb': expected 12 bytes for 2x2"):
        _native.rgb_to_rgba(b"\0" * 11, 2, 2)
    # Thumbnails: a height crops, None (the default) does not.
    rgba = _native.decode_rgba(png(page(64, 64))).pixels
    assert _native.thumbnail_rgba(rgba, 64, 64, 32)[:4] == b"RIFF"
    assert _native.thumbnail_rgba(rgba, 64, 64, 32, 8) != _native.thumbnail_rgba(rgba, 64, 64, 32)
    # The pool is shared: a limit set here is the engine's too.
    try:
        _native.set_threads(1)
        assert _native.max_threads() == 1
    finally:
        _native.set_threads(None)
    assert _native.max_threads() >= 1


def test_size_limits_are_checked_from_the_header():
    image = png(page(30, 20))
    assert _native.decode_rgba(image, max_pixels=600).width == 30  # exactly at the limit
    with pytest.raises(ValueError, match="30x20 = 600 pixels exceeds max_pixels=599"):
        _native.decode_rgba(image, max_pixels=599)
    # A header that claims a huge image over a tiny stream is refused by its size alone, before any allocation
    # and before the stream is looked at.
    huge = raw_png(100_000, 100_000, b"\0" * 10)
    with pytest.raises(ValueError, match="10000000000 pixels exceeds max_pixels=1000000"):
        _native.decode_rgba(huge, max_pixels=1_000_000)
    assert _native.png_size(huge) == (100_000, 100_000)
    # The header is validated as the decoder validates it.
    broken = bytearray(image)
    broken[20] ^= 1  # inside IHDR: the CRC no longer matches
    for bad, message in [(b"", "signature"), (image[:20], "cut short"), (bytes(broken), "CRC"),
                         (raw_png(0, 5, b""), "width"), (raw_png(5, 5, b"", depth=3), "bit depth")]:
        with pytest.raises(ValueError, match=message):
            _native.png_size(bad)
        with pytest.raises(ValueError, match=message):
            _native.decode_rgba(bad, max_pixels=10**9)
