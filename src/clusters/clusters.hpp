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
  // The set pixels of the mask itself inside the group (before the dilation grew it) and their bounding box
  // (empty when there are none): what a count of changed pixels adds up from.
  std::size_t own_pixels = 0;
  std::size_t own_x = 0, own_y = 0, own_width = 0, own_height = 0;
};

struct ClusterList {
  std::vector<ClusterRecord> clusters;  // largest first
  std::size_t total_clusters = 0;       // before the cap and before merging
  bool truncated = false;
};

// mask: width × height bytes, non-zero = set. Runs on the calling thread.
ClusterList cluster_mask(ByteView mask, std::size_t width, std::size_t height, const ClusterOptions& options);

// The stages of cluster_mask, exposed for testing.

// A new 0/1 mask: set where some set pixel lies within `radius` columns and rows (radius >= 1).
Bytes dilate_mask(ByteView mask, std::size_t width, std::size_t height, std::size_t radius);

struct Labeling {
  std::vector<uint32_t> labels;  // per pixel, 0 = background
  std::vector<uint32_t> parent;  // union–find over labels; entry 0 is never used by a pixel
  std::vector<uint8_t> rank;
};
// 8-connected two-pass labelling. Needing a label above `max_label` is an InternalFault (labels never wrap).
Labeling label_components(ByteView mask, std::size_t width, std::size_t height,
                          uint32_t max_label = UINT32_MAX);

// Repeated passes merging boxes that overlap, or lie within merge_gap of each other with enough overlap across.
void merge_clusters(std::vector<ClusterRecord>& records, std::size_t merge_gap, double merge_overlap);

}  // namespace qf
