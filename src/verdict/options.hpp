// Every option of the verdict, declared once: its name, kind, default, range and help. The range checks of the
// core read this table, and the product layer builds its options record, its command-line flags and its plugin
// settings from it (the helper module hands it out as option_table()).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "core/error.hpp"

namespace qf {

enum class OptionKind {
  Float,  // a number; None allowed when the default is None
  Bool,   // True or False
  Int,    // an integer; None allowed when the default is None
  Diff,   // False, True or "changes"
};
std::string_view option_kind_name(OptionKind kind);

// A default: None, a flag, an integer or a number.
using OptionDefault = std::variant<std::monostate, bool, int64_t, double>;

struct OptionSpec {
  std::string_view name;
  OptionKind kind;
  OptionDefault default_value;
  std::optional<double> min, max;  // inclusive bounds, when the option has them
  std::string_view help;
};

inline constexpr OptionSpec VERDICT_OPTIONS[] = {
    {"threshold", OptionKind::Float, 0.1, 0.0, 1.0,
     "how different two pixels must look to count, from 0 (any difference) to 1 (nothing counts), on the "
     "perceptual YIQ scale"},
    {"include_aa", OptionKind::Bool, false, std::nullopt, std::nullopt,
     "count anti-aliased edge pixels too"},
    {"max_diff_pixels", OptionKind::Int, std::monostate{}, 0.0, std::nullopt,
     "a changed pair passes with at most this many differing pixels (and within every other tolerance given)"},
    {"max_diff_ratio", OptionKind::Float, std::monostate{}, 0.0, 1.0,
     "a changed pair passes with at most this fraction of the canvas differing (and within every other "
     "tolerance given)"},
    {"allow_shift", OptionKind::Bool, false, std::nullopt, std::nullopt,
     "a shifted pair (rows inserted or deleted, nothing else changed) passes"},
    {"jitter", OptionKind::Int, int64_t{1}, 0.0, 4.0,
     "differences that a move of at most this many pixels explains (text and edges drawn at a slightly different "
     "position) do not count; they are counted apart as jitter pixels; 0 counts them"},
    {"max_pixels", OptionKind::Int, int64_t{100'000'000}, 1.0, std::nullopt,
     "images with more pixels than this are refused before they are decoded"},
    {"thumbnails", OptionKind::Int, std::monostate{}, 1.0, std::nullopt,
     "make lossless WebP thumbnails of both images this many pixels wide"},
    {"diff", OptionKind::Diff, false, std::nullopt, std::nullopt,
     "draw the diff image: always (True), never (False) or only for pairs that are not unchanged (\"changes\")"},
};

// The declaration of an option by name; the table must hold it.
consteval const OptionSpec& verdict_option(std::string_view name) {
  for (const OptionSpec& o : VERDICT_OPTIONS)
    if (o.name == name) return o;
  throw "no such verdict option";
}

inline std::span<const OptionSpec> verdict_options() { return VERDICT_OPTIONS; }

// The error of a value outside the option's range: "<name> must be in the range [min, max]" or
// "<name> must be >= min".
CompareError option_out_of_range(const OptionSpec& option);

}  // namespace qf
