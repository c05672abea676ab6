// PNG decoding into 8-bit RGBA and encoding of 8-bit RGB diff images: our own reader and writer over libdeflate.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

// Largest decoded image, in the file's native sample layout, that decode_png accepts.
inline constexpr uint64_t PNG_DECODE_LIMIT = 536870912;  // 512 MiB

// Any PNG (every colour type and bit depth, palette and tRNS, Adam7) → 8-bit RGBA; 16-bit samples rounded.
Result<RgbaImage> decode_png(ByteView png);

// Both files decoded as the two halves of one fork–join on the pool; the baseline's error wins when both fail.
// Byte-identical files are decoded once.
Result<std::pair<RgbaImage, RgbaImage>> decode_png_pair(ByteView baseline, ByteView current);

// RGBA → PNG file of colour type 2, bit depth 8 (alpha dropped), a filter chosen for each row, deflated by
// libdeflate. Segments of rows are filtered and deflated on the pool; the bytes do not depend on the thread
// count.
Result<Bytes> encode_png(ByteView rgba, std::size_t width, std::size_t height);

// Paints rows [begin, end) of an image as RGB (3 × width bytes a row) into `rgb` and returns a number for
// them that the encoder sums over the image. Called on pool workers at the same time for disjoint rows: for
// each row once as part of its segment, and possibly once more as the row above another segment (that number
// is dropped).
using RowPainter = std::function<uint64_t(std::size_t begin, std::size_t end, uint8_t* rgb)>;
struct PaintedPng {
  Bytes png;
  uint64_t painted = 0;  // the sum of the painter's numbers over the rows
};
// encode_png of the image that `paint` draws, a segment at a time: the whole image is never held at once.
Result<PaintedPng> encode_png_rows(std::size_t width, std::size_t height, const RowPainter& paint);

}  // namespace qf
