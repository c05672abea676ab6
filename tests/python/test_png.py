import io
import resource
import struct
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


@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [1, 2, 4, 8, 16])
def test_grey_every_depth(bit_depth, interlace):
    g = RNG.integers(0, 2 ** bit_depth, (H, W))
    grey = scale(g, bit_depth)
    assert_decodes_to(write_png(g, bit_depth, 0, interlace=interlace), with_alpha(np.stack([grey] * 3, axis=2)))
    # tRNS names one grey value as transparent.
    key = int(g[0, 0])
    trns = struct.pack(">H", key)
    alpha = np.where(g == key, 0, 255)
    assert_decodes_to(write_png(g, bit_depth, 0, trns=trns, interlace=interlace),
                      with_alpha(np.stack([grey] * 3, axis=2), alpha))


@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [8, 16])
def test_rgb_grey_alpha_rgba(bit_depth, interlace):
    top = 2 ** bit_depth
    rgb = RNG.integers(0, top, (H, W, 3))
    rgb[1, 1] = rgb[0, 0]
    expected_rgb = scale(rgb, bit_depth)
    assert_decodes_to(write_png(rgb, bit_depth, 2, interlace=interlace), with_alpha(expected_rgb))
    trns = struct.pack(">HHH", *(int(v) for v in rgb[0, 0]))
    alpha = np.where((rgb == rgb[0, 0]).all(axis=2), 0, 255)
    assert_decodes_to(write_png(rgb, bit_depth, 2, trns=trns, interlace=interlace), with_alpha(expected_rgb, alpha))

    ga = RNG.integers(0, top, (H, W, 2))
    g = scale(ga[:, :, 0], bit_depth)
    assert_decodes_to(write_png(ga, bit_depth, 4, interlace=interlace),
                      with_alpha(np.stack([g] * 3, axis=2), scale(ga[:, :, 1], bit_depth)))

    rgba = RNG.integers(0, top, (H, W, 4))
    assert_decodes_to(write_png(rgba, bit_depth, 6, interlace=interlace), scale(rgba, bit_depth))


@pytest.mark.parametrize("interlace", [False, True])
@pytest.mark.parametrize("bit_depth", [1, 2, 4, 8])
def test_palette_with_and_without_trns(bit_depth, interlace):
    entries = 2 ** bit_depth
    palette = [tuple(int(v) for v in RNG.integers(0, 256, 3)) for _ in range(entries)]
    index = RNG.integers(0, entries, (H, W))
    rgb = np.array(palette, dtype=np.uint32)[index]
    assert_decodes_to(write_png(index, bit_depth, 3, palette=palette, interlace=interlace), with_alpha(rgb))
    # tRNS may be shorter than the palette: the remaining entries stay opaque.
    alphas = [int(v) for v in RNG.integers(0, 256, max(1, entries - 1))]
    full = np.array(alphas + [255] * (entries - len(alphas)), dtype=np.uint32)
    assert_decodes_to(write_png(index, bit_depth, 3, palette=palette, trns=bytes(alphas), interlace=interlace),
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


def test_ancillary_chunks_do_not_change_the_samples():
    rgb = RNG.integers(0, 256, (H, W, 3))
    gamma = (b"gAMA", struct.pack(">I", 100000))
    text = (b"tEXt", b"Comment\x00hello")
    assert_decodes_to(write_png(rgb, 8, 2, extra_chunks=[gamma, text]), with_alpha(rgb))


def real_png():
    return png_bytes(RNG.integers(0, 256, (40, 30, 4), dtype=np.uint8), "RGBA")


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
    return {
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
    # Noise over the top half and smooth ramps below: every row filter is used and, at the large size, the rows
    # span several deflate blocks.
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
