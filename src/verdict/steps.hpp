// The steps of the verdict that are its own: the count that also marks the diff mask and finds where the images
// first differ, the product layer's reading of shift bands, and the pair with a column shift undone.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "alignment/alignment.hpp"
#include "clusters/clusters.hpp"
#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"
#include "layout/layout.hpp"
#include "ssim/ssim.hpp"
#include "verdict/verdict.hpp"

namespace qf::verdict {

// The Different pixels of the pair's canvases, counted and marked in one pass, and the first row and column where
// any byte differs (a bound on where luma can first differ).
struct CountedPair {
  Bytes mask;  // canvas width × height, 1 for a Different pixel; empty when no byte differs
  uint64_t count = 0;
  LumaStart start;  // (canvas height, canvas width) when no byte differs
};
Result<CountedPair> count_and_mask(const ImagePair& pair, const DiffOptions& options);

// cluster_mask with the default options, of the box around the set pixels only (the same clusters). The mask's
// set bytes must be 1.
ClusterList clusters_of(ByteView mask, std::size_t width, std::size_t height);

// Segments of one column band [x0, x1) whose inserted (or deleted) blocks are split by a short run of rows that
// only happen to equal rows of the page, such as blank rows inside a banner: each such run is slid past the
// second block when the rows it would then pair are equal too, so the two blocks become one. The rows paired
// stay equal, so nothing but the bands changes.
std::vector<SegmentRecord> merge_split_blocks(std::vector<SegmentRecord> segments, const ImagePair& pair,
                                              std::size_t x0, std::size_t x1);

// The bands of one column band's segments, with `at_edge` set on rows pushed out of a fixed-height capture.
void append_bands(const std::vector<SegmentRecord>& segments, std::size_t x0, std::size_t x1,
                  const ImagePair& pair, std::vector<VerdictBand>& out);

// The current image with the shifts of a layout undone, in the baseline's rows (canvas width × baseline height):
// each region's matched rows put back at their baseline rows, its inserted rows dropped, its deleted rows taken
// from the baseline.
Bytes undo_layout_shift(const ImagePair& pair, const LayoutRecord& record);

// SSIM of the baseline and the current image over the rows an alignment matched (as the engine's aligned SSIM).
Result<double> matched_rows_ssim(const ImagePair& pair, const AlignmentRecord& record);

// SSIM of the baseline and the current image with a layout's shifts undone.
Result<double> undone_ssim(const ImagePair& pair, const LayoutRecord& record);

// Process CPU time spent in each step, when asked for.
class StepClock {
 public:
  explicit StepClock(bool on) {
    if (on) seconds_.emplace(static_cast<std::size_t>(VerdictStep::COUNT), 0.0);
    last_ = now();
  }
  // Charges the time since the last call to `step`.
  void done(VerdictStep step) {
    if (!seconds_) return;
    const double t = now();
    (*seconds_)[static_cast<std::size_t>(step)] += t - last_;
    last_ = t;
  }
  std::optional<std::vector<double>> take() { return std::move(seconds_); }

 private:
  double now() const {
    if (!seconds_) return 0.0;
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  std::optional<std::vector<double>> seconds_;
  double last_ = 0.0;
};

// The verdict of a decoded pair (verdict_of_pair), its steps charged to `clock`.
Result<Verdict> run(const ImagePair& pair, const VerdictOptions& options, bool identical,
                    std::optional<GivenImage> given_current, StepClock& clock);

}  // namespace qf::verdict
