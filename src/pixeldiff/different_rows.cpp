// Rows of Different pixels with the anti-aliasing test, from per-block sibling bits and luma keys of both
// images.
//
// Luma keys. For an opaque pixel, luma = 29889531 r + 58662247 g + 11448223 b, an integer below 2^35. Between
// two opaque pixels the luma delta that yiq_delta computes is (luma(a) − luma(b)) × 1e-8 up to rounding errors
// below 1e-12, and no two different channel differences (each within ±255) give the same luma difference, so
// distinct luma differences are at least 1e-8 apart once scaled: comparing lumas orders the neighbours of a
// pixel exactly as comparing their deltas does, ties included, and equal lumas mean equal pixels (a test checks
// both facts over the whole range). A key is 32 × luma + whether the pixel has many siblings in both images,
// exact in a double. The test adds 2 × (7 − place) to the keys of the neighbours for the maximum and 2 × place
// for the minimum, place being the neighbour's place in the scan order, so that a plain maximum or minimum
// picks the first of equal neighbours in that order and brings that neighbour's sibling bit along.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/cpu.hpp"
#include "pixeldiff/classify.hpp"
#include "pixeldiff/different_rows_kernels.hpp"


namespace qf::detail {

namespace {

constexpr std::size_t KEYS_MAX_WIDTH = std::size_t{1} << 16, BITS_MAX_WIDTH = std::size_t{1} << 20;

// The number of set bits, without the library call that __builtin_popcountll makes on a plain x86-64 target.
inline unsigned bit_count(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<unsigned>((v * 0x0101010101010101u) >> 56);
}


}  // namespace

uint64_t sibling_bits_generic(const uint8_t* img, std::size_t width, std::size_t height, std::size_t y,
                              std::size_t j, uint64_t& opaque) {
  const std::size_t x0 = BLOCK * j, x1 = std::min(width, x0 + BLOCK);
  uint64_t bits = 0;
  opaque = 0;
  for (std::size_t x = x0; x < x1; ++x) {
    bits |= uint64_t{has_many_siblings({img}, x, y, width, height)} << (x - x0);
    opaque |= uint64_t{img[4 * (y * width + x) + 3] == 255} << (x - x0);
  }
  return bits;
}

namespace {

// Bit i for each pixel x0 + i (x0 + i < x1) of two rows whose words differ.
#if defined(__x86_64__) && defined(__GNUC__)
const auto differing_words = cpu::features().sse2 ? differing_words_sse2 : differing_words_scalar;
#else
const auto differing_words = differing_words_scalar;
#endif

using SiblingBits = uint64_t (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, std::size_t, uint64_t&);
using LumaKeys = void (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, double*);

SiblingBits pick_sibling_bits() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu::features().avx2) return sibling_bits_avx2;
#endif
  return sibling_bits_generic;
}

bool keys_supported() { return cpu::features().avx2; }

}  // namespace

uint64_t sibling_bits(const uint8_t* img, std::size_t width, std::size_t height, std::size_t y, std::size_t j,
                      uint64_t& opaque) {
  static const SiblingBits bits = pick_sibling_bits();
  return bits(img, width, height, y, j, opaque);
}

DifferentRows::DifferentRows(const PairPass& pass) : pass_(pass) {
  if (pass.include_aa) return;
  blocks_ = (pass.width + BLOCK - 1) / BLOCK;
  above_.resize(blocks_);
  different_.resize(blocks_);
  // The rows kept take about 2 bytes a column for the bits and 64 for the keys, per object: beyond these
  // widths, the keys (then the bits) are left out and the plain test takes their place.
  if (pass.width > BITS_MAX_WIDTH) return;
  static const bool keys = keys_supported();
  use_keys_ = keys && pass.width <= KEYS_MAX_WIDTH;
  // Per row: the bits of both images and the two block sets; keys by column. Keys are written before they are
  // read.
  const std::size_t sets = (blocks_ + 63) / 64, per_row = 4 * blocks_ + 2 * sets;
  storage_.reset(new uint64_t[4 * per_row]);
  const std::size_t key_row = blocks_ * BLOCK;
  if (use_keys_) keys_.reset(new double[8 * key_row]);
  for (std::size_t r = 0; r < 4; ++r) {
    uint64_t* p = storage_.get() + r * per_row;
    NeighbourRow& row = rows_[r];
    for (std::size_t i = 0; i < 2; ++i) {
      row.image[i].many = p + (2 * i) * blocks_;
      row.image[i].opaque = p + (2 * i + 1) * blocks_;
      row.image[i].keys = nullptr;
      if (use_keys_) row.image[i].keys = keys_.get() + (2 * r + i) * key_row;
    }
    row.done = p + 4 * blocks_;
    row.keyed = row.done + sets;
  }
}

