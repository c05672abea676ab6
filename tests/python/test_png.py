import io
import pathlib
import resource
import struct
import subprocess
import sys
import zlib

import pytest

from conftest import Image, np, png_bytes, png_chunk, write_png
from quillfen import Comparison

RNG = np.random.default_rng(5)
W, H = 13, 11  # odd sizes exercise the Adam7 passes and bit packing




def rgba_png(expected):
    return png_bytes(np.ascontiguousarray(expected, dtype=np.uint8), "RGBA")


def assert_decodes_to(png, expected):
    expected = np.asarray(expected, dtype=np.uint8)
    c = Comparison(png, rgba_png(expected))
    assert c.size_mismatch is False
    assert (c.width, c.height) == (expected.shape[1], expected.shape[0])
    assert c.diff_count(threshold=0.0) == 0
    # The reference really is compared: one changed pixel is seen.
    changed = expected.copy()
    changed[0, 0, 0] ^= 1
    assert Comparison(png, rgba_png(changed)).diff_count(threshold=0.0) == 1


def scale(values, bit_depth):
    if bit_depth == 16:
        return (values.astype(np.uint32) + 128) // 257
    return values * (255 // (2 ** bit_depth - 1))


def with_alpha(rgb, alpha=None):
    a = np.full(rgb.shape[:2] + (1,), 255, dtype=np.uint32) if alpha is None else alpha[:, :, None]
    return np.concatenate([rgb, a], axis=2)


@pytest.mark.parametrize("filtered", [False, True])
@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [1, 2, 4, 8, 16])
def test_grey_every_depth(bit_depth, interlace, filtered):
    g = RNG.integers(0, 2 ** bit_depth, (H, W))
    grey = scale(g, bit_depth)
    assert_decodes_to(write_png(g, bit_depth, 0, interlace=interlace, filtered=filtered),
                      with_alpha(np.stack([grey] * 3, axis=2)))
    # tRNS names one grey value as transparent.
    key = int(g[0, 0])
    trns = struct.pack(">H", key)
    alpha = np.where(g == key, 0, 255)
    assert_decodes_to(write_png(g, bit_depth, 0, trns=trns, interlace=interlace, filtered=filtered),
                      with_alpha(np.stack([grey] * 3, axis=2), alpha))


@pytest.mark.parametrize("filtered", [False, True])
@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [8, 16])
def test_rgb_grey_alpha_rgba(bit_depth, interlace, filtered):
    top = 2 ** bit_depth
    rgb = RNG.integers(0, top, (H, W, 3))
    rgb[1, 1] = rgb[0, 0]
    expected_rgb = scale(rgb, bit_depth)
    assert_decodes_to(write_png(rgb, bit_depth, 2, interlace=interlace, filtered=filtered), with_alpha(expected_rgb))
    trns = struct.pack(">HHH", *(int(v) for v in rgb[0, 0]))
    alpha = np.where((rgb == rgb[0, 0]).all(axis=2), 0, 255)
    assert_decodes_to(write_png(rgb, bit_depth, 2, trns=trns, interlace=interlace, filtered=filtered),
                      with_alpha(expected_rgb, alpha))

    ga = RNG.integers(0, top, (H, W, 2))
    g = scale(ga[:, :, 0], bit_depth)
    assert_decodes_to(write_png(ga, bit_depth, 4, interlace=interlace, filtered=filtered),
                      with_alpha(np.stack([g] * 3, axis=2), scale(ga[:, :, 1], bit_depth)))

    rgba = RNG.integers(0, top, (H, W, 4))
    assert_decodes_to(write_png(rgba, bit_depth, 6, interlace=interlace, filtered=filtered), scale(rgba, bit_depth))


@pytest.mark.parametrize("filtered", [False, True])
@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [1, 2, 4, 8])
def test_palette_with_and_without_trns(bit_depth, interlace, filtered):
    entries = 2 ** bit_depth
    palette = [tuple(int(v) for v in RNG.integers(0, 256, 3)) for _ in range(entries)]
    index = RNG.integers(0, entries, (H, W))
    rgb = np.array(palette, dtype=np.uint32)[index]
    assert_decodes_to(write_png(index, bit_depth, 3, palette=palette, interlace=interlace, filtered=filtered),
                      with_alpha(rgb))
    # tRNS may be shorter than the palette: the remaining entries stay opaque.
    alphas = [int(v) for v in RNG.integers(0, 256, max(1, entries - 1))]
    full = np.array(alphas + [255] * (entries - len(alphas)), dtype=np.uint32)
    assert_decodes_to(write_png(index, bit_depth, 3, palette=palette, trns=bytes(alphas), interlace=interlace,
                                filtered=filtered),
                      with_alpha(rgb, full[index]))


