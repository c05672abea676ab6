#include "pixeldiff/classify.hpp"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace qf {

namespace {

// The 3 × 3 window of (x, y), clipped to the canvas, and whether (x, y) lies on the border.
struct Window {
  std::size_t x0, x1, y0, y1;
  bool border;
  Window(std::size_t x, std::size_t y, std::size_t width, std::size_t height)
      : x0(x > 0 ? x - 1 : 0),
        x1(x + 1 < width ? x + 1 : width - 1),
        y0(y > 0 ? y - 1 : 0),
        y1(y + 1 < height ? y + 1 : height - 1),
        border(x == 0 || x == width - 1 || y == 0 || y == height - 1) {}
};

}  // namespace

bool has_many_siblings(PixelWords words, std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
  const Window w(x, y, width, height);
  unsigned count = w.border ? 1 : 0;
  const uint32_t v = words[y * width + x];
  for (std::size_t nx = w.x0; nx <= w.x1; ++nx)
    for (std::size_t ny = w.y0; ny <= w.y1; ++ny) {
      if (nx == x && ny == y) continue;
      if (words[ny * width + nx] == v) {
        if (count >= 2) return true;
        ++count;
      }
    }
  return false;
}

namespace {

bool is_antialiased_generic(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                    PixelWords own, PixelWords other) {
  const Window w(x, y, width, height);
  unsigned zeroes = w.border ? 1 : 0;
  double min = 0.0, max = 0.0;
  std::size_t min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  const std::size_t k = 4 * (y * width + x);
  for (std::size_t nx = w.x0; nx <= w.x1; ++nx)
    for (std::size_t ny = w.y0; ny <= w.y1; ++ny) {
      if (nx == x && ny == y) continue;
      const double d = detail::yiq_delta(img, img, k, 4 * (ny * width + nx), true);
      if (d == 0.0) {
        if (zeroes >= 2) return false;  // a flat area
        ++zeroes;
      } else if (d < min) {
        min = d;
        min_x = nx;
        min_y = ny;
      } else if (d > max) {
        max = d;
        max_x = nx;
        max_y = ny;
      }
    }
  if (min == 0.0 || max == 0.0) return false;  // no brighter or no darker neighbour
  if (has_many_siblings(own, min_x, min_y, width, height) && has_many_siblings(other, min_x, min_y, width, height))
    return true;
  return has_many_siblings(own, max_x, max_y, width, height) && has_many_siblings(other, max_x, max_y, width, height);
}


#if defined(__x86_64__) && defined(__GNUC__)
// The test of an inner pixel whose window is opaque, with its eight neighbours side by side: the luma deltas
// are the same products and sums as yiq_delta's (no fused multiply-add), lane i holding the i-th neighbour in
// the scan order of the plain loop (columns left to right, each top to bottom), so the first strict minimum and
// maximum are the same neighbours too.
constexpr int NEIGHBOUR_DX[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
constexpr int NEIGHBOUR_DY[8] = {-1, 0, 1, -1, 1, -1, 0, 1};

// (dg · 0.58662247 + dr · 0.29889531) + db · 0.11448223 for four neighbours.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d luma(__m128i r, __m128i g, __m128i b) {
  const __m256d kr = _mm256_set1_pd(0.29889531), kg = _mm256_set1_pd(0.58662247), kb = _mm256_set1_pd(0.11448223);
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(g), kg), _mm256_mul_pd(_mm256_cvtepi32_pd(r), kr)),
                       _mm256_mul_pd(_mm256_cvtepi32_pd(b), kb));
}

// The first of the eight lanes (lo, hi) equal to lane 0 of v.
[[gnu::target("avx2"), gnu::always_inline]] inline int first_lane_of(__m256d lo, __m256d hi, __m256d v) {
  v = _mm256_permute4x64_pd(v, 0);
  const int mask = _mm256_movemask_pd(_mm256_cmp_pd(lo, v, _CMP_EQ_OQ)) |
                   (_mm256_movemask_pd(_mm256_cmp_pd(hi, v, _CMP_EQ_OQ)) << 4);
  return __builtin_ctz(static_cast<unsigned>(mask));
}

