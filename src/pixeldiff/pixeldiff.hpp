// Pixel comparison: the signed YIQ colour delta, the threshold, classification and counting, the anti-aliasing
// test, the diff image and the diff mask. Baseline is always image 1, current image 2.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include "core/error.hpp"
#include "core/options.hpp"
#include "core/types.hpp"

namespace qf {

inline constexpr double MAX_YIQ_DELTA = 35215.0;
inline constexpr std::size_t PARALLEL_MIN_PIXELS = 262144;
inline constexpr std::size_t EXACT_CHUNK_PIXELS = 4096;
inline constexpr std::size_t DIFF_BAND_ROWS = 64;

// Signed YIQ delta of the pixel at byte offset k of a and m of b (negative when a's pixel is brighter);
// with luma_only, the signed luma difference Y(a) − Y(b).
double color_delta(const uint8_t* a, const uint8_t* b, std::size_t k, std::size_t m, bool luma_only);

// The class every canvas pixel gets; only Different pixels are counted, masked and painted as changes.
enum class PixelClass { Identical, Similar, AntiAliased, Different };

// A read-only view of an RGBA buffer as one 32-bit word per pixel (the bytes need no particular alignment).
struct PixelWords {
  const uint8_t* bytes = nullptr;
  uint32_t operator[](std::size_t i) const {
    uint32_t w;
    std::memcpy(&w, bytes + 4 * i, 4);
    return w;
  }
};

// True when the pixel (x, y) of the examined image looks like an anti-aliased edge pixel: a brighter and a
// darker neighbour, at most two neighbours of the same luma (one on the border), and the brightest or the
// darkest neighbour inside a flat area of both images.
bool is_antialiased(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                    PixelWords own, PixelWords other);

// True when at least 3 neighbours of (x, y) (2 on the border) have the same word as the pixel.
bool has_many_siblings(PixelWords words, std::size_t x, std::size_t y, std::size_t width, std::size_t height);

// 35215 × threshold², as (35215 × threshold) × threshold.
inline double max_delta(double threshold) { return (MAX_YIQ_DELTA * threshold) * threshold; }

// Threshold, alpha, size overflow, baseline length, current length against the baseline: the checks every pair
// routine makes first, in this order.
Status check_pair(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                  const DiffOptions& options);

// Number of Different pixels. With a cap the count may stop early (see the capped-count rules).
Result<uint64_t> count_diffs(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                             const DiffOptions& options, std::optional<uint64_t> cap = std::nullopt);

struct DiffImage {
  Bytes rgba;          // width × height × 4, every alpha 255
  uint64_t count = 0;  // pixels painted as Different
};
Result<DiffImage> render_diff(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                              const DiffOptions& options);

// The diff image of render_diff drawn a band of rows at a time, without alpha: paint(begin, end, out) draws
// rows [begin, end) as RGB into out (3 × width bytes a row) and returns the Different pixels among them. Rows
// may be painted from several threads at once. The two buffers must outlive the painter.
using DiffRowPainter = std::function<uint64_t(std::size_t begin, std::size_t end, uint8_t* out)>;
Result<DiffRowPainter> diff_row_painter(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                    const DiffOptions& options);

struct DiffMask {
  std::size_t width = 0, height = 0;
  Bytes bits;  // width × height, 1 for a Different pixel
  uint64_t count = 0;
};
Result<DiffMask> build_diff_mask(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                 const DiffOptions& options);

// The faded grey of an unchanged pixel.
uint8_t grey_value(uint8_t r, uint8_t g, uint8_t b, uint8_t a, double alpha);

}  // namespace qf
