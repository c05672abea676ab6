// The parameters several entry points share, declared once over the core option records whose defaults they
// take, and the range checks of the module surface.
#pragma once

#include "alignment/alignment.hpp"
#include "bindings/args.hpp"
#include "clusters/clusters.hpp"
#include "core/options.hpp"
#include "image_io/thumbnail.hpp"

namespace qf::py::params {

inline constexpr auto threshold = QF_PARAM(DiffOptions, threshold);
inline constexpr auto alpha = QF_PARAM(DiffOptions, alpha);
inline constexpr auto include_aa = QF_PARAM(DiffOptions, include_aa);
inline constexpr auto diff_color = QF_PARAM(DiffOptions, diff_color);
inline constexpr auto aa_color = QF_PARAM(DiffOptions, aa_color);
inline constexpr auto diff_color_alt = QF_PARAM(DiffOptions, diff_color_alt);

inline constexpr auto min_pixels = QF_PARAM(ClusterOptions, min_pixels);
inline constexpr auto min_side = QF_PARAM(ClusterOptions, min_side);
inline constexpr auto dilation = QF_PARAM(ClusterOptions, dilation);
inline constexpr auto max_clusters = QF_PARAM(ClusterOptions, max_clusters);
inline constexpr auto merge_gap = QF_PARAM(ClusterOptions, merge_gap);
inline constexpr auto merge_overlap = QF_PARAM(ClusterOptions, merge_overlap);

inline constexpr auto max_edit_ratio = QF_PARAM(AlignOptions, max_edit_ratio);
inline constexpr auto max_edit_rows = QF_PARAM(AlignOptions, max_edit_rows);

inline constexpr auto width = QF_PARAM(ThumbnailRequest, width);
inline constexpr auto height = QF_PARAM(ThumbnailRequest, height);
inline constexpr auto min_width = QF_PARAM(ThumbnailRequest, min_width);
inline constexpr auto min_height = QF_PARAM(ThumbnailRequest, min_height);

// The pairs of the batch functions.
struct PairsParam {
  PairsArg pairs;
};
inline constexpr auto pairs = QF_REQUIRED(PairsParam, pairs);

// ValueError unless threshold (and then alpha, for the entry points that take it) lies in [0, 1].
inline bool check_threshold(const DiffOptions& o) { return check_unit(o.threshold, THRESHOLD_RANGE_MESSAGE); }
inline bool check_threshold_alpha(const DiffOptions& o) {
  return check_threshold(o) && check_unit(o.alpha, ALPHA_RANGE_MESSAGE);
}

}  // namespace qf::py::params

// The parameter lists several entry points share, in signature order: the diff image's six, and the clustering
// ones (threshold, include_aa, then the six of ClusterOptions).
#define QF_RENDER_PARAMS                                                                                     \
  ::qf::py::params::threshold, ::qf::py::params::alpha, ::qf::py::params::include_aa,                       \
      ::qf::py::params::diff_color, ::qf::py::params::aa_color, ::qf::py::params::diff_color_alt
#define QF_CLUSTER_PARAMS                                                                                    \
  ::qf::py::params::threshold, ::qf::py::params::include_aa, ::qf::py::params::min_pixels,                  \
      ::qf::py::params::min_side, ::qf::py::params::dilation, ::qf::py::params::max_clusters,                \
      ::qf::py::params::merge_gap, ::qf::py::params::merge_overlap
