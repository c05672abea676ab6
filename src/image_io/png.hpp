// PNG decoding into 8-bit RGBA and encoding of 8-bit RGB diff images: our own reader and writer over libdeflate.
#pragma once

#include <cstdint>
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
// libdeflate. Rows are filtered on the pool; the bytes do not depend on the thread count.
Result<Bytes> encode_png(ByteView rgba, std::size_t width, std::size_t height);

}  // namespace qf
