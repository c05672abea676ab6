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

#include "pixeldiff/classify.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qf::detail {

namespace {

constexpr std::size_t BLOCK = 64;
constexpr std::size_t KEYS_MAX_WIDTH = std::size_t{1} << 16, BITS_MAX_WIDTH = std::size_t{1} << 20;

// The number of set bits, without the library call that __builtin_popcountll makes on a plain x86-64 target.
inline unsigned bit_count(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<unsigned>((v * 0x0101010101010101u) >> 56);
}
constexpr double KEY_R = 32.0 * 29889531, KEY_G = 32.0 * 58662247, KEY_B = 32.0 * 11448223;


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

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load8(const uint8_t* row, std::size_t x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x));
}

// Eight pixels at a time: each compared with its eight neighbours, the matches summed per lane. Groups of eight
// are moved inwards at the canvas edges (overlapping their neighbours), so the first and last column of the
// canvas are never in a group and take the plain test.
[[gnu::target("avx2")]] uint64_t sibling_bits_avx2(const uint8_t* img, std::size_t width, std::size_t height,
                                                   std::size_t y, std::size_t j, uint64_t& opaque) {
  if (y == 0 || y + 1 >= height || width < 10) return sibling_bits_generic(img, width, height, y, j, opaque);
  const std::size_t x0 = BLOCK * j, x1 = std::min(width, x0 + BLOCK);
  const std::size_t stride = 4 * width;
  const uint8_t* mid = img + y * stride;
  const uint8_t* up = mid - stride;
  const uint8_t* down = mid + stride;
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xff000000u));
  uint64_t bits = 0, alpha_bits = 0;
  for (std::size_t g = x0; g < x1; g += 8) {
    const std::size_t gx = std::min(std::max<std::size_t>(g, 1), width - 9);
    const __m256i c = load8(mid, gx);
    __m256i n = _mm256_cmpeq_epi32(load8(up, gx - 1), c);
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(up, gx), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(up, gx + 1), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(mid, gx - 1), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(mid, gx + 1), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(down, gx - 1), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(down, gx), c));
    n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(load8(down, gx + 1), c));
    // n is minus the number of equal neighbours: at least three when n < -2.
    const uint64_t m = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(-2), n))));
    const uint64_t a = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(c, alpha), alpha))));
    bits |= gx >= x0 ? m << (gx - x0) : m >> (x0 - gx);
    alpha_bits |= gx >= x0 ? a << (gx - x0) : a >> (x0 - gx);
  }
  _mm256_zeroupper();
  const std::size_t n = x1 - x0;
  if (n < BLOCK) {
    bits &= (uint64_t{1} << n) - 1;
    alpha_bits &= (uint64_t{1} << n) - 1;
  }
  auto edge = [&](std::size_t x) {
    bits |= uint64_t{has_many_siblings({img}, x, y, width, height)} << (x - x0);
    alpha_bits |= uint64_t{mid[4 * x + 3] == 255} << (x - x0);
  };
  if (x0 == 0) edge(0);
  if (x1 == width) edge(width - 1);
  opaque = alpha_bits;
  return bits;
}

// Bits 0–3 of a number as four doubles 0.0 or 1.0.
struct BitLanes {
  alignas(32) double lanes[16][4];
  constexpr BitLanes() : lanes{} {
    for (int m = 0; m < 16; ++m)
      for (int i = 0; i < 4; ++i) lanes[m][i] = (m >> i) & 1;
  }
};
constexpr BitLanes BIT_LANES;

// The keys of the pixels 64j … of row y; `flat` has the bits of those with many siblings in both images.
[[gnu::target("avx2")]] void luma_keys_avx2(const uint8_t* img, std::size_t width, std::size_t y, std::size_t j,
                                            uint64_t flat, double* keys) {
  const std::size_t x0 = BLOCK * j, x1 = std::min(width, x0 + BLOCK);
  const uint8_t* row = img + 4 * y * width;
  const __m128i byte = _mm_set1_epi32(0xff);
  const __m256d kr = _mm256_set1_pd(KEY_R), kg = _mm256_set1_pd(KEY_G), kb = _mm256_set1_pd(KEY_B);
  std::size_t x = x0;
  for (; x + 4 <= x1; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x));
    const __m256d r = _mm256_cvtepi32_pd(_mm_and_si128(px, byte));
    const __m256d g = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(px, 8), byte));
    const __m256d b = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(px, 16), byte));
    const __m256d t = _mm256_load_pd(BIT_LANES.lanes[(flat >> (x - x0)) & 15]);
    _mm256_storeu_pd(keys + x, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(r, kr), _mm256_mul_pd(g, kg)),
                                                           _mm256_mul_pd(b, kb)),
                                             t));
  }
  _mm256_zeroupper();
  for (; x < x1; ++x) {
    const uint8_t* px = row + 4 * x;
    keys[x] = ((px[0] * KEY_R + px[1] * KEY_G) + px[2] * KEY_B) + static_cast<double>((flat >> (x - x0)) & 1);
  }
}

