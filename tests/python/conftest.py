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


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png_chunk(kind, data):
    import struct
    import zlib
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def filter_rows(rows, bpp):
    """Filters packed rows (lists of bytes) with filter type y % 5 for row y: None, Sub, Up, Average, Paeth."""
    out, above = bytearray(), bytes(len(rows[0]) if rows else 0)
    for y, row in enumerate(rows):
        kind = y % 5
        out.append(kind)
        for i, v in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = above[i]
            c = above[i - bpp] if i >= bpp else 0
            if kind == 0:
                pred = 0
            elif kind == 1:
                pred = a
            elif kind == 2:
                pred = b
            elif kind == 3:
                pred = (a + b) // 2
            else:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            out.append((v - pred) % 256)
        above = row
    return bytes(out)


def write_png(samples, bit_depth, colour_type, palette=None, trns=None, interlace=False, extra_chunks=(),
              filtered=False):
    """A PNG of exactly the given samples (H x W x C ints), written by hand so that every colour type, bit depth,
    tRNS and Adam7 interlacing can be produced. `palette` is a list of (r, g, b); `trns` the raw tRNS payload.
    With `filtered`, the rows cycle through the five filter types instead of all using None."""
    import struct
    import zlib
    samples = np.asarray(samples)
    if samples.ndim == 2:
        samples = samples[:, :, None]
    height, width, channels = samples.shape

    def pack_rows(block):
        packed = []
        for row in block:
            out = bytearray()
            flat = row.reshape(-1).astype(np.uint32)
            if bit_depth == 16:
                out += flat.astype(">u2").tobytes()
            elif bit_depth == 8:
                out += flat.astype(np.uint8).tobytes()
            else:
                per_byte = 8 // bit_depth
                padded = np.zeros(-(-len(flat) // per_byte) * per_byte, dtype=np.uint32)
                padded[: len(flat)] = flat
                groups = padded.reshape(-1, per_byte)
                shifts = np.arange(per_byte - 1, -1, -1) * bit_depth
                out += (groups << shifts).sum(axis=1).astype(np.uint8).tobytes()
            packed.append(bytes(out))
        if filtered:
            return filter_rows(packed, max(1, channels * bit_depth // 8))
        return b"".join(b"\x00" + row for row in packed)

    if interlace:
        raw = b"".join(pack_rows(samples[y0::dy, x0::dx]) for x0, y0, dx, dy in ADAM7
                       if samples[y0::dy, x0::dx].size)
    else:
        raw = pack_rows(samples)
    png = b"\x89PNG\r\n\x1a\n" + png_chunk(
        b"IHDR", struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, 0, 0, 1 if interlace else 0))
    if palette is not None:
        png += png_chunk(b"PLTE", bytes(v for rgb in palette for v in rgb))
    if trns is not None:
        png += png_chunk(b"tRNS", trns)
    for kind, data in extra_chunks:
        png += png_chunk(kind, data)
    return png + png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b"")
