// The anti-aliasing test's kernels for inner pixels: the scalar ones (antialias.cpp) and their AVX2 twins
// (antialias_avx2.cpp), which fall back on the scalar ones where a window is not opaque. antialias.cpp picks one
// from core/cpu.hpp.
#pragma once

#include "pixeldiff/classify.hpp"

namespace qf::detail {

bool extremes_generic(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                      Extremes& e);
bool is_antialiased_generic(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                            PixelWords own, PixelWords other);

bool extremes_avx2(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                   Extremes& e);
bool is_antialiased_avx2(const uint8_t* img, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                         PixelWords own, PixelWords other);

}  // namespace qf::detail