def test_sixteen_bit_samples_are_rounded():
    values = np.array([[0, 127, 128, 129, 255, 256, 32767, 32896, 65535]])
    expected = [0, 0, 0, 1, 1, 1, 127, 128, 255]
    grey = np.array([expected], dtype=np.uint32)
    assert_decodes_to(write_png(values, 16, 0), with_alpha(np.stack([grey] * 3, axis=2)))


@pytest.mark.parametrize("mode", ["1", "L", "LA", "P", "RGB", "RGBA", "I;16"])
def test_files_written_by_pillow(mode):
    base = Image.fromarray(RNG.integers(0, 256, (H, W, 4), dtype=np.uint8), "RGBA")
    img = base.convert("I").convert("I;16") if mode == "I;16" else base.convert(mode)
    buf = io.BytesIO()
    img.save(buf, format="PNG", **({"transparency": 3} if mode == "P" else {}))
    reference = Image.open(io.BytesIO(buf.getvalue()))
    if mode == "I;16":
        v = (np.asarray(reference, dtype=np.uint32) + 128) // 257
        expected = with_alpha(np.stack([v] * 3, axis=2))
    else:
        expected = np.asarray(reference.convert("RGBA"))
    assert_decodes_to(buf.getvalue(), expected)


def pillow_rgba(png):
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGBA"))


# Colour type, bit depth and a tRNS payload (or None): every combination of at most 8 bits per sample. (Pillow
# matches a 2- or 4-bit grey tRNS value against the scaled samples and so misses it; those cases are checked
# against the samples themselves above.)
LOW_DEPTH_CASES = [(0, d, None) for d in (1, 2, 4, 8)] + [(0, 1, b"\x00\x01"), (0, 8, b"\x00\x01")] + [
    (2, 8, None), (2, 8, b"\x00\x07\x00\x08\x00\x09"), (4, 8, None), (6, 8, None)] + [
    (3, d, t) for d in (1, 2, 4, 8) for t in (None, b"\x00\x80")]


@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("colour_type,bit_depth,trns", LOW_DEPTH_CASES)
def test_same_pixels_as_pillow(colour_type, bit_depth, trns, interlace):
    # Sizes that leave Adam7 passes empty or one pixel wide, and rows that end inside a byte.
    for width, height in [(1, 1), (3, 2), (W, H), (33, 17)]:
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
        samples = RNG.integers(0, 2 ** bit_depth, (height, width, channels))
        if trns is not None and colour_type == 2:
            samples[0, 0] = (7, 8, 9)
        if trns is not None and colour_type == 0:
            samples[0, 0] = 1
        palette = ([tuple(int(v) for v in RNG.integers(0, 256, 3)) for _ in range(2 ** bit_depth)]
                   if colour_type == 3 else None)
        png = write_png(samples, bit_depth, colour_type, palette=palette, trns=trns, interlace=interlace,
                        filtered=True)
        assert_decodes_to(png, pillow_rgba(png))


SCREENSHOTS = sorted((pathlib.Path(__file__).parent / "data").glob("screenshot_*.png"))


@pytest.mark.parametrize("path", SCREENSHOTS, ids=lambda p: p.name)
def test_real_screenshots_decode_as_pillow_does(path):
    # Pages rendered by headless Chromium: 8-bit RGB with every filter type in use, image data in many chunks.
    png = path.read_bytes()
    assert_decodes_to(png, pillow_rgba(png))


def test_ancillary_chunks_do_not_change_the_samples():
    rgb = RNG.integers(0, 256, (H, W, 3))
    gamma = (b"gAMA", struct.pack(">I", 100000))
    text = (b"tEXt", b"Comment\x00hello")
    assert_decodes_to(write_png(rgb, 8, 2, extra_chunks=[gamma, text]), with_alpha(rgb))


def real_png():
    return png_bytes(RNG.integers(0, 256, (40, 30, 4), dtype=np.uint8), "RGBA")


def grey_png(stream, width, height):
    """An 8-bit grey PNG whose image data is the given zlib stream."""
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + png_chunk(b"IDAT", stream) + png_chunk(b"IEND", b""))


