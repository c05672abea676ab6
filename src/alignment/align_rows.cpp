// align_rows end to end, and the pixel windows of changed segments that its residual count and the
// shift-aware outputs compare.
#include <cmath>

#include "alignment/alignment.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace qf {

SegmentWindow segment_window(const ImagePair& pair, const SegmentRecord& s) {
  const std::size_t b = s.baseline_start, c = s.current_start;
  if (b > pair.baseline_height || s.len > pair.baseline_height - b || c > pair.current_height ||
      s.len > pair.current_height - c)
    throw InternalFault("segment outside the images");
  SegmentWindow w;
  w.before = b > 0 && c > 0 ? 1 : 0;
  const std::size_t after = b + s.len < pair.baseline_height && c + s.len < pair.current_height ? 1 : 0;
  w.rows = s.len + w.before + after;
  const std::size_t row_bytes = pair.canvas_width * 4;
  w.baseline = ByteView(pair.baseline).subspan((b - w.before) * row_bytes, w.rows * row_bytes);
  w.current = ByteView(pair.current).subspan((c - w.before) * row_bytes, w.rows * row_bytes);
  return w;
}

Result<Bytes> changed_rows_mask(const ImagePair& pair, const SegmentRecord& segment, const DiffOptions& options) {
  const SegmentWindow w = segment_window(pair, segment);
  auto mask = build_diff_mask(w.baseline, w.current, pair.canvas_width, w.rows, options);
  if (!mask) return std::move(mask).error();
  const std::size_t row_bytes = pair.canvas_width;
  const auto first = mask->bits.begin() + static_cast<std::ptrdiff_t>(w.before * row_bytes);
  return Bytes(first, first + static_cast<std::ptrdiff_t>(segment.len * row_bytes));
}

Result<AlignmentRecord> align_rows(const ImagePair& pair, const DiffOptions& diff, const AlignOptions& align) {
  if (auto e = check_diff_options(diff)) return *e;
  if (!std::isfinite(align.max_edit_ratio) || !in_unit_range(align.max_edit_ratio))
    return err::invalid_argument(EDIT_RATIO_RANGE_MESSAGE);

  AlignmentRecord unaligned;
  unaligned.width = pair.canvas_width;
  unaligned.baseline_height = pair.baseline_height;
  unaligned.current_height = pair.current_height;
  if (pair.baseline_width != pair.current_width) return unaligned;

  const PairKeys keys = pair_row_keys(pair);
  const std::vector<RowKey>& bk = keys.baseline;
  const std::vector<RowKey>& ck = keys.current;
  auto script = search_edit_runs(bk, ck, edit_budget(bk.size(), ck.size(), align));
  if (!script) return unaligned;

  AlignmentRecord record = record_from_script(std::move(*script), bk, ck);
  for (const SegmentRecord& s : record.segments) {
    if (s.kind != SegmentKind::Replace) continue;
    auto mask = changed_rows_mask(pair, s, diff);
    if (!mask) return std::move(mask).error();
    for (uint8_t bit : *mask) record.residual_count += bit != 0;
  }
  record.width = unaligned.width;
  record.baseline_height = unaligned.baseline_height;
  record.current_height = unaligned.current_height;
  record.pair_fingerprint = pair_fingerprint(bk, ck);
  return record;
}

}  // namespace qf
