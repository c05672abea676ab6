// x86 twins of DifferentRows' kernels (different_rows_kernels.hpp).
#include <algorithm>

#include "pixeldiff/classify.hpp"
#include "pixeldiff/different_rows_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace qf::detail {

uint64_t differing_words_sse2(const uint8_t* a, const uint8_t* b, std::size_t x0, std::size_t x1) {
  uint64_t same = 0;
  std::size_t x = x0;
  for (; x + 4 <= x1; x += 4) {  // four words at a time
    const __m128i eq = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * x)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * x)));
    same |= uint64_t{static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(eq)))} << (x - x0);
  }
  for (; x < x1; ++x) same |= uint64_t{std::memcmp(a + 4 * x, b + 4 * x, 4) == 0} << (x - x0);
  const std::size_t n = x1 - x0;
  return ~same & (n < BLOCK ? (uint64_t{1} << n) - 1 : ~uint64_t{0});
}

namespace {

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load8(const uint8_t* row, std::size_t x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x));
}

}  // namespace

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

}  // namespace qf::detail

#endif