def corrupted_variants():
    good = real_png()
    idat = good.index(b"IDAT")
    crc_broken = bytearray(good)
    crc_broken[idat + 10] ^= 0x55  # inside the data: the chunk CRC fails
    signature = bytearray(good)
    signature[1] = ord("Q")
    ihdr_width = bytearray(good)
    ihdr_width[16:20] = b"\x00\x00\x00\x00"  # width 0 (with a fixed CRC it is still invalid)
    iend = good.index(b"IEND") - 4
    last_crc = bytearray(good)
    last_crc[iend - 1] ^= 0x01  # the CRC of the last IDAT chunk, read only after the image data has ended
    text_chunk = png_chunk(b"tEXt", b"Comment\x00hello")
    text_crc = bytearray(text_chunk)
    text_crc[-1] ^= 0x01
    # Streams that end early or run on, each in a file whose chunks are otherwise sound.
    rows = bytes(RNG.integers(0, 256, 9 * 7, dtype=np.uint8))  # 7 rows of 8-bit grey, width 8, filter None
    rows = b"".join(b"\x00" + rows[y * 9 + 1:(y + 1) * 9] for y in range(7))
    complete = zlib.compress(rows)
    flushing = zlib.compressobj()
    unterminated = flushing.compress(rows) + flushing.flush(zlib.Z_SYNC_FLUSH)
    bad_adler = complete[:-1] + bytes([complete[-1] ^ 1])
    assert Comparison(grey_png(complete, 8, 7), good)  # the reference file itself is fine
    streams = {
        "zlib-checksum-missing": complete[:-4],
        "zlib-checksum-cut": complete[:-2],
        "zlib-checksum-wrong": bad_adler,
        "deflate-unterminated": unterminated,
        "rows-missing": zlib.compress(rows[:-9]),
        "rows-extra": zlib.compress(rows + bytes(9)),
        "filter-type-5": zlib.compress(b"\x05" + rows[1:]),
    }
    return {
        **{f"iend-crc-cut-{k}": good[:-k] for k in range(1, 5)},
        **{name: grey_png(stream, 8, 7) for name, stream in streams.items()},
        "last-idat-crc": bytes(last_crc),
        "ancillary-crc": good[:iend] + bytes(text_crc) + good[iend:],
        "iend-missing": good[:iend],
        "empty": b"",
        "jpeg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(64),
        "signature": bytes(signature),
        "only-signature": good[:8],
        "truncated-header": good[:20],
        "truncated-data": good[: idat + 40],
        "no-iend": good[: good.index(b"IEND") - 4][:-10],
        "crc": bytes(crc_broken),
        "zero-width": bytes(ihdr_width[:29]) + struct.pack(">I", __import__("zlib").crc32(bytes(ihdr_width[12:29])))
        + bytes(ihdr_width[33:]),
    }


@pytest.mark.parametrize("name", list(corrupted_variants()))
def test_bad_files_are_decode_errors(name):
    bad = corrupted_variants()[name]
    good = real_png()
    for args in [(bad, good), (good, bad)]:
        with pytest.raises(ValueError) as info:
            Comparison(*args)
        message = str(info.value)
        assert message.startswith("failed to decode PNG: ") and len(message) > len("failed to decode PNG: ")


def huge_header(width=100_000, height=100_000):
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", b"") + png_chunk(b"IEND", b""))


def test_huge_header_is_refused_before_allocating():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(ValueError, match=r"^failed to decode PNG: Memory limit exceeded$"):
        Comparison(huge_header(), real_png())
    # 40 GB were claimed; the process did not grow by anything like the limit.
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024