const DifferentRows::NeighbourRow& DifferentRows::neighbour_row(std::size_t y, std::size_t j0, std::size_t j1,
                                                                 bool keys) {
  NeighbourRow& s = rows_[y & 3];
  if (s.y != y) {
    s.y = y;
    const std::size_t sets = (blocks_ + 63) / 64;
    std::fill(s.done, s.done + sets, 0);
    std::fill(s.keyed, s.keyed + sets, 0);
  }
  const uint8_t* images[2] = {pass_.baseline, pass_.current};
  for (std::size_t j = j0; j <= j1; ++j) {
    const uint64_t bit = uint64_t{1} << (j & 63);
    if (!(s.done[j >> 6] & bit)) {
      for (int i = 0; i < 2; ++i)
        s.image[i].many[j] = sibling_bits(images[i], pass_.width, pass_.height, y, j, s.image[i].opaque[j]);
      s.done[j >> 6] |= bit;
    }
#if defined(__x86_64__) && defined(__GNUC__)
    if (keys && !(s.keyed[j >> 6] & bit)) {
      const uint64_t flat = s.image[0].many[j] & s.image[1].many[j];
      for (int i = 0; i < 2; ++i) luma_keys_avx2(images[i], pass_.width, y, j, flat, s.image[i].keys);
      s.keyed[j >> 6] |= bit;
    }
#else
    (void)keys;
#endif
  }
  return s;
}

bool DifferentRows::antialiased(int which, std::size_t x, std::size_t y) const {
  Extremes e;
  if (!luma_extremes(which == 0 ? pass_.baseline : pass_.current, x, y, pass_.width, pass_.height, e)) return false;
  return flat_in_both(e.min_x, e.min_y) || flat_in_both(e.max_x, e.max_y);
}

uint64_t DifferentRows::keyed_tests(int which, std::size_t y, std::size_t j, uint64_t mask) const {
#if defined(__x86_64__) && defined(__GNUC__)
  const double* keys[3];
  for (int r = 0; r < 3; ++r) keys[r] = rows_[(y - 1 + r) & 3].image[which].keys;
  return keyed_tests_avx2(keys, BLOCK * j, mask);
#else
  (void)which, (void)y, (void)j, (void)mask;
  return 0;
#endif
}