[[gnu::target("avx2")]] bool is_antialiased_avx2(const uint8_t* img, std::size_t x, std::size_t y,
                                                 std::size_t width, std::size_t height, PixelWords own,
                                                 PixelWords other) {
  const std::size_t stride = 4 * width;
  const uint8_t* c = img + 4 * (y * width + x);
  uint32_t centre, n[8];
  std::memcpy(&centre, c, 4);
  for (int i = 0; i < 8; ++i)
    std::memcpy(&n[i], c + static_cast<std::ptrdiff_t>(NEIGHBOUR_DY[i]) * static_cast<std::ptrdiff_t>(stride) +
                           4 * NEIGHBOUR_DX[i], 4);
  const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(n));
  const __m256i opaque = _mm256_cmpeq_epi32(_mm256_srli_epi32(words, 24), _mm256_set1_epi32(255));
  if ((centre >> 24) != 255 || _mm256_movemask_epi8(opaque) != -1) {
    _mm256_zeroupper();
    return is_antialiased_generic(img, x, y, width, height, own, other);
  }

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
  const int zeroes = _mm256_movemask_pd(_mm256_cmp_pd(lo, zero, _CMP_EQ_OQ)) |
                     (_mm256_movemask_pd(_mm256_cmp_pd(hi, zero, _CMP_EQ_OQ)) << 4);

  // The smallest and largest delta and the first lane holding each.
  __m256d mn = _mm256_min_pd(lo, hi), mx = _mm256_max_pd(lo, hi);
  mn = _mm256_min_pd(mn, _mm256_permute4x64_pd(mn, 0x4e));
  mx = _mm256_max_pd(mx, _mm256_permute4x64_pd(mx, 0x4e));
  mn = _mm256_min_pd(mn, _mm256_permute_pd(mn, 0x5));
  mx = _mm256_max_pd(mx, _mm256_permute_pd(mx, 0x5));
  const double min = _mm256_cvtsd_f64(mn), max = _mm256_cvtsd_f64(mx);
  const int min_lane = first_lane_of(lo, hi, mn), max_lane = first_lane_of(lo, hi, mx);
  // Clean upper register halves before the scalar code and the callers run again: leaving them dirty makes
  // every later SSE instruction wait on them.
  _mm256_zeroupper();

  if (__builtin_popcount(static_cast<unsigned>(zeroes)) >= 3) return false;  // a flat area
  if (!(min < 0.0) || !(max > 0.0)) return false;  // no brighter or no darker neighbour
  const std::size_t min_x = x + NEIGHBOUR_DX[min_lane], min_y = y + NEIGHBOUR_DY[min_lane];
  const std::size_t max_x = x + NEIGHBOUR_DX[max_lane], max_y = y + NEIGHBOUR_DY[max_lane];
  if (has_many_siblings(own, min_x, min_y, width, height) && has_many_siblings(other, min_x, min_y, width, height))
    return true;
  return has_many_siblings(own, max_x, max_y, width, height) && has_many_siblings(other, max_x, max_y, width, height);
}
#endif

using AntialiasTest = bool (*)(const uint8_t*, std::size_t, std::size_t, std::size_t, std::size_t, PixelWords,
                               PixelWords);

AntialiasTest pick_inner_test() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx2")) return is_antialiased_avx2;
#endif
  return is_antialiased_generic;
}

}  // namespace

bool is_antialiased(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                    PixelWords own, PixelWords other) {
  static const AntialiasTest inner = pick_inner_test();
  if (x > 0 && y > 0 && x + 1 < width && y + 1 < height) return inner(img, x, y, width, height, own, other);
  return is_antialiased_generic(img, x, y, width, height, own, other);
}

}  // namespace qf
