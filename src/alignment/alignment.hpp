// Row alignment: keys for every row, the shortest row insert/delete script within a budget, its clean-ups into
// segments, shift bands and counts, and the diff image, mask and SSIM with the shift taken out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "alignment/siphash.hpp"
#include "clusters/clusters.hpp"
#include "core/error.hpp"
#include "core/image_pair.hpp"
#include "core/options.hpp"
#include "core/types.hpp"

namespace qf {

// ---- Row keys and the pair fingerprint ----------------------------------------------------------------------

using RowKey = uint64_t;
using KeyView = std::span<const RowKey>;

// Row keys and fingerprints never leave the process, so any fixed key serves; this one is ours for good.
inline constexpr SipKey ROW_HASH_KEY{0x71756c6c66656e2dull, 0x726f772d6b657973ull};

// Rows narrower than this are hashed in groups, so that a task is worth handing to the pool.
inline constexpr std::size_t ROW_KEY_GRAIN_BYTES = 16384;

// The key of one row (length a multiple of 4): fully transparent pixels count as four zero bytes.
RowKey row_key(ByteView row);
// Keys of the first `rows` rows of a canvas `width` pixels wide, in row order. Empty when width is 0.
std::vector<RowKey> row_keys(ByteView canvas, std::size_t width, std::size_t rows);
// The same keys taken over columns [x0, x1) of each row only (0 <= x0 < x1 <= width): a column band's own rows.
std::vector<RowKey> band_row_keys(ByteView canvas, std::size_t width, std::size_t rows, std::size_t x0,
                                  std::size_t x1);
struct PairKeys {
  std::vector<RowKey> baseline, current;
};
// Keys of the baseline's Hb and the current image's Hc rows over the canvas width. A current row whose bytes
// equal the baseline row at the same index takes that row's key instead of being hashed again.
PairKeys pair_row_keys(const ImagePair& pair);
uint64_t pair_fingerprint(KeyView baseline_keys, KeyView current_keys);
// The pair's fingerprint, computed and cached on first use.
uint64_t fingerprint_of(const ImagePair& pair);
// Stores the fingerprint unless the cell is already filled.
void seed_fingerprint(const ImagePair& pair, uint64_t value);

// ---- Search -------------------------------------------------------------------------------------------------

struct AlignOptions {
  double max_edit_ratio = 0.25;
  std::size_t max_edit_rows = 2048;
};

enum class RunKind { Equal, Insert, Delete };

struct EditRun {
  std::size_t baseline_start = 0, current_start = 0, len = 0;
  RunKind kind = RunKind::Equal;
  friend bool operator==(const EditRun&, const EditRun&) = default;
};

struct EditScript {
  uint64_t distance = 0;
  std::vector<EditRun> runs;
};

std::size_t edit_budget(std::size_t n, std::size_t m, const AlignOptions& options);
// The shortest script within `budget` edits, or nullopt; also nullopt when the trace would outgrow
// `trace_limit_bytes` (by default half the physical memory) or cannot be allocated.
std::optional<EditScript> search_edit_runs(KeyView baseline_keys, KeyView current_keys, std::size_t budget);
std::optional<EditScript> search_edit_runs(KeyView baseline_keys, KeyView current_keys, std::size_t budget,
                                           uint64_t trace_limit_bytes);

// ---- Result -------------------------------------------------------------------------------------------------

enum class SegmentKind { Equal = 0, Replace = 1, Insert = 2, Delete = 3 };

struct SegmentRecord {
  std::size_t baseline_start = 0, current_start = 0, len = 0;
  SegmentKind kind = SegmentKind::Equal;
  friend bool operator==(const SegmentRecord&, const SegmentRecord&) = default;
};

struct BandRecord {
  std::size_t y = 0, rows = 0;
  bool deleted = false;
  friend bool operator==(const BandRecord&, const BandRecord&) = default;
};

struct AlignmentRecord {
  std::vector<SegmentRecord> segments;
  std::vector<BandRecord> bands;
  std::vector<SegmentRecord> resolved_segments;
  uint64_t edit_distance = 0, inserted_rows = 0, deleted_rows = 0, changed_rows = 0, residual_count = 0;
  std::size_t width = 0, baseline_height = 0, current_height = 0;
  uint64_t pair_fingerprint = 0;
  bool aligned = false;
};

using KeySet = std::unordered_set<RowKey>;

// The clean-ups, in the order align_rows applies them.
void slide_runs(std::vector<EditRun>& runs, KeyView baseline_keys, KeyView current_keys);
std::vector<SegmentRecord> pair_replacements(const std::vector<EditRun>& runs);
KeySet repeated_keys(KeyView baseline_keys, KeyView current_keys);
std::vector<SegmentRecord> resolve_shift_groups(const std::vector<SegmentRecord>& segments, KeyView baseline_keys,
                                                KeyView current_keys, const KeySet& repeated);
std::vector<BandRecord> extract_bands(const std::vector<SegmentRecord>& segments);

// Everything align_rows computes from the key vectors alone (the residual count and identity fields aside).
AlignmentRecord record_from_script(EditScript script, KeyView baseline_keys, KeyView current_keys);

// The rows of a segment plus up to one context row above and below, from both canvases.
struct SegmentWindow {
  ByteView baseline, current;  // `rows` rows of the canvas width each
  std::size_t rows = 0;
  std::size_t before = 0;  // index of the segment's first row inside the windows
};
SegmentWindow segment_window(const ImagePair& pair, const SegmentRecord& segment);
// W × len mask bytes of the segment's rows, judged with the window's context rows.
Result<Bytes> changed_rows_mask(const ImagePair& pair, const SegmentRecord& segment, const DiffOptions& options);

Result<AlignmentRecord> align_rows(const ImagePair& pair, const DiffOptions& diff, const AlignOptions& align);

// ---- Shift-aware outputs ------------------------------------------------------------------------------------

Status validate_alignment(const ImagePair& pair, const AlignmentRecord& record, uint64_t fingerprint);
// W × Hc RGBA: the current image in faded grey, the background every shift-aware diff image is drawn on.
Result<Bytes> faded_current(const ImagePair& pair, double alpha);
// W × Hc RGBA, every alpha 255 (encode_png turns it into the aligned diff image).
Result<Bytes> render_aligned_diff(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options);
// W × Hc mask of the changed content only.
Result<Bytes> build_aligned_mask(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options);

struct GatheredRows {
  Bytes baseline, current;
  std::size_t rows = 0;
};
GatheredRows gather_matched_rows(const ImagePair& pair, const AlignmentRecord& record);

// The three outputs with their fingerprint and validation steps, as the Comparison methods call them.
Result<Bytes> aligned_diff_png(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options);
Result<ClusterList> aligned_cluster_list(const ImagePair& pair, const AlignmentRecord& record,
                                         const DiffOptions& options, const ClusterOptions& clusters);
Result<double> aligned_ssim_score(const ImagePair& pair, const AlignmentRecord& record);

}  // namespace qf
