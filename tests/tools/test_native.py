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


def raw_png(width, height, rows, *, colour=0, depth=8, stream=None):
    """A PNG of the given filtered rows (filter bytes included) as one zlib stream, or of the stream given."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", stream if stream is not None else zlib.compress(rows, 9))
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


PEAK = """
import resource, sys, zlib
sys.path.insert(0, sys.argv[1])
from test_native import raw_png
import quillfen
from quillfen_tools import _native
side, corrupt = int(sys.argv[2]), sys.argv[3] == "corrupt"
stream = bytearray(zlib.compress(bytes(side * (side + 1)), 9))  # 8-bit grey: the RGBA is 4 x the rows
if corrupt:
    stream[-1] ^= 0xFF  # the Adler-32 at the very end
png = raw_png(side, side, b"", stream=bytes(stream))
call = {"engine": lambda: quillfen.Comparison(png, b"x"), "helper": lambda: _native.decode_rgba(png)}[sys.argv[4]]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    call()
    outcome = "decoded"
except ValueError as e:
    outcome = str(e)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024, outcome)
"""


@pytest.mark.parametrize("entry", ["engine", "helper"])
def test_decoding_memory(tmp_path, entry):
    """A small file that claims a large grey image: refused for a stream corrupt at its very end having touched
    about the inflated rows (a quarter of the RGBA), and decoded by the helper into one RGBA buffer."""
    import os
    import subprocess
    import sys
    side = 6000
    rgba = side * side * 4

    def peak(corrupt):
        out = subprocess.run([sys.executable, "-c", PEAK, os.path.dirname(__file__), str(side), corrupt, entry],
                             capture_output=True, text=True, check=True).stdout.split(maxsplit=1)
        return int(out[0]), out[1].strip()

    grown, outcome = peak("corrupt")
    assert "corrupt image data stream" in outcome
    assert grown < rgba * 0.45, f"{grown >> 20} MiB for a {rgba >> 20} MiB image"
    if entry == "helper":
        grown, outcome = peak("ok")
        assert outcome == "decoded"
        assert grown < rgba * 1.2, f"{grown >> 20} MiB for a {rgba >> 20} MiB image"


KERNELS = """
import hashlib, io, sys
import numpy as np
from PIL import Image
import quillfen
from quillfen_tools import _native
sys.path.insert(0, sys.argv[1])
from pages import page, png, shifted_down
digest = hashlib.sha256()
def add(*values):
    for v in values:
        digest.update(repr(v).encode() if not isinstance(v, (bytes, bytearray)) else bytes(v))
rng = np.random.default_rng(5)
for w, h in [(1, 1), (3, 2), (67, 9), (200, 130), (333, 97)]:
    base = page(w, h, seed=w)
    cur = base.copy()
    cur[h // 3:, w // 4:w // 2, :3] ^= 0x5A        # a changed block with edges
    noise = rng.integers(0, 2, (h, w)).astype(bool)
    cur[noise, 0] //= 2                           # scattered small changes: anti-aliasing tests
    cur[: h // 2, : w // 3, 3] = rng.integers(0, 256, (h // 2, w // 3))  # translucent pixels
    for mode in ["RGBA", "RGB", "L", "LA", "P"]:   # every row kernel of the reader, every filter Pillow picks
        buf = io.BytesIO()
        Image.fromarray(cur).convert(mode).save(buf, format="PNG")
        add(_native.decode_rgba(buf.getvalue()))
    c = quillfen.Comparison(png(base), png(cur))
    for aa in (False, True):
        add(c.diff_count(threshold=0.05, include_aa=aa), c.diff_image(include_aa=aa))
    add(c.ssim(), [(k.bbox, k.pixel_count) for k in c.clusters().clusters])
    add(c.current_thumbnail(width=max(1, w // 3)))
    s = quillfen.Comparison(png(base), png(shifted_down(base, min(5, h - 1))))
    al = s.row_alignment()
    add(al.aligned, al.residual_count, s.aligned_diff_image(al) if al.aligned else None)
print(",".join(map(str, _native.cpu_features())), digest.hexdigest())
"""


def test_scalar_kernels_give_the_same_bits():
    """QUILLFEN_SCALAR=1 forces every kernel's scalar twin; every result is the same to the bit."""
    import os
    import subprocess
    import sys

    def run(scalar):
        env = {k: v for k, v in os.environ.items() if k != "QUILLFEN_SCALAR"}
        if scalar:
            env["QUILLFEN_SCALAR"] = "1"
        out = subprocess.run([sys.executable, "-c", KERNELS, os.path.dirname(__file__)], capture_output=True,
                             text=True, env=env, check=True).stdout.split()
        return out[0], out[-1]

    scalar_features, scalar_digest = run(True)
    native_features, native_digest = run(False)
    assert scalar_features == "False,False,False"
    assert scalar_digest == native_digest
    if native_features == scalar_features:
        pytest.skip("this processor has none of the instruction sets the kernels use")
