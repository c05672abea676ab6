// Option records of the pixel comparison and their range checks.
#pragma once

#include <optional>

#include "core/error.hpp"
#include "core/types.hpp"

namespace qf {

inline constexpr const char* THRESHOLD_RANGE_MESSAGE = "threshold must be in the range [0.0, 1.0]";
inline constexpr const char* ALPHA_RANGE_MESSAGE = "alpha must be in the range [0.0, 1.0]";
inline constexpr const char* EDIT_RATIO_RANGE_MESSAGE = "max_edit_ratio must be in the range [0.0, 1.0]";

struct DiffOptions {
  double threshold = 0.1;
  double alpha = 0.1;
  Rgb diff_color{255, 0, 0};
  Rgb aa_color{255, 255, 0};
  std::optional<Rgb> diff_color_alt;
  bool include_aa = false;
};

// 0.0 <= value <= 1.0, written so that NaN fails.
inline bool in_unit_range(double value) { return value >= 0.0 && value <= 1.0; }

// Threshold, then alpha: the first check of every pixel routine.
inline Status check_diff_options(const DiffOptions& o) {
  if (!in_unit_range(o.threshold)) return err::invalid_argument(THRESHOLD_RANGE_MESSAGE);
  if (!in_unit_range(o.alpha)) return err::invalid_argument(ALPHA_RANGE_MESSAGE);
  return std::nullopt;
}

}  // namespace qf
