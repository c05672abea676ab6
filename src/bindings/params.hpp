// Parameter groups that several entry points share: their defaults, the field lists that parse them (in the
// order the signatures give them) and the range checks of the module surface. An entry point's args struct
// derives from the groups it takes and lists their fields in its table.
#pragma once

#include <optional>

#include "bindings/args.hpp"
#include "clusters/clusters.hpp"
#include "core/options.hpp"

namespace qf::py {

// The pixel comparison options. Entry points that take no alpha or colours leave them at their defaults.
struct DiffParams {
  double threshold = 0.1;
  double alpha = 0.1;
  bool include_aa = false;
  Rgb diff_color{255, 0, 0};
  Rgb aa_color{255, 255, 0};
  std::optional<Rgb> diff_color_alt;

  DiffOptions diff_options() const { return {threshold, alpha, diff_color, aa_color, diff_color_alt, include_aa}; }
  // ValueError unless threshold (and then alpha, when the entry point takes it) is within [0, 1].
  bool check_threshold() const { return check_unit(threshold, THRESHOLD_RANGE_MESSAGE); }
  bool check_threshold_alpha() const { return check_threshold() && check_unit(alpha, ALPHA_RANGE_MESSAGE); }
};

struct ClusterParams {
  uint64_t min_pixels = 16;
  uint64_t min_side = 0;
  uint64_t dilation = 4;
  std::optional<uint64_t> max_clusters;
  uint64_t merge_gap = 0;
  double merge_overlap = 0.5;

  ClusterOptions cluster_options() const {
    return {min_pixels, min_side, dilation, max_clusters, merge_gap, merge_overlap};
  }
};

// threshold, alpha, include_aa, diff_color, aa_color, diff_color_alt: the diff image parameters.
#define QF_RENDER_FIELDS(S)                                                                                  \
  QF_FIELD(S, threshold), QF_FIELD(S, alpha), QF_FIELD(S, include_aa), QF_FIELD(S, diff_color),             \
      QF_FIELD(S, aa_color), QF_FIELD(S, diff_color_alt)

// threshold, include_aa, then the six clustering parameters.
#define QF_CLUSTER_FIELDS(S)                                                                                 \
  QF_FIELD(S, threshold), QF_FIELD(S, include_aa), QF_FIELD(S, min_pixels), QF_FIELD(S, min_side),         \
      QF_FIELD(S, dilation), QF_FIELD(S, max_clusters), QF_FIELD(S, merge_gap), QF_FIELD(S, merge_overlap)

}  // namespace qf::py
