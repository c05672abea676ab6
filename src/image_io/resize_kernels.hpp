// The resampler's vertical pass over one block of columns: the scalar kernel is in resize.cpp, its AVX2 twin in
// resize_avx2.cpp (the same products added in the same order, so the same floats); resize.cpp picks one from
// core/cpu.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qf::resize_kernels {

inline constexpr std::size_t BLOCK = 64;  // columns of a block

// out[k] = sum over taps i of w[i] * s[i * stride + k], for the BLOCK columns k, summed in tap order.
void vertical_block_avx2(const uint8_t* s, std::size_t stride, const float* w, std::size_t taps, float* out);

}  // namespace qf::resize_kernels
