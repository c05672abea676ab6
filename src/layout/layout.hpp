// Shift analysis of page layouts. Real pages rarely move as whole rows: a content pane scrolls beside a fixed
// sidebar, under a sticky header or next to a right-hand table of contents, and two panes may move on their
// own. The canvas is cut into column regions: static regions, compared pixel for pixel at the same place, and
// moved regions, whose rows are keyed on the region's columns only and aligned with the same shortest
// insert/delete search and budget as the whole-row alignment. What is left after the shifts are taken out is
// the residual: the real changes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "alignment/alignment.hpp"
#include "clusters/clusters.hpp"
#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"

namespace qf {

// Columns [x0, x1) of the canvas and how their rows map from the baseline to the current image.
struct ColumnRegion {
  std::size_t x0 = 0, x1 = 0;
  // True when the region's rows were aligned on their own and rows moved; false for a static region, whose
  // rows pair with the rows at the same height (the rows below the shorter image are inserted or deleted at
  // the bottom).
  bool moved = false;
  std::vector<SegmentRecord> segments;  // resolved segments; Equal, Replace, Insert and Delete as in alignment
  std::vector<BandRecord> bands;        // the inserted and deleted row runs of `segments`
  friend bool operator==(const ColumnRegion&, const ColumnRegion&) = default;
};

enum class LayoutVerdict {
  Unaligned,  // the widths differ: no column can be paired
  Unchanged,  // no row moved and no pixel differs
  Shifted,    // rows moved, and nothing else changed
  Changed,    // pixels differ beyond the shifts (the residual), with or without moved rows
};

struct LayoutRecord {
  std::vector<ColumnRegion> regions;  // left to right, covering [0, width) without gaps; empty when Unaligned
  uint64_t residual_count = 0;        // differing pixels once the shifts are taken out (the residual mask's count)
  LayoutVerdict verdict = LayoutVerdict::Unaligned;
  std::size_t width = 0, baseline_height = 0, current_height = 0;
  std::size_t searches = 0;  // edit searches made, found or not (each bounded by the alignment budget)

  bool any_moved() const;
};

// A shift band with its columns, as the product layer reports it.
struct ColumnBand {
  bool deleted = false;
  std::size_t y = 0, rows = 0, x0 = 0, x1 = 0;
  friend bool operator==(const ColumnBand&, const ColumnBand&) = default;
};
std::vector<ColumnBand> column_bands(const LayoutRecord& record);

struct LayoutOptions {
  std::size_t strip_gap = 16;       // unchanged columns that part two groups of changed columns searched apart
  std::size_t max_candidates = 4;   // candidate shifts tried at most
  std::size_t max_failed = 3;       // candidate searches that may fail before the analysis stops looking
  std::size_t max_moved = 8;        // moved regions kept at most (the widest)
  std::size_t max_searches = 12;    // edit searches in all, candidates and regions: the bound on the cost
  // When no column moved, the residual is the plain count of differing pixels; a caller that has it already
  // may let that count stop early once it exceeds this cap (as a capped count does).
  std::optional<uint64_t> static_residual_cap;
};

// The analysis. The same threshold, alpha and edit-ratio checks and errors as align_rows.
Result<LayoutRecord> analyze_layout(const ImagePair& pair, const DiffOptions& diff, const AlignOptions& align,
                                    const LayoutOptions& layout = {});

// W × Hc mask (1 = residual differing pixel), in current-image coordinates.
Result<Bytes> layout_residual_mask(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options);
// W × Hc RGBA: the current image in faded grey, the residual drawn as the diff image draws changes, inserted
// rows of each band painted in diff_color over its columns, a deleted run marked by one row in diff_color_alt
// (or diff_color).
Result<Bytes> render_layout_diff(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options);
Result<ClusterList> layout_clusters(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options,
                                    const ClusterOptions& clusters);

// Per column, how many row pairs of `equal_runs` (baseline row b + i against current row c + i) differ in that
// column; fully transparent pixels are equal whatever their colour. Exposed for testing.
std::vector<uint64_t> column_mismatches(const ImagePair& pair, const std::vector<EditRun>& equal_runs);

}  // namespace qf
