// The kernels of DifferentRows (different_rows.cpp): the scalar ones here and in different_rows.cpp, their x86
// twins in different_rows_x86.cpp. different_rows.cpp picks from core/cpu.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qf::detail {

inline constexpr std::size_t BLOCK = 64;
// Luma keys: 32 x luma, plus the flat bit (see different_rows.cpp).
inline constexpr double KEY_R = 32.0 * 29889531, KEY_G = 32.0 * 58662247, KEY_B = 32.0 * 11448223;

// Bit i for each pixel x0 + i (x0 + i < x1 <= x0 + BLOCK) of two rows whose words differ.
inline uint64_t differing_words_scalar(const uint8_t* a, const uint8_t* b, std::size_t x0, std::size_t x1) {
  uint64_t same = 0;
  for (std::size_t x = x0; x < x1; ++x) same |= uint64_t{std::memcmp(a + 4 * x, b + 4 * x, 4) == 0} << (x - x0);
  const std::size_t n = x1 - x0;
  return ~same & (n < BLOCK ? (uint64_t{1} << n) - 1 : ~uint64_t{0});
}
uint64_t differing_words_sse2(const uint8_t* a, const uint8_t* b, std::size_t x0, std::size_t x1);

// The many-siblings bits (returned) and the opaque bits of block j of row y.
uint64_t sibling_bits_generic(const uint8_t* img, std::size_t width, std::size_t height, std::size_t y,
                              std::size_t j, uint64_t& opaque);
uint64_t sibling_bits_avx2(const uint8_t* img, std::size_t width, std::size_t height, std::size_t y, std::size_t j,
                           uint64_t& opaque);
// The luma keys of block j of row y, and the keyed anti-aliasing tests of the pixels of `mask` (AVX2 only: the
// scalar path tests pixel by pixel instead).
void luma_keys_avx2(const uint8_t* img, std::size_t width, std::size_t y, std::size_t j, uint64_t flat,
                    double* keys);
uint64_t keyed_tests_avx2(const double* const keys[3], std::size_t x0, uint64_t mask);

}  // namespace qf::detail
