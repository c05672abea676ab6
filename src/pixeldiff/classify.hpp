// The per-pixel classification shared by the counting, mask and diff-image kernels. Internal to pixeldiff.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "pixeldiff/pixeldiff.hpp"

namespace qf::detail {

// The body of color_delta, inlined into the pixel loops.
inline double yiq_delta(const uint8_t* a, const uint8_t* b, std::size_t k, std::size_t m, bool luma_only) {
  const double r1 = a[k], g1 = a[k + 1], b1 = a[k + 2], a1 = a[k + 3];
  const double r2 = b[m], g2 = b[m + 1], b2 = b[m + 2], a2 = b[m + 3];
  double dr = r1 - r2, dg = g1 - g2, db = b1 - b2;
  const double da = a1 - a2;
  if (dr == 0.0 && dg == 0.0 && db == 0.0 && da == 0.0) return 0.0;
  if (a1 < 255.0 || a2 < 255.0) {
    // Both pixels composited over a background that depends on the position in image a.
    const double kf = static_cast<double>(k);
    const double bg_r = 48.0;
    const double bg_g = (static_cast<int64_t>(std::floor(kf / 1.618033988749895)) & 1) ? 207.0 : 48.0;
    const double bg_b = (static_cast<int64_t>(std::floor(kf / 2.618033988749895)) & 1) ? 207.0 : 48.0;
    dr = ((r1 * a1 - r2 * a2) - bg_r * da) / 255.0;
    dg = ((g1 * a1 - g2 * a2) - bg_g * da) / 255.0;
    db = ((b1 * a1 - b2 * a2) - bg_b * da) / 255.0;
  }
  const double y = (dg * 0.58662247 + dr * 0.29889531) + db * 0.11448223;
  if (luma_only) return y;
  const double i = (dr * 0.59597799 - dg * 0.2741761) - db * 0.32180189;
  const double q = (dr * 0.21147017 - dg * 0.52261711) + db * 0.31114694;
  const double delta = ((0.299 * i) * i + (0.5053 * y) * y) + (0.1957 * q) * q;
  return y > 0.0 ? -delta : delta;
}

// The two canvas buffers of a pair with the settings of one pass.
struct PairPass {
  const uint8_t* baseline;
  const uint8_t* current;
  std::size_t width, height;
  double max_delta;
  bool include_aa;

  PixelWords baseline_words() const { return {baseline}; }
  PixelWords current_words() const { return {current}; }
  bool same_word(std::size_t i) const { return std::memcmp(baseline + 4 * i, current + 4 * i, 4) == 0; }
  bool same_row(std::size_t y) const {
    return std::memcmp(baseline + 4 * y * width, current + 4 * y * width, 4 * width) == 0;
  }

  // Class of a pixel whose words differ; `d` receives its colour delta.
  PixelClass classify_differing(std::size_t x, std::size_t y, double& d) const {
    const std::size_t k = 4 * (y * width + x);
    d = yiq_delta(baseline, current, k, k, false);
    if (!(std::fabs(d) > max_delta)) return PixelClass::Similar;
    if (include_aa) return PixelClass::Different;
    return different_above_threshold(x, y) ? PixelClass::Different : PixelClass::AntiAliased;
  }

  // Whether a pixel above the threshold is Different: neither image shows it as an anti-aliased edge.
  bool different_above_threshold(std::size_t x, std::size_t y) const {
    return !(is_antialiased(baseline, x, y, width, height, baseline_words(), current_words()) ||
             is_antialiased(current, x, y, width, height, current_words(), baseline_words()));
  }

  // Calls on_different(x) for every Different pixel of row y, in order; returns their number.
  template <class F>
  uint64_t for_each_different(std::size_t y, F&& on_different) const {
    if (same_row(y)) return 0;
    uint64_t count = 0;
    const std::size_t row = y * width;
    if (include_aa) {
      for (std::size_t x = 0; x < width; ++x) {
        if (same_word(row + x)) continue;
        double d;
        if (classify_differing(x, y, d) == PixelClass::Different) {
          on_different(x);
          ++count;
        }
      }
      return count;
    }
    // In two steps per stretch of the row: the pixels above the threshold are listed without a branch on the
    // delta, then the anti-aliasing test runs on the list. On pages where most rows differ this keeps the
    // processor from guessing the outcome of every delta test in between the neighbourhood tests.
    constexpr std::size_t STRETCH = 256;
    uint32_t above[STRETCH];
    for (std::size_t x0 = 0; x0 < width; x0 += STRETCH) {
      const std::size_t x1 = std::min(width, x0 + STRETCH);
      std::size_t n = 0;
      for (std::size_t x = x0; x < x1; ++x) {
        if (same_word(row + x)) continue;
        const std::size_t k = 4 * (row + x);
        above[n] = static_cast<uint32_t>(x - x0);
        n += std::fabs(yiq_delta(baseline, current, k, k, false)) > max_delta;
      }
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t x = x0 + above[i];
        if (different_above_threshold(x, y)) {
          on_different(x);
          ++count;
        }
      }
    }
    return count;
  }
};

// Where the brightest (min) and the darkest (max) neighbour of a pixel are.
struct Extremes {
  std::size_t min_x = 0, min_y = 0, max_x = 0, max_y = 0;
};

// The neighbourhood part of is_antialiased: false for a flat area (three neighbours of the pixel's luma, two on
// the border) or a pixel without a brighter and a darker neighbour; else true, with the positions of the
// brightest and the darkest neighbour. is_antialiased is this and the sibling tests at those two positions.
bool luma_extremes(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                   Extremes& e);