uint64_t DifferentRows::mark(std::size_t y) {
  const PairPass& p = pass_;
  if (p.same_row(y)) {
    std::fill(above_.begin(), above_.end(), 0);
    return 0;
  }
  const std::size_t width = p.width, height = p.height, row = y * width;
  for (std::size_t j = 0; j < blocks_; ++j) {
    const std::size_t x0 = BLOCK * j, x1 = std::min(width, x0 + BLOCK);
    const uint64_t differing = differing_words(p.baseline + 4 * row, p.current + 4 * row, x0, x1);
    uint64_t above = 0;
    auto test = [&](std::size_t x) {
      const std::size_t k = 4 * (row + x);
      above |= uint64_t{std::fabs(yiq_delta(p.baseline, p.current, k, k, false)) > p.max_delta} << (x - x0);
    };
    if (bit_count(differing) > 16) {
      for (std::size_t x = x0; x < x1; ++x)
        if ((differing >> (x - x0)) & 1) test(x);
    } else {
      for (uint64_t b = differing; b != 0; b &= b - 1) test(x0 + static_cast<std::size_t>(__builtin_ctzll(b)));
    }
    above_[j] = above;
  }

  uint64_t count = 0;
  const bool inner_row = y > 0 && y + 1 < height;
  const std::size_t r0 = y > 0 ? y - 1 : 0, r1 = std::min(y + 1, height - 1);
  for (std::size_t j = 0; j < blocks_; ++j) {
    const uint64_t above = above_[j];
    if (above == 0) {
      different_[j] = 0;
      continue;
    }
    // The blocks left and right are needed only for the first and last pixel of this one.
    const bool left = j > 0 && (above & 1), right = j + 1 < blocks_ && (above >> 63);
    const std::size_t j0 = left ? j - 1 : j, j1 = right ? j + 1 : j;
    // Preparing a block of 64 pixels of one row costs about as much as one or two plain tests: a block with few
    // pixels above the threshold for the blocks it still needs takes the plain test.
    unsigned missing = 0;
    for (std::size_t r = r0; storage_ && r <= r1; ++r) {
      const NeighbourRow& s = rows_[r & 3];
      for (std::size_t b = j0; b <= j1; ++b) missing += s.y != r || !((s.done[b >> 6] >> (b & 63)) & 1);
    }
    if (!storage_ || 2 * bit_count(above) < 3 * missing) {
      uint64_t different = 0;
      for (uint64_t b = above; b != 0; b &= b - 1) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(b));
        if (p.different_above_threshold(BLOCK * j + bit, y)) different |= uint64_t{1} << bit;
      }
      different_[j] = different;
      count += bit_count(different);
      continue;
    }
    // near: pixels with a neighbour (or themselves) of many siblings in both images. A pixel that has many
    // siblings in both is Different anyway, so counting it as its own neighbour changes nothing.
    // opaque[i]: pixels whose whole window is inside the canvas and opaque in image i.
    uint64_t near = 0, own[2] = {0, 0}, opaque[2] = {~uint64_t{0}, ~uint64_t{0}};
    for (std::size_t r = r0; r <= r1; ++r) {
      const NeighbourRow& s = neighbour_row(r, j0, j1, false);
      const uint64_t both = s.image[0].many[j] & s.image[1].many[j];
      near |= both | (both << 1) | (both >> 1);
      if (left) near |= (s.image[0].many[j - 1] & s.image[1].many[j - 1]) >> 63;
      if (right) near |= (s.image[0].many[j + 1] & s.image[1].many[j + 1]) << 63;
      for (int i = 0; i < 2; ++i) {
        const uint64_t o = s.image[i].opaque[j];
        opaque[i] &= o & ((o << 1) | (left ? s.image[i].opaque[j - 1] >> 63 : 0)) &
                     ((o >> 1) | (right ? s.image[i].opaque[j + 1] << 63 : 0));
      }
      if (r == y) {
        own[0] = s.image[0].many[j];
        own[1] = s.image[1].many[j];
      }
    }
    // The first and last columns have a window partly outside the canvas (their opaque bits are 0 already:
    // nothing is taken from left of the first column or right of the last). Bit 0 (bit 63) of near and opaque
    // is right only with the block on the left (right); without it, the pixel is not above the threshold.
    uint64_t inside = inner_row ? ~uint64_t{0} : 0;
    if (j == 0) inside &= ~uint64_t{1};
    // The test of an image can say yes only where the pixel has few siblings there.
    const uint64_t test[2] = {above & near & ~own[0], above & near & ~own[1]};
    const uint64_t keyed[2] = {use_keys_ ? test[0] & opaque[0] & inside : 0,
                               use_keys_ ? test[1] & opaque[1] & inside : 0};
    if ((keyed[0] | keyed[1]) != 0)
      for (std::size_t r = r0; r <= r1; ++r) neighbour_row(r, j0, j1, true);
    // Both tests where they are needed; the current image only where the baseline said no.
    uint64_t antialiased_bits = 0;
    for (int i = 0; i < 2; ++i) {
      const uint64_t todo = test[i] & ~antialiased_bits;
      if (todo & keyed[i]) antialiased_bits |= keyed_tests(i, y, j, todo & keyed[i]);
      for (uint64_t b = todo & ~keyed[i]; b != 0; b &= b - 1) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(b));
        if (antialiased(i, BLOCK * j + bit, y)) antialiased_bits |= uint64_t{1} << bit;
      }
    }
    different_[j] = above & ~antialiased_bits;
    count += bit_count(different_[j]);
  }
  return count;
}

}  // namespace qf::detail
