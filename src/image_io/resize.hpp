// Separable Lanczos3 resampling of 8-bit RGBA images. The four channels are filtered independently (alpha is
// not premultiplied); when shrinking, the filter support is widened by the shrink factor so that every source
// pixel contributes. Results are rounded half away from zero and clamped to 0..255.
#pragma once

#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

inline constexpr float LANCZOS_LOBES = 3.0f;

// sinc(x) · sinc(x / 3) inside (−3, 3), 0 outside.
float lanczos3(float x);

// The taps of one output row or column: source indices [first, first + weights.size()) with normalised weights.
struct FilterTaps {
  std::size_t first = 0;
  std::vector<float> weights;
};

// Taps for output index `out` when `source` samples are resampled to `target` (both > 0).
FilterTaps filter_taps(std::size_t out, std::size_t source, std::size_t target);

// Resamples rgba (width × height) to new_width × new_height. Every side must be at least 1; the caller checks
// the buffer and the side limits first (ResizeFailed otherwise).
Result<Bytes> resize_lanczos3(ByteView rgba, std::size_t width, std::size_t height, std::size_t new_width,
                              std::size_t new_height);

}  // namespace qf
