// Structural similarity on luma: 11 × 11 box windows with mirrored borders, or one global window for small images.
#pragma once

#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

inline constexpr std::size_t SSIM_WINDOW = 11;
inline constexpr double SSIM_C1 = 6.5025;
inline constexpr double SSIM_C2 = 58.5225;

// Score in [0, 1] of two RGBA buffers of width × height (the same entry serves gathered aligned rows).
Result<double> ssim_rgba(ByteView baseline, ByteView current, std::size_t width, std::size_t height);

// Where the luma of two images first differs: the first row, and the first column over all rows, holding a pixel
// whose red, green or blue differ. Any smaller row and column bound it as well.
struct LumaStart {
  std::size_t row = 0, column = 0;
};
// (height, width) when no colour differs.
LumaStart first_luma_difference(ByteView baseline, ByteView current, std::size_t width, std::size_t height);

// ssim_rgba to the bit, on the calling thread, in one pass that neither holds a plane nor computes the outputs
// the first difference proves to be 1.0. `start`, when given, bounds where luma first differs (the row and the
// column it gives may be smaller than the true ones, never larger); else it is found first.
Result<double> ssim_rgba_streamed(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                  std::optional<LumaStart> start = std::nullopt);

std::vector<double> luma_plane(ByteView rgba);
Result<double> ssim_luma(const std::vector<double>& x, const std::vector<double>& y, std::size_t width,
                         std::size_t height);
std::vector<double> box_filter(const std::vector<double>& plane, std::size_t width, std::size_t height,
                               std::size_t window);

}  // namespace qf
