#include <cmath>

#include "core/size.hpp"
#include "pixeldiff/classify.hpp"

namespace qf {

double color_delta(const uint8_t* a, const uint8_t* b, std::size_t k, std::size_t m, bool luma_only) {
  return detail::yiq_delta(a, b, k, m, luma_only);
}

uint8_t grey_value(uint8_t r, uint8_t g, uint8_t b, uint8_t a, double alpha) {
  const double y = b * 0.11448223 + (g * 0.58662247 + r * 0.29889531);
  double v = (a / 255.0) * ((y - 255.0) * alpha) + 255.0;
  if (!(v >= 0.0)) v = 0.0;
  if (v > 255.0) v = 255.0;
  return static_cast<uint8_t>(v);
}

Status check_pair(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                  const DiffOptions& options) {
  if (auto e = check_diff_options(options)) return e;
  if (auto e = check_rgba(baseline.size(), width, height)) return e;
  if (current.size() != baseline.size())
    return err::invalid_buffer_length(baseline.size(), current.size(), width, height);
  return std::nullopt;
}

}  // namespace qf
