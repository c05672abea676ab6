// AVX2 twins of the anti-aliasing test's kernels (antialias_kernels.hpp).
#include "pixeldiff/antialias_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace qf::detail {

namespace {

// The test of an inner pixel whose window is opaque, with its eight neighbours side by side. The luma deltas
// are the same products and sums as yiq_delta's (no fused multiply-add). The lanes hold the neighbours as they
// are loaded, row by row; the first strict minimum and maximum of the plain loop are found by reordering the
// lanes' bits into its scan order (columns left to right, each top to bottom).

// Lane i holds the neighbour at (LANE_DX[i], LANE_DY[i]): the row above, the left neighbour, the row below,
// the right neighbour.
constexpr int LANE_DX[8] = {-1, 0, 1, -1, -1, 0, 1, 1};
constexpr int LANE_DY[8] = {-1, -1, -1, 0, 1, 1, 1, 0};

// Position in the plain loop's order, which skips the centre (position 4 of the 3 × 3 window).
constexpr int scan_index(int lane) {
  const int window = (LANE_DX[lane] + 1) * 3 + (LANE_DY[lane] + 1);
  return window > 4 ? window - 1 : window;
}

struct LaneOrder {
  uint8_t scan_mask[256];  // a mask of lanes as a mask of scan positions
  uint8_t lane_of_scan[8];
  constexpr LaneOrder() : scan_mask{}, lane_of_scan{} {
    for (int lane = 0; lane < 8; ++lane) lane_of_scan[scan_index(lane)] = static_cast<uint8_t>(lane);
    for (int m = 0; m < 256; ++m) {
      int out = 0;
      for (int lane = 0; lane < 8; ++lane)
        if (m & (1 << lane)) out |= 1 << scan_index(lane);
      scan_mask[m] = static_cast<uint8_t>(out);
    }
  }
};
constexpr LaneOrder LANES;

// The eight neighbour words of inner pixel (x, y) in lane order; reads only the 3 × 3 window.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i window_words(const uint8_t* img, std::size_t stride,
                                                                       std::size_t x, std::size_t y) {
  const uint8_t* up = img + (y - 1) * stride + 4 * (x - 1);
  const uint8_t* mid = up + stride;
  const uint8_t* down = mid + stride;
  uint32_t u2, m0, m2, d2;
  std::memcpy(&u2, up + 8, 4);
  std::memcpy(&m0, mid, 4);
  std::memcpy(&m2, mid + 8, 4);
  std::memcpy(&d2, down + 8, 4);
  __m128i above = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(up));
  above = _mm_insert_epi32(_mm_insert_epi32(above, static_cast<int>(u2), 2), static_cast<int>(m0), 3);
  __m128i below = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(down));
  below = _mm_insert_epi32(_mm_insert_epi32(below, static_cast<int>(d2), 2), static_cast<int>(m2), 3);
  return _mm256_set_m128i(below, above);
}

[[gnu::target("avx2"), gnu::always_inline]] inline uint32_t word_at(const uint8_t* img, std::size_t stride,
                                                                   std::size_t x, std::size_t y) {
  uint32_t w;
  std::memcpy(&w, img + y * stride + 4 * x, 4);
  return w;
}

// has_many_siblings without branches where the whole window of (x, y) is inside the canvas.
[[gnu::target("avx2"), gnu::always_inline]] inline bool many_siblings(PixelWords words, std::size_t x, std::size_t y,
                                                                      std::size_t width, std::size_t height) {
  if (x == 0 || y == 0 || x + 1 >= width || y + 1 >= height) return has_many_siblings(words, x, y, width, height);
  const std::size_t stride = 4 * width;
  const __m256i same = _mm256_cmpeq_epi32(window_words(words.bytes, stride, x, y),
                                          _mm256_set1_epi32(static_cast<int>(word_at(words.bytes, stride, x, y))));
  return __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(same)))) >= 3;
}

// (dg · 0.58662247 + dr · 0.29889531) + db · 0.11448223 for four neighbours.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d luma(__m128i r, __m128i g, __m128i b) {
  const __m256d kr = _mm256_set1_pd(0.29889531), kg = _mm256_set1_pd(0.58662247), kb = _mm256_set1_pd(0.11448223);
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(g), kg), _mm256_mul_pd(_mm256_cvtepi32_pd(r), kr)),
                       _mm256_mul_pd(_mm256_cvtepi32_pd(b), kb));
}

// The lanes of (lo, hi) that compare true with v, as an 8-bit mask.
template <int Op>
[[gnu::target("avx2"), gnu::always_inline]] inline int lanes_where(__m256d lo, __m256d hi, __m256d v) {
  return _mm256_movemask_pd(_mm256_cmp_pd(lo, v, Op)) | (_mm256_movemask_pd(_mm256_cmp_pd(hi, v, Op)) << 4);
}