PEAK_GROWTH = """
import resource, sys, quillfen
png = sys.stdin.buffer.read()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    quillfen.Comparison(png, png + b"\\0")  # the same image twice, as two different files
    print("decoded")
except ValueError as e:
    print(e)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def peak_growth_kib(png):
    """Decodes `png` in a child interpreter: (the error message or "decoded", growth of its peak RSS in KiB)."""
    out = subprocess.run([sys.executable, "-c", PEAK_GROWTH], input=png, capture_output=True, check=True).stdout
    message, growth = out.decode().splitlines()
    return message, int(growth)


def test_image_data_too_short_for_the_header_is_refused_before_allocating():
    # 58 bytes claiming 23170 x 23170 grey (inside the limit): deflate cannot expand one byte to 512 MiB.
    png = grey_png(b"\x00", 23170, 23170)
    message, growth = peak_growth_kib(png)
    assert message == "failed to decode PNG: the image data is too short for the image size"
    assert growth < 64 * 1024


def test_decompression_bomb_is_refused_with_bounded_memory():
    # About 600 KB of image data that inflates to 600 MiB, in a file whose header claims 1024 x 1024 grey.
    packer = zlib.compressobj(9)
    zeros = bytes(1 << 20)
    stream = b"".join(packer.compress(zeros) for _ in range(600)) + packer.flush()
    message, growth = peak_growth_kib(grey_png(stream, 1024, 1024))
    assert message == "failed to decode PNG: the image data holds more than the image"
    assert growth < 64 * 1024


def test_the_baseline_error_is_reported_first():
    with pytest.raises(ValueError) as info:
        Comparison(b"", huge_header())
    assert "Memory limit" not in str(info.value)
    with pytest.raises(ValueError, match="Memory limit exceeded"):
        Comparison(real_png(), huge_header())


def test_constructor_arguments():
    good = real_png()
    c = Comparison(current_png=good, baseline_png=good)
    assert (c.width, c.height) == (30, 40)
    with pytest.raises(TypeError, match="^argument 'baseline_png': "):
        Comparison(bytearray(good), good)
    with pytest.raises(TypeError, match="^argument 'current_png': "):
        Comparison(good, memoryview(good))
    with pytest.raises(TypeError, match="^argument 'current_png': "):
        Comparison(good, "not bytes")
    with pytest.raises(TypeError, match="missing required argument 'current_png'"):
        Comparison(good)
    with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
        Comparison(good, good, other=1)
    with pytest.raises(TypeError, match="at most 2 arguments"):
        Comparison(good, good, good)
    # A conversion error comes before any decoding: the bad PNG in front does not matter.
    with pytest.raises(TypeError, match="^argument 'current_png': "):
        Comparison(b"not a png", None)


def test_different_sizes_share_a_canvas():
    small = png_bytes(np.zeros((3, 4, 4), dtype=np.uint8), "RGBA")
    tall = png_bytes(np.zeros((5, 2, 3), dtype=np.uint8), "RGB")
    c = Comparison(small, tall)
    assert (c.width, c.height, c.size_mismatch) == (4, 5, True)
    assert c.baseline_size == (4, 3) and c.current_size == (2, 5)


def png_chunks(png):
    at, chunks = 8, []
    while at < len(png):
        (length,) = struct.unpack(">I", png[at:at + 4])
        chunks.append((png[at + 4:at + 8], png[at + 8:at + 8 + length]))
        at += 12 + length
    return chunks


@pytest.mark.parametrize("width,height", [(1, 1), (7, 3), (1500, 1200)])
def test_diff_image_is_a_valid_eight_bit_rgb_png(width, height):
    # Noise over the top half and smooth ramps below: every row filter is used and, at the large size, the image
    # data spans several chunks.
    base = np.full((height, width, 4), 255, dtype=np.uint8)
    base[: height // 2, :, :3] = RNG.integers(0, 256, (height // 2, width, 3))
    base[height // 2:, :, 0] = np.arange(width, dtype=np.uint32) % 256
    base[height // 2:, :, 1] = (np.arange(height - height // 2, dtype=np.uint32) % 256)[:, None]
    cur = base.copy()
    cur[: height // 3 + 1, : width // 3 + 1, :3] ^= 0x80
    c = Comparison.from_rgba(base.tobytes(), width, height, cur.tobytes(), width, height)
    png = c.diff_image()
    Image.open(io.BytesIO(png)).verify()  # chunk layout and CRCs
    out = Image.open(io.BytesIO(png))
    assert out.format == "PNG" and out.mode == "RGB" and out.size == (width, height)
    assert out.info.get("transparency") is None
    rgb = np.asarray(out)
    assert (rgb[0, 0] == (255, 0, 0)).all()
    # Our decoder reads the same pixels as Pillow's.
    assert Comparison(png, png_bytes(rgb, "RGB")).diff_count(threshold=0.0) == 0

    chunks = png_chunks(png)
    assert [kind for kind, _ in chunks] == [b"IHDR"] + [b"IDAT"] * (len(chunks) - 2) + [b"IEND"]
    assert chunks[0][1] == struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    # One zlib stream whose Adler-32 checks.
    rows = zlib.decompress(b"".join(data for _, data in chunks[1:-1]))
    assert len(rows) == height * (3 * width + 1)
