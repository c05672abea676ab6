// The diff image, cluster mask and SSIM of a pair with the shift of an alignment taken out, in current-image
// coordinates (W × Hc).
#include <cstring>

#include "alignment/alignment.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "ssim/ssim.hpp"

namespace qf {

namespace {

// Copies `len` rows starting at row `from` of `source` over rows starting at `to` of `target` (same width).
void copy_rows(const Bytes& source, std::size_t from, Bytes& target, std::size_t to, std::size_t len,
               std::size_t row_bytes) {
  if (len == 0 || row_bytes == 0) return;
  std::memcpy(target.data() + to * row_bytes, source.data() + from * row_bytes, len * row_bytes);
}

void paint_row(Bytes& out, std::size_t row, std::size_t width, Rgb color) {
  uint8_t* p = out.data() + row * width * 4;
  for (std::size_t x = 0; x < width; ++x, p += 4) {
    p[0] = color.r;
    p[1] = color.g;
    p[2] = color.b;
    p[3] = 255;
  }
}

}  // namespace

Status validate_alignment(const ImagePair& pair, const AlignmentRecord& record, uint64_t fingerprint) {
  if (!record.aligned) return err::alignment_failed();
  if (record.width != pair.canvas_width || record.baseline_height != pair.baseline_height ||
      record.current_height != pair.current_height || record.pair_fingerprint != fingerprint)
    return err::alignment_mismatch();
  return std::nullopt;
}

Result<Bytes> faded_current(const ImagePair& pair, double alpha) {
  auto n = pixel_count(pair.canvas_width, pair.current_height);
  if (!n) return n.error();
  Bytes out(*n * 4);
  const uint8_t* src = pair.current.data();
  // Screenshots repeat a pixel along most of a row: its grey is worked out once per run.
  uint32_t last = 0;
  uint8_t v = grey_value(0, 0, 0, 0, alpha);
  for (std::size_t i = 0; i < *n * 4; i += 4) {
    uint32_t word;
    std::memcpy(&word, src + i, 4);
    if (word != last) {
      last = word;
      v = grey_value(src[i], src[i + 1], src[i + 2], src[i + 3], alpha);
    }
    out[i] = out[i + 1] = out[i + 2] = v;
    out[i + 3] = 255;
  }
  return out;
}

Result<Bytes> render_aligned_diff(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options) {
  if (auto e = check_diff_options(options)) return *e;
  const std::size_t w = pair.canvas_width, hc = pair.current_height;
  auto faded = faded_current(pair, options.alpha);
  if (!faded) return faded.error();
  Bytes out = std::move(*faded);

  for (const SegmentRecord& s : record.resolved_segments) {
    if (s.kind != SegmentKind::Replace) continue;
    const SegmentWindow win = segment_window(pair, s);
    auto drawn = render_diff(win.baseline, win.current, w, win.rows, options);
    if (!drawn) return std::move(drawn).error();
    copy_rows(drawn->rgba, win.before, out, s.current_start, s.len, w * 4);
  }

  for (const BandRecord& band : extract_bands(record.resolved_segments)) {
    if (band.deleted) {
      if (band.y < hc) paint_row(out, band.y, w, options.diff_color_alt.value_or(options.diff_color));
      continue;
    }
    for (std::size_t r = band.y; r < band.y + band.rows && r < hc; ++r) paint_row(out, r, w, options.diff_color);
  }
  return out;
}

Result<Bytes> build_aligned_mask(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options) {
  if (auto e = check_diff_options(options)) return *e;
  const std::size_t w = pair.canvas_width;
  auto n = pixel_count(w, pair.current_height);
  if (!n) return n.error();
  Bytes mask(*n, 0);
  for (const SegmentRecord& s : record.resolved_segments) {
    if (s.kind != SegmentKind::Replace) continue;
    auto rows = changed_rows_mask(pair, s, options);
    if (!rows) return std::move(rows).error();
    copy_rows(*rows, 0, mask, s.current_start, s.len, w);
  }
  return mask;
}

GatheredRows gather_matched_rows(const ImagePair& pair, const AlignmentRecord& record) {
  GatheredRows g;
  const std::size_t row_bytes = pair.canvas_width * 4;
  for (const SegmentRecord& s : record.segments)
    if (s.kind == SegmentKind::Equal || s.kind == SegmentKind::Replace) g.rows += s.len;
  if (row_bytes == 0) return g;
  g.baseline.resize(g.rows * row_bytes);
  g.current.resize(g.rows * row_bytes);
  std::size_t at = 0;
  for (const SegmentRecord& s : record.segments) {
    if (s.kind != SegmentKind::Equal && s.kind != SegmentKind::Replace) continue;
    copy_rows(pair.baseline, s.baseline_start, g.baseline, at, s.len, row_bytes);
    copy_rows(pair.current, s.current_start, g.current, at, s.len, row_bytes);
    at += s.len;
  }
  return g;
}

Result<Bytes> aligned_diff_png(const ImagePair& pair, const AlignmentRecord& record, const DiffOptions& options) {
  if (auto e = validate_alignment(pair, record, fingerprint_of(pair))) return *e;
  auto rgba = render_aligned_diff(pair, record, options);
  if (!rgba) return std::move(rgba).error();
  return encode_png(*rgba, pair.canvas_width, pair.current_height);
}

Result<ClusterList> aligned_cluster_list(const ImagePair& pair, const AlignmentRecord& record,
                                         const DiffOptions& options, const ClusterOptions& clusters) {
  if (auto e = validate_alignment(pair, record, fingerprint_of(pair))) return *e;
  auto mask = build_aligned_mask(pair, record, options);
  if (!mask) return std::move(mask).error();
  return cluster_mask(*mask, pair.canvas_width, pair.current_height, clusters);
}

Result<double> aligned_ssim_score(const ImagePair& pair, const AlignmentRecord& record) {
  if (auto e = validate_alignment(pair, record, fingerprint_of(pair))) return *e;
  if (pair.canvas_width == 0) return 1.0;
  GatheredRows g = gather_matched_rows(pair, record);
  if (g.rows == 0) return 1.0;
  return ssim_rgba(g.baseline, g.current, pair.canvas_width, g.rows);
}

}  // namespace qf
