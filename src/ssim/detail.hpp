// Pieces both ways of computing SSIM share: the mirrored border, luma and the final clamp. Internal to ssim.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace qf::ssim_detail {

// Mirrors an index about the edge pixel without repeating it, until it lies in [0, n).
inline std::size_t mirror(std::ptrdiff_t k, std::size_t n) {
  if (n == 1) return 0;  // a one-pixel side has nothing to reflect onto
  const auto sn = static_cast<std::ptrdiff_t>(n);
  while (k < 0 || k >= sn) k = k < 0 ? -k : 2 * sn - 2 - k;
  return static_cast<std::size_t>(k);
}

inline double luma_of(const uint8_t* p) {
  return (static_cast<double>(p[0]) * 0.299 + static_cast<double>(p[1]) * 0.587) + static_cast<double>(p[2]) * 0.114;
}

inline double clamp_score(double s) {
  if (!std::isfinite(s)) return 0.0;
  return std::min(1.0, std::max(0.0, s));
}

// Whether the streamed SSIM computes its outputs 4 lanes at a time: by the processor (nullopt), or forced on or
// off so that tests can run both; returns whether the processor has the wide kernel.
bool use_wide_outputs(std::optional<bool> force);

}  // namespace qf::ssim_detail
