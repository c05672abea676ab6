// AVX2 twin of the resampler's vertical block kernel (resize_kernels.hpp).
#include "image_io/resize_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

namespace qf::resize_kernels {

namespace {

// Eight source bytes as eight floats.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256 load8(const uint8_t* s) {
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s))));
}

}  // namespace

[[gnu::target("avx2")]] void vertical_block_avx2(const uint8_t* s, std::size_t stride, const float* w,
                                                 std::size_t taps, float* out) {
  __m256 acc[BLOCK / 8];
  const __m256 w0 = _mm256_set1_ps(w[0]);
  for (std::size_t j = 0; j < BLOCK / 8; ++j) acc[j] = _mm256_mul_ps(w0, load8(s + 8 * j));
  for (std::size_t i = 1; i < taps; ++i) {
    const __m256 wi = _mm256_set1_ps(w[i]);
    s += stride;
    for (std::size_t j = 0; j < BLOCK / 8; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_mul_ps(wi, load8(s + 8 * j)));
  }
  for (std::size_t j = 0; j < BLOCK / 8; ++j) _mm256_storeu_ps(out + 8 * j, acc[j]);
}

}  // namespace qf::resize_kernels

#endif
