// How the verdict reads shifts: bands merged across rows that only happen to match, rows pushed out of a
// fixed-height capture, and the SSIM of a pair with its shift taken out.
#include <algorithm>
#include <cstring>

#include "verdict/steps.hpp"

namespace qf::verdict {

namespace {

// Whether rows a and b of a canvas hold the same bytes over columns [x0, x1).
bool same_rows(const Bytes& canvas, std::size_t width, std::size_t x0, std::size_t x1, std::size_t a,
               std::size_t b, std::size_t count) {
  const std::size_t row = width * 4, offset = x0 * 4, len = (x1 - x0) * 4;
  for (std::size_t k = 0; k < count; ++k)
    if (std::memcmp(canvas.data() + (a + k) * row + offset, canvas.data() + (b + k) * row + offset, len) != 0)
      return false;
  return true;
}

bool is_shift(SegmentKind kind) { return kind == SegmentKind::Insert || kind == SegmentKind::Delete; }

// Joins neighbouring Equal segments that continue each other.
void join_equal(std::vector<SegmentRecord>& segments) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const SegmentRecord& s = segments[i];
    if (out > 0) {
      SegmentRecord& last = segments[out - 1];
      if (last.kind == SegmentKind::Equal && s.kind == SegmentKind::Equal &&
          last.baseline_start + last.len == s.baseline_start && last.current_start + last.len == s.current_start) {
        last.len += s.len;
        continue;
      }
    }
    segments[out++] = s;
  }
  segments.resize(out);
}

// The rows of a three-segment run (shift, equal, shift of the same kind) as one shift and one equal run, when the
// rows paired afterwards are equal as well; false when they are not.
bool merge_once(SegmentRecord& first, SegmentRecord& middle, const SegmentRecord& second, const ImagePair& pair,
                std::size_t x0, std::size_t x1) {
  const bool inserted = first.kind == SegmentKind::Insert;
  const Bytes& image = inserted ? pair.current : pair.baseline;
  const std::size_t w = pair.canvas_width, e = middle.len;
  // The matched rows as seen in the image the shift belongs to: current rows for an insertion, baseline rows for
  // a deletion.
  const std::size_t matched = inserted ? middle.current_start : middle.baseline_start;
  const std::size_t first_at = inserted ? first.current_start : first.baseline_start;
  const std::size_t total = first.len + second.len;
  if (same_rows(image, w, x0, x1, matched, matched + second.len, e)) {
    // The equal run moves below the second block.
    if (inserted) middle = {middle.baseline_start, first.current_start + total, e, SegmentKind::Equal};
    else middle = {first.baseline_start + total, middle.current_start, e, SegmentKind::Equal};
    first.len = total;
    return true;
  }
  if (same_rows(image, w, x0, x1, first_at, matched, e)) {
    // The equal run moves above the first block.
    const SegmentRecord moved = inserted
                                    ? SegmentRecord{middle.baseline_start, first.current_start, e, SegmentKind::Equal}
                                    : SegmentRecord{first.baseline_start, first.current_start, e, SegmentKind::Equal};
    const SegmentRecord block = inserted ? SegmentRecord{middle.baseline_start + e, first.current_start + e, total,
                                                         SegmentKind::Insert}
                                         : SegmentRecord{first.baseline_start + e, first.current_start + e, total,
                                                         SegmentKind::Delete};
    first = moved;
    middle = block;
    return true;
  }
  return false;
}

}  // namespace

std::vector<SegmentRecord> merge_split_blocks(std::vector<SegmentRecord> segments, const ImagePair& pair,
                                              std::size_t x0, std::size_t x1) {
  if (x0 >= x1 || x1 > pair.canvas_width) return segments;
  bool merged = true;
  while (merged) {
    merged = false;
    for (std::size_t i = 0; i + 2 < segments.size(); ++i) {
      SegmentRecord &a = segments[i], &e = segments[i + 1];
      const SegmentRecord& b = segments[i + 2];
      // Only a short run between two blocks of the same kind: a long one is content of its own.
      if (!is_shift(a.kind) || b.kind != a.kind || e.kind != SegmentKind::Equal || e.len > a.len + b.len) continue;
      if (!merge_once(a, e, b, pair, x0, x1)) continue;
      segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      join_equal(segments);
      merged = true;
      break;
    }
  }
  return segments;
}

void append_bands(const std::vector<SegmentRecord>& segments, std::size_t x0, std::size_t x1, const ImagePair& pair,
                  std::vector<VerdictBand>& out) {
  const std::size_t hb = pair.baseline_height, hc = pair.current_height;
  const bool inserts = std::any_of(segments.begin(), segments.end(),
                                   [](const SegmentRecord& s) { return s.kind == SegmentKind::Insert; });
  for (const SegmentRecord& s : segments) {
    if (s.kind == SegmentKind::Insert) {
      out.push_back({false, s.current_start, s.len, x0, x1, false});
    } else if (s.kind == SegmentKind::Delete) {
      // Rows leave a capture of fixed height at its bottom (or top) when rows are inserted elsewhere in it.
      const bool bottom = s.baseline_start + s.len == hb && s.current_start == hc;
      const bool top = s.baseline_start == 0 && s.current_start == 0;
      out.push_back({true, s.current_start, s.len, x0, x1, hb == hc && inserts && (bottom || top)});
    }
  }
}

Bytes undo_layout_shift(const ImagePair& pair, const LayoutRecord& record) {
  const std::size_t w = pair.canvas_width, hb = pair.baseline_height, row = w * 4;
  Bytes out(pair.baseline.begin(), pair.baseline.begin() + static_cast<std::ptrdiff_t>(hb * row));
  for (const ColumnRegion& r : record.regions) {
    const std::size_t offset = r.x0 * 4, len = (r.x1 - r.x0) * 4;
    for (const SegmentRecord& s : r.segments) {
      if (s.kind != SegmentKind::Equal && s.kind != SegmentKind::Replace) continue;
      if (s.baseline_start + s.len > hb || s.current_start + s.len > pair.current_height)
        throw InternalFault("layout segment outside the images");
      for (std::size_t k = 0; k < s.len; ++k)
        std::memcpy(out.data() + (s.baseline_start + k) * row + offset,
                    pair.current.data() + (s.current_start + k) * row + offset, len);
    }
  }
  return out;
}

Result<double> matched_rows_ssim(const ImagePair& pair, const AlignmentRecord& record) {
  if (pair.canvas_width == 0) return 1.0;
  GatheredRows g = gather_matched_rows(pair, record);
  if (g.rows == 0) return 1.0;
  return ssim_rgba_streamed(g.baseline, g.current, pair.canvas_width, g.rows);
}

Result<double> undone_ssim(const ImagePair& pair, const LayoutRecord& record) {
  const std::size_t w = pair.canvas_width, hb = pair.baseline_height;
  if (w == 0 || hb == 0) return 1.0;
  const Bytes undone = undo_layout_shift(pair, record);
  return ssim_rgba_streamed(ByteView(pair.baseline).first(hb * w * 4), undone, w, hb);
}

}  // namespace qf::verdict
