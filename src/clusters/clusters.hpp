// Change clusters: dilate a diff mask, label its 8-connected components, filter, order, cap and merge them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/types.hpp"

namespace qf {

struct ClusterOptions {
  std::size_t min_pixels = 16;
  std::size_t min_side = 0;
  std::size_t dilation = 4;
  std::optional<std::size_t> max_clusters;
  std::size_t merge_gap = 0;
  double merge_overlap = 0.5;
};

struct ClusterRecord {
  std::size_t x = 0, y = 0, width = 0, height = 0;
  double centroid_x = 0.0, centroid_y = 0.0;
  std::size_t pixel_count = 0;
  std::size_t merged_from = 1;
};

struct ClusterList {
  std::vector<ClusterRecord> clusters;  // largest first
  std::size_t total_clusters = 0;       // before the cap and before merging
  bool truncated = false;
};

// mask: width × height bytes, non-zero = set. Runs on the calling thread.
ClusterList cluster_mask(ByteView mask, std::size_t width, std::size_t height, const ClusterOptions& options);

}  // namespace qf
