"""The PNG codec on real screenshots (when made, see README) and on the synthetic pages, each figure beside its peer
and its floor in the same run:

  decode   Comparison(png, png)  vs  Pillow decoding both files to RGBA, and vs libdeflate inflating both files'
           image data into a preallocated buffer (the floor: what any reader must at least do)
  same     Comparison(png, png) of byte-identical files  vs  the floor of one file's image data
  encode   diff_image()  vs  Pillow saving the same RGB image as PNG (its default level; quillfen also classifies
           every pixel before encoding)
  levels   libdeflate's levels 1-6 on the filtered rows of real diff images, cut into the writer's segments: the
           size of the image data and the CPU time of deflating it on one thread, beside the level the writer uses

Times are the best of several runs, in milliseconds, summed over the pairs of a group; ratios are peer / quillfen
(above 1: quillfen is faster) and quillfen / floor.
"""
import ctypes
import ctypes.util
import io
import os
import struct
import sys
import zlib

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import SCREENSHOTS_HINT, best_cpu, best_time, encode_png, make_pair, screenshot_pairs  # noqa: E402

import quillfen  # noqa: E402

REPEAT = 5


class Inflater:
    """libdeflate's zlib decompressor, called through ctypes on a preallocated output buffer."""

    def __init__(self):
        name = ctypes.util.find_library("deflate")
        if name is None:
            raise OSError("libdeflate not found")
        self.lib = ctypes.CDLL(name)
        self.lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
        self.lib.libdeflate_zlib_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                        ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        self.decompressor = self.lib.libdeflate_alloc_decompressor()

    def prepare(self, png):
        """A call that inflates the file's image data (already joined from its chunks) into a buffer of the
        size its header implies."""
        stream, width, height, bits_per_pixel, interlaced = image_data(png)
        if interlaced:
            return None
        size = height * (1 + (width * bits_per_pixel + 7) // 8)
        out = ctypes.create_string_buffer(size)
        lib, d = self.lib, self.decompressor

        def run():
            if lib.libdeflate_zlib_decompress(d, stream, len(stream), out, size, None) != 0:
                raise RuntimeError("inflate failed")
        return run


def image_data(png):
    at, parts = 8, []
    while at < len(png):
        (length,) = struct.unpack(">I", png[at:at + 4])
        kind = png[at + 4:at + 8]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", png[at + 8:at + 18])
            interlaced = png[at + 20] == 1
        elif kind == b"IDAT":
            parts.append(png[at + 8:at + 8 + length])
        at += 12 + length
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    return b"".join(parts), width, height, channels * depth, interlaced


SEGMENT_BYTES = 384 << 10  # as the writer cuts the filtered rows
WRITER_LEVEL = 4


def segments(rows, width, height):
    """The filtered rows cut as the writer cuts them: equal row counts, as few segments as SEGMENT_BYTES allows."""
    row = 3 * width + 1
    wanted = max(1, -(-len(rows) // SEGMENT_BYTES))
    each = -(-height // wanted)
    return [rows[y * row:min(height, y + each) * row] for y in range(0, height, each)]


def bench_levels(diff_pngs, inflater):
    """Deflates the segments of each diff image's filtered rows at levels 1-6 through libdeflate (raw deflate,
    as the writer does) and prints the mean size and CPU time per image."""
    lib = inflater.lib
    lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
    lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
    lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
    lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                                ctypes.c_size_t]
    lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
    images = []
    for png in diff_pngs:
        stream, width, height, _, _ = image_data(png)
        images.append(segments(zlib.decompress(stream), width, height))
    print(f"libdeflate levels on the filtered rows of {len(images)} real diff images (mean per image, one thread)")
    base = None
    for level in range(1, 7):
        c = lib.libdeflate_alloc_compressor(level)
        size, cpu = 0, 0.0
        for parts in images:
            out = ctypes.create_string_buffer(max(len(p) for p in parts) + 4096)

            def run():
                return sum(lib.libdeflate_deflate_compress(c, p, len(p), out, len(out)) for p in parts)
            size += run()
            cpu += best_cpu(run, REPEAT)
        lib.libdeflate_free_compressor(c)
        base = base or size
        mark = "  (the writer's)" if level == WRITER_LEVEL else ""
        print(f"  level {level}: {size / len(images) / 1024:8.1f} KiB ({size / base:4.2f} x level 1)  "
              f"{cpu / len(images) * 1e3:7.2f} ms of CPU{mark}")


def pillow_decode(png):
    Image.open(io.BytesIO(png)).convert("RGBA").load()


def pillow_save(rgb):
    buf = io.BytesIO()
    Image.fromarray(rgb).save(buf, format="PNG")
    return buf.getvalue()


def ms(seconds):
    return seconds * 1e3


class Row:
    def __init__(self):
        self.quillfen = self.peer = self.floor = 0.0

    def line(self, label, peer_name):
        floor = f"  floor {self.floor:8.2f}  quillfen/floor {self.quillfen / self.floor:5.2f}" if self.floor else ""
        return (f"  {label:34} {peer_name} {self.peer:8.2f}  quillfen {self.quillfen:8.2f}  "
                f"peer/quillfen {self.peer / self.quillfen:5.1f}{floor}")


def measure(group, pairs, inflater):
    """pairs: (baseline PNG, current PNG) tuples."""
    decode, same, encode = Row(), Row(), Row()
    diffs, sizes = [], [0, 0]
    for baseline, current in pairs:
        floors = [inflater.prepare(p) for p in (baseline, current)]
        decode.quillfen += ms(best_time(lambda: quillfen.Comparison(baseline, current), REPEAT))
        decode.peer += ms(best_time(lambda: (pillow_decode(baseline), pillow_decode(current)), REPEAT))
        decode.floor += ms(best_time(lambda: (floors[0](), floors[1]()), REPEAT))

        twin = bytes(bytearray(baseline))  # equal bytes in another object
        same.quillfen += ms(best_time(lambda: quillfen.Comparison(baseline, twin), REPEAT))
        same.peer += ms(best_time(lambda: (pillow_decode(baseline), pillow_decode(twin)), REPEAT))
        same.floor += ms(best_time(floors[0], REPEAT))

        c = quillfen.Comparison(baseline, current)
        diff = c.diff_image()
        diffs.append(diff)
        rgb = np.asarray(Image.open(io.BytesIO(diff)).convert("RGB"))
        encode.quillfen += ms(best_time(c.diff_image, REPEAT))
        encode.peer += ms(best_time(lambda: pillow_save(rgb), REPEAT))
        sizes[0] += len(diff)
        sizes[1] += len(pillow_save(rgb))
    print(f"{group} ({len(pairs)} pairs, ms summed over the pairs)")
    print(decode.line("decode Comparison(png, png)", "Pillow"))
    print(same.line("decode, byte-identical files", "Pillow"))
    print(encode.line("encode diff_image()", "Pillow save"))
    print(f"  {'diff image size, mean':34} Pillow {sizes[1] / len(pairs) / 1024:8.1f} KiB  "
          f"quillfen {sizes[0] / len(pairs) / 1024:8.1f} KiB  quillfen/Pillow {sizes[0] / sizes[1]:5.2f}")
    return diffs


def main():
    inflater = Inflater()
    diffs = []
    for width, height in ((1280, 720), (1280, 3000)):
        real = screenshot_pairs(width=width, height=height, kinds=("word", "banner"), limit=8)
        if real:
            diffs += measure(f"real screenshots {width}x{height}", [p.png() for p in real], inflater)
        else:
            print(SCREENSHOTS_HINT)
    if diffs:
        bench_levels(diffs, inflater)
    for width, height in ((1280, 720), (1920, 1080)):
        base, cur = make_pair(width, height, "changed")
        measure(f"synthetic {width}x{height}", [(encode_png(base), encode_png(cur))], inflater)


if __name__ == "__main__":
    main()
