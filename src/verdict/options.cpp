// The range checks of the verdict's options, read from their declarations.
#include <string>

#include "core/size.hpp"
#include "verdict/verdict.hpp"

namespace qf {

namespace {

std::string number_text(double v) {
  std::string s = std::to_string(v);
  while (s.size() > 1 && s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
  return s;
}

}  // namespace

CompareError option_out_of_range(const OptionSpec& o) {
  std::string text(o.name);
  if (o.min && o.max) text += " must be in the range [" + number_text(*o.min) + ", " + number_text(*o.max) + "]";
  else if (o.min) text += " must be >= " + std::to_string(static_cast<int64_t>(*o.min));
  return err::invalid_argument(text);
}

namespace {

// Written so that NaN fails.
bool in_range(const OptionSpec& o, double v) { return (!o.min || v >= *o.min) && (!o.max || v <= *o.max); }

}  // namespace

std::string_view option_kind_name(OptionKind kind) {
  switch (kind) {
    case OptionKind::Float: return "float";
    case OptionKind::Bool: return "bool";
    case OptionKind::Int: return "int";
    case OptionKind::Diff: return "diff";
  }
  return "?";
}

Status check_verdict_options(const VerdictOptions& o) {
  static constexpr const OptionSpec& threshold = verdict_option("threshold");
  static constexpr const OptionSpec& max_diff_ratio = verdict_option("max_diff_ratio");
  static constexpr const OptionSpec& max_pixels = verdict_option("max_pixels");
  static constexpr const OptionSpec& thumbnails = verdict_option("thumbnails");
  static constexpr const OptionSpec& jitter = verdict_option("jitter");
  if (!in_range(threshold, o.threshold)) return option_out_of_range(threshold);
  if (o.max_diff_ratio && !in_range(max_diff_ratio, *o.max_diff_ratio)) return option_out_of_range(max_diff_ratio);
  if (!in_range(jitter, static_cast<double>(o.jitter))) return option_out_of_range(jitter);
  if (!in_range(max_pixels, static_cast<double>(o.max_pixels))) return option_out_of_range(max_pixels);
  if (o.thumbnails && !in_range(thumbnails, static_cast<double>(*o.thumbnails))) return option_out_of_range(thumbnails);
  if (o.has_mask && checked_mul(o.mask_width, o.mask_height) != std::optional<uint64_t>(o.ignore_mask.size()))
    return err::invalid_argument("ignore mask does not hold mask_width x mask_height bytes");
  return std::nullopt;
}

}  // namespace qf