// The tests of the inner pixels x0 + i (i a bit of `mask`) of row y, each with an opaque window, in one image
// whose keys of rows y − 1, y and y + 1 are keys[0], keys[1] and keys[2] by column. Returns the bits of `mask`
// whose pixel is anti-aliased in that image. Lanes hold columns x − 1 … x + 1 of each row, the fourth lane 0;
// the fourth lane and the pixel itself are masked out by infinities.
[[gnu::target("avx2")]] uint64_t keyed_tests_avx2(const double* const keys[3], std::size_t x0, uint64_t mask) {
  const double inf = HUGE_VAL;
  // 2 × place in the scan order (columns left to right, each top to bottom) for the minimum, 2 × (7 − place)
  // for the maximum.
  const __m256d min_up = _mm256_setr_pd(0, 6, 10, inf), min_mid = _mm256_setr_pd(2, inf, 12, inf),
                min_down = _mm256_setr_pd(4, 8, 14, inf);
  const __m256d max_up = _mm256_setr_pd(14, 8, 4, -inf), max_mid = _mm256_setr_pd(12, -inf, 2, -inf),
                max_down = _mm256_setr_pd(10, 6, 0, -inf);
  const __m256i three = _mm256_setr_epi64x(-1, -1, -1, 0);  // the column x + 2 is not read
  uint64_t out = 0;
  for (; mask != 0; mask &= mask - 1) {
    const unsigned i = static_cast<unsigned>(__builtin_ctzll(mask));
    const std::size_t x = x0 + i;
    const __m256d u = _mm256_maskload_pd(keys[0] + x - 1, three), m = _mm256_maskload_pd(keys[1] + x - 1, three),
                  d = _mm256_maskload_pd(keys[2] + x - 1, three);
    __m256d hi = _mm256_max_pd(_mm256_max_pd(_mm256_add_pd(u, max_up), _mm256_add_pd(m, max_mid)),
                               _mm256_add_pd(d, max_down));
    __m256d lo = _mm256_min_pd(_mm256_min_pd(_mm256_add_pd(u, min_up), _mm256_add_pd(m, min_mid)),
                               _mm256_add_pd(d, min_down));
    hi = _mm256_max_pd(hi, _mm256_permute4x64_pd(hi, 0x4e));
    lo = _mm256_min_pd(lo, _mm256_permute4x64_pd(lo, 0x4e));
    hi = _mm256_max_pd(hi, _mm256_permute_pd(hi, 0x5));
    lo = _mm256_min_pd(lo, _mm256_permute_pd(lo, 0x5));
    const double brightest = _mm256_cvtsd_f64(hi), darkest = _mm256_cvtsd_f64(lo), centre = keys[1][x];
    // A brighter neighbour has a key at least 31 above the centre's (32 × luma, less the centre's sibling
    // bit), at most 15 above when it is not brighter; a darker one a key at least 17 below, at most 1 below when
    // it is not darker.
    const bool gradient = brightest > centre + 16.0 && darkest < centre - 8.0;
    const uint64_t flat = static_cast<uint64_t>(static_cast<int64_t>(brightest) | static_cast<int64_t>(darkest)) & 1;
    out |= (uint64_t{gradient} & flat) << i;
  }
  _mm256_zeroupper();
  return out;
}
#endif

// Bit i for each pixel x0 + i (x0 + i < x1) of two rows whose words differ; four words at a time where the
// processor has SSE2.
inline uint64_t differing_words(const uint8_t* a, const uint8_t* b, std::size_t x0, std::size_t x1) {
  uint64_t same = 0;
  std::size_t x = x0;
#if defined(__SSE2__)
  for (; x + 4 <= x1; x += 4) {
    const __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * x)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * x)));
    same |= uint64_t{static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(eq)))} << (x - x0);
  }
#endif
  for (; x < x1; ++x) same |= uint64_t{std::memcmp(a + 4 * x, b + 4 * x, 4) == 0} << (x - x0);
  const std::size_t n = x1 - x0;
  return ~same & (n < BLOCK ? (uint64_t{1} << n) - 1 : ~uint64_t{0});
}

using SiblingBits = uint64_t (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, std::size_t, uint64_t&);
using LumaKeys = void (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, double*);

SiblingBits pick_sibling_bits() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx2")) return sibling_bits_avx2;
#endif
  return sibling_bits_generic;
}

bool keys_supported() {
#if defined(__x86_64__) && defined(__GNUC__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

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
