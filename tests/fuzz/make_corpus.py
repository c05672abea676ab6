#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: tiny PNG files of every colour type, bit depth, interlacing,
palette and tRNS combination, with broken variants (truncated anywhere, bad checksums, chunks out of order,
split or empty image data), pairs of files back to back, thumbnail requests, and row-key scripts for the
alignment search. Standard library only; the output is the same on every run.

usage: make_corpus.py OUTPUT_DIR   (one subdirectory per target is created and filled)
"""
import os
import random
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Colour type → allowed bit depths, and samples per pixel.
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def chunk(kind, data, crc=None):
    if crc is None:
        crc = zlib.crc32(kind + data)
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc & 0xFFFFFFFF)


def ihdr(width, height, depth, colour, interlace=0, compression=0, filter_method=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, compression, filter_method,
                                      interlace))


def scanlines(rng, width, height, depth, colour, interlace):
    """Raw filtered image data: random samples, every filter type in turn (any bytes unfilter to some image)."""
    bits = depth * CHANNELS[colour]
    passes = [(0, 0, 1, 1)] if not interlace else ADAM7
    out = bytearray()
    row_index = 0
    for x0, y0, dx, dy in passes:
        pw = (width - x0 + dx - 1) // dx if width > x0 else 0
        ph = (height - y0 + dy - 1) // dy if height > y0 else 0
        if pw == 0 or ph == 0:
            continue
        for _ in range(ph):
            out.append(row_index % 5)
            row_index += 1
            out += bytes(rng.getrandbits(8) for _ in range((pw * bits + 7) // 8))
    return bytes(out)


def png(rng, width, height, depth, colour, interlace=0, trns=False, idat_parts=1, extra=(), level=6):
    body = ihdr(width, height, depth, colour, interlace)
    for kind, data in extra:
        body += chunk(kind, data)
    if colour == 3:
        entries = min(1 << depth, 256)
        body += chunk(b"PLTE", bytes(rng.getrandbits(8) for _ in range(3 * entries)))
    if trns:
        if colour == 0:
            body += chunk(b"tRNS", struct.pack(">H", rng.getrandbits(depth)))
        elif colour == 2:
            body += chunk(b"tRNS", struct.pack(">HHH", *(rng.getrandbits(depth) for _ in range(3))))
        elif colour == 3:
            body += chunk(b"tRNS", bytes(rng.getrandbits(8) for _ in range(min(1 << depth, 256) // 2 + 1)))
    data = zlib.compress(scanlines(rng, width, height, depth, colour, interlace), level)
    step = max(1, -(-len(data) // idat_parts))
    for i in range(0, len(data), step):
        body += chunk(b"IDAT", data[i:i + step])
    return SIGNATURE + body + chunk(b"IEND", b"")


def valid_files(rng):
    files = []
    for colour, depths in DEPTHS.items():
        for depth in depths:
            for interlace in (0, 1):
                for trns in ((False, True) if colour in (0, 2, 3) else (False,)):
                    for width, height in ((1, 1), (3, 2), (9, 9)):
                        files.append(png(rng, width, height, depth, colour, interlace, trns))
    files.append(png(rng, 5, 4, 8, 6, idat_parts=4))  # image data over several chunks
    files.append(png(rng, 5, 4, 8, 2, level=0))  # stored deflate blocks
    files.append(png(rng, 4, 4, 8, 0, extra=[(b"gAMA", struct.pack(">I", 45455)), (b"tEXt", b"k\0v"),
                                              (b"sRGB", b"\0"), (b"zzZz", b"private")]))
    files.append(png(rng, 17, 3, 16, 6, interlace=1))
    files.append(png(rng, 1, 40, 1, 0))  # tall and narrow
    files.append(png(rng, 40, 1, 2, 3, trns=True))  # wide and short
    return files


def broken_files(rng, good):
    """Variants that must be refused (or, for the ancillary ones, may be accepted) without harm."""
    base = good[0]
    files = []
    iend = base.rfind(b"IEND") - 4
    for cut in (0, 4, 8, 12, 20, 29, 33, iend - 3, iend, iend + 4, iend + 8, len(base) - 4, len(base) - 1):
        files.append(base[:cut])
    files.append(base[:-4] + b"\0\0\0\0")  # wrong IEND checksum
    files.append(base + b"trailing bytes")
    files.append(SIGNATURE + ihdr(3, 3, 8, 2) + chunk(b"IEND", b""))  # no image data
    files.append(SIGNATURE + ihdr(3, 3, 8, 2) + chunk(b"IDAT", b"") + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(3, 3, 8, 2) + chunk(b"IDAT", zlib.compress(b"\0" * 4)) + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(3, 3, 8, 3) + chunk(b"IDAT", zlib.compress(b"\0" * 12)) + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(0, 3, 8, 2) + chunk(b"IEND", b""))  # zero width
    files.append(SIGNATURE + ihdr(3, 3, 7, 2) + chunk(b"IEND", b""))  # bad depth
    files.append(SIGNATURE + ihdr(3, 3, 8, 5) + chunk(b"IEND", b""))  # bad colour type
    files.append(SIGNATURE + ihdr(3, 3, 8, 2, interlace=2) + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(3, 3, 8, 2, compression=1) + chunk(b"IEND", b""))
    # A header far larger than its data: the reader must refuse it before allocating the image.
    files.append(SIGNATURE + ihdr(23170, 23170, 8, 0) + chunk(b"IDAT", b"\x78") + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(1 << 31, 1, 8, 6) + chunk(b"IDAT", zlib.compress(b"\0" * 64)) +
                 chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(16, 16, 8, 2) + chunk(b"IDAT", zlib.compress(b"\0" * 10000)) +
                 chunk(b"IEND", b""))  # too much data
    # Chunks in the wrong order or repeated.
    files.append(SIGNATURE + chunk(b"IDAT", b"") + ihdr(1, 1, 8, 0) + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(1, 1, 8, 0) + ihdr(1, 1, 8, 0) + chunk(b"IDAT", zlib.compress(b"\0\0")) +
                 chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(2, 1, 8, 3) + chunk(b"IDAT", zlib.compress(b"\0\1\0")) + chunk(b"IEND", b""))
    files.append(SIGNATURE + ihdr(1, 1, 8, 3) + chunk(b"PLTE", b"\1\2\3") + chunk(b"tRNS", b"\0\0") +
                 chunk(b"IDAT", zlib.compress(b"\0\0")) + chunk(b"IEND", b""))  # tRNS longer than the palette
    files.append(SIGNATURE + ihdr(1, 1, 8, 2) + chunk(b"IDAT", zlib.compress(b"\0\0\0\0"), crc=0) +
                 chunk(b"IEND", b""))
    # A bad zlib stream: wrong header, wrong Adler-32, cut in a block.
    raw = zlib.compress(b"\0" + b"\7" * 3)
    for data in (b"\x78\x9d" + raw[2:], raw[:-1] + bytes([raw[-1] ^ 1]), raw[:5]):
        files.append(SIGNATURE + ihdr(1, 1, 8, 2) + chunk(b"IDAT", data) + chunk(b"IEND", b""))
    return files


def write(directory, files):
    os.makedirs(directory, exist_ok=True)
    for i, data in enumerate(files):
        with open(os.path.join(directory, "seed-%04d" % i), "wb") as f:
            f.write(data)


def alignment_seeds():
    """Budget byte, baseline length byte, then one key per row (16 is the repeated blank row, 1–15 contents)."""
    dash = 16
    P, Q, X, Z, a, b, c, d = 1, 2, 3, 4, 5, 6, 7, 8
    cases = [
        ((P, dash, dash, dash), (P, Q, dash, dash)),
        ((P, dash, dash, dash, Z), (P, Q, dash, dash, Z)),
        ((a, dash, dash, X, b), (a, Q, dash, dash, b)),
        ((a, b, c, d), (a, X, b, c, d)),
        ((a, b, c, d), (a, b, d)),
        ((a, b), (b, a)),
        ((X, d), (P, Q)),
        ((), (1, 2, 3, 4, 5)),
        ((), ()),
        ((a, b, c) * 8, (a, b, c) * 8),
        ((dash,) * 20 + (a,), (a,) + (dash,) * 20),
    ]
    out = []
    for base, cur in cases:
        for budget in (0, 2, 8, 255):
            out.append(bytes([budget, len(base)]) + bytes(base) + bytes(cur))
    return out


def main():
    out = sys.argv[1]
    rng = random.Random(1)
    good = valid_files(rng)
    broken = broken_files(rng, good)
    pairs = [good[i] + good[j] for i, j in ((0, 5), (7, 40), (12, 3), (20, len(good) - 1))]
    pairs += [good[1] + broken[3], broken[14] + good[2]]
    write(os.path.join(out, "png_pair"), good + broken + pairs)

    requests = [bytes(r) for r in ((200, 0, 0, 0), (4, 0, 0, 0), (4, 2, 0, 0), (3, 0, 200, 0), (3, 0, 0, 60),
                                   (0, 0, 0, 0), (8, 1, 1, 1))]
    larger = [png(rng, w, h, depth, colour) for w, h, depth, colour in
              ((40, 30, 8, 6), (7, 300, 8, 2), (300, 2, 4, 3), (25, 25, 16, 4))]
    thumbs = [requests[i % len(requests)] + f for i, f in enumerate(good + larger + broken[:6])]
    write(os.path.join(out, "thumbnail"), thumbs)

    blobs = [bytes(rng.getrandbits(8) for _ in range(n)) for n in (0, 8, 16, 40, 100, 300, 700, 1500)]
    blobs += [bytes([i]) * 64 for i in (0, 1, 2, 3, 255)]
    write(os.path.join(out, "from_rgba"), blobs)

    write(os.path.join(out, "alignment"), alignment_seeds())


if __name__ == "__main__":
    main()