// has_many_siblings of the pixels 64j … 64j + 63 of row y (those inside the canvas), bit i for pixel 64j + i;
// `opaque` receives the same pixels' alpha-is-255 bits.
uint64_t sibling_bits(const uint8_t* img, std::size_t width, std::size_t height, std::size_t y, std::size_t j,
                      uint64_t& opaque);

// The Different pixels of a pass row by row, for passes with the anti-aliasing test (without it, rows go to
// PairPass::for_each_different). Gives the same classes as classify_differing, pixel for pixel, in fewer steps:
//  - the pixels above the threshold are listed per block of 64 as bits;
//  - a pixel with many siblings in an image has three neighbours of its own luma there (identical words have
//    a zero delta), so the test of that image says no without being run; on a shifted page most changed
//    pixels lie in a flat area of one image or of both;
//  - the test says yes only through a neighbour with many siblings in both images, so a pixel without such a
//    neighbour is Different at once;
//  - where the test still runs, its four sibling scans are bit lookups, and in an opaque window the brightest
//    and darkest neighbours are found from exact integer lumas (see luma_key in the source).
// The bits and keys of both images are computed per block of 64 pixels when a row nearby first needs them and
// kept for the rows around the current one, so rows are best walked in increasing order (any order gives the
// same result). One object per thread: it keeps scratch state.
class DifferentRows {
 public:
  explicit DifferentRows(const PairPass& pass);

  // The number of Different pixels of row y.
  uint64_t count(std::size_t y) { return pass_.include_aa ? pass_.for_each_different(y, [](std::size_t) {}) : mark(y); }

  // Calls on_different(x) for every Different pixel of row y, in order; returns their number.
  template <class F>
  uint64_t for_each(std::size_t y, F&& on_different) {
    if (pass_.include_aa) return pass_.for_each_different(y, on_different);
    const uint64_t n = mark(y);
    if (n == 0) return 0;
    for (std::size_t j = 0; j < blocks_; ++j)
      for (uint64_t b = different_[j]; b != 0; b &= b - 1)
        on_different(64 * j + static_cast<std::size_t>(__builtin_ctzll(b)));
    return n;
  }

  // For a pass with the anti-aliasing test: calls on_different(x) for every Different pixel and
  // on_antialiased(x) for every AntiAliased pixel of row y, in order; returns the number of Different ones.
  template <class D, class A>
  uint64_t for_each_changed(std::size_t y, D&& on_different, A&& on_antialiased) {
    const uint64_t n = mark(y);
    for (std::size_t j = 0; j < blocks_; ++j)
      for (uint64_t b = above_[j]; b != 0; b &= b - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctzll(b));
        if ((different_[j] >> i) & 1) {
          on_different(64 * j + i);
        } else {
          on_antialiased(64 * j + i);
        }
      }
    return n;
  }

 private:
  // What one image's row holds, per block of 64 pixels (views into storage_ and keys_).
  struct ImageRow {
    uint64_t* many;    // has_many_siblings
    uint64_t* opaque;  // alpha 255
    double* keys;      // luma keys by column
  };
  struct NeighbourRow {
    std::size_t y = ~std::size_t{0};
    ImageRow image[2];  // baseline, current
    uint64_t* done;     // blocks whose bits are computed
    uint64_t* keyed;    // blocks whose keys are computed
  };

  // Fills different_ with the Different pixels of row y; returns their number.
  uint64_t mark(std::size_t y);
  // Row y, with the bits (and with `keys`, the keys) of at least blocks j0 … j1 computed.
  const NeighbourRow& neighbour_row(std::size_t y, std::size_t j0, std::size_t j1, bool keys);
  // Whether (x, y) has many siblings in both images; its block must be computed.
  bool flat_in_both(std::size_t x, std::size_t y) const {
    const NeighbourRow& s = rows_[y & 3];
    return ((s.image[0].many[x >> 6] & s.image[1].many[x >> 6]) >> (x & 63)) & 1;
  }
  // The anti-aliasing test of image `which` (0 baseline, 1 current) at (x, y) where the sibling shortcuts have
  // not decided it.
  bool antialiased(int which, std::size_t x, std::size_t y) const;
  // The same for the pixels 64j + i of row y, i a bit of `mask`, each inside the canvas with an opaque window and
  // its keys computed; returns the bits of the anti-aliased ones.
  uint64_t keyed_tests(int which, std::size_t y, std::size_t j, uint64_t mask) const;

  PairPass pass_;
  std::size_t blocks_ = 0;
  bool use_keys_ = false;
  std::vector<uint64_t> above_, different_;
  std::unique_ptr<uint64_t[]> storage_;
  std::unique_ptr<double[]> keys_;
  NeighbourRow rows_[4];  // row y in rows_[y % 4]: the rows around the current one
};

// Number of differing words in [begin, end) (exact mode).
inline uint64_t count_differing_words(const uint8_t* a, const uint8_t* b, std::size_t begin, std::size_t end) {
  uint64_t count = 0;
  for (std::size_t i = begin; i < end; ++i) {
    uint32_t wa, wb;
    std::memcpy(&wa, a + 4 * i, 4);
    std::memcpy(&wb, b + 4 * i, 4);
    count += wa != wb;
  }
  return count;
}

}  // namespace qf::detail