// The neighbourhood part for an inner pixel: -1 when its window is not opaque (the caller takes the plain
// path), 0 for a flat area or a missing brighter or darker neighbour, else 1 with the lanes of the brightest and
// the darkest neighbour.
[[gnu::target("avx2"), gnu::always_inline]] inline int extremes_lanes(const uint8_t* img, std::size_t stride,
                                                                     std::size_t x, std::size_t y, int& min_lane,
                                                                     int& max_lane) {
  const uint32_t centre = word_at(img, stride, x, y);
  const __m256i words = window_words(img, stride, x, y);
  const __m256i opaque = _mm256_cmpeq_epi32(_mm256_srli_epi32(words, 24), _mm256_set1_epi32(255));
  if ((centre >> 24) != 255 || _mm256_movemask_epi8(opaque) != -1) return -1;

  const __m256i byte = _mm256_set1_epi32(0xff);
  const __m256i cw = _mm256_set1_epi32(static_cast<int>(centre));
  const __m256i dr = _mm256_sub_epi32(_mm256_and_si256(cw, byte), _mm256_and_si256(words, byte));
  const __m256i dg = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(cw, 8), byte),
                                      _mm256_and_si256(_mm256_srli_epi32(words, 8), byte));
  const __m256i db = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(cw, 16), byte),
                                      _mm256_and_si256(_mm256_srli_epi32(words, 16), byte));
  const __m256d lo = luma(_mm256_castsi256_si128(dr), _mm256_castsi256_si128(dg), _mm256_castsi256_si128(db));
  const __m256d hi = luma(_mm256_extracti128_si256(dr, 1), _mm256_extracti128_si256(dg, 1),
                          _mm256_extracti128_si256(db, 1));
  const __m256d zero = _mm256_setzero_pd();
  const int zeroes = lanes_where<_CMP_EQ_OQ>(lo, hi, zero);

  // The smallest and largest delta, and the first neighbour in scan order holding each.
  __m256d mn = _mm256_min_pd(lo, hi), mx = _mm256_max_pd(lo, hi);
  mn = _mm256_min_pd(mn, _mm256_permute4x64_pd(mn, 0x4e));
  mx = _mm256_max_pd(mx, _mm256_permute4x64_pd(mx, 0x4e));
  mn = _mm256_min_pd(mn, _mm256_permute_pd(mn, 0x5));
  mx = _mm256_max_pd(mx, _mm256_permute_pd(mx, 0x5));
  const double min = _mm256_cvtsd_f64(mn), max = _mm256_cvtsd_f64(mx);
  const int min_lanes = lanes_where<_CMP_EQ_OQ>(lo, hi, _mm256_permute4x64_pd(mn, 0));
  const int max_lanes = lanes_where<_CMP_EQ_OQ>(lo, hi, _mm256_permute4x64_pd(mx, 0));

  // A flat area, or no brighter or no darker neighbour.
  if (__builtin_popcount(static_cast<unsigned>(zeroes)) >= 3 || !(min < 0.0) || !(max > 0.0)) return 0;
  min_lane = LANES.lane_of_scan[__builtin_ctz(LANES.scan_mask[min_lanes])];
  max_lane = LANES.lane_of_scan[__builtin_ctz(LANES.scan_mask[max_lanes])];
  return 1;
}

}  // namespace

[[gnu::target("avx2")]] bool is_antialiased_avx2(const uint8_t* img, std::size_t x, std::size_t y,
                                                 std::size_t width, std::size_t height, PixelWords own,
                                                 PixelWords other) {
  int min_lane = 0, max_lane = 0;
  const int found = extremes_lanes(img, 4 * width, x, y, min_lane, max_lane);
  if (found <= 0) {
    // Clean upper register halves before the callers' scalar code runs again.
    _mm256_zeroupper();
    return found < 0 && is_antialiased_generic(img, x, y, width, height, own, other);
  }
  const std::size_t min_x = x + LANE_DX[min_lane], min_y = y + LANE_DY[min_lane];
  const std::size_t max_x = x + LANE_DX[max_lane], max_y = y + LANE_DY[max_lane];
  // All four tests, combined without branches.
  const unsigned result = (unsigned{many_siblings(own, min_x, min_y, width, height)} &
                           unsigned{many_siblings(other, min_x, min_y, width, height)}) |
                          (unsigned{many_siblings(own, max_x, max_y, width, height)} &
                           unsigned{many_siblings(other, max_x, max_y, width, height)});
  _mm256_zeroupper();
  return result != 0;
}

[[gnu::target("avx2")]] bool extremes_avx2(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width,
                                           std::size_t height, Extremes& e) {
  int min_lane = 0, max_lane = 0;
  const int found = extremes_lanes(img, 4 * width, x, y, min_lane, max_lane);
  _mm256_zeroupper();
  if (found < 0) return extremes_generic(img, x, y, width, height, e);
  e.min_x = x + LANE_DX[min_lane];
  e.min_y = y + LANE_DY[min_lane];
  e.max_x = x + LANE_DX[max_lane];
  e.max_y = y + LANE_DY[max_lane];
  return found > 0;
}

}  // namespace qf::detail

#endif
