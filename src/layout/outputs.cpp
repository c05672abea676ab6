// The residual of a layout analysis: mask, diff image and clusters, in current-image coordinates (W × Hc).
#include <algorithm>
#include <cstring>

#include "core/size.hpp"
#include "layout/layout.hpp"
#include "layout/regions.hpp"
#include "pixeldiff/pixeldiff.hpp"

namespace qf {

using detail::CompareBlock;

namespace {

Status validate_layout(const ImagePair& pair, const LayoutRecord& record) {
  if (record.width != pair.canvas_width || record.baseline_height != pair.baseline_height ||
      record.current_height != pair.current_height)
    return err::alignment_mismatch();
  if (pair.canvas_width == 0) return std::nullopt;
  if (record.regions.empty()) return err::alignment_failed();
  std::size_t x = 0;
  for (const ColumnRegion& r : record.regions) {
    if (r.x0 != x || r.x1 <= r.x0) return err::alignment_mismatch();
    x = r.x1;
  }
  if (x != pair.canvas_width) return err::alignment_mismatch();
  return std::nullopt;
}

// Runs of rows (over the common height) whose bytes differ in columns [x0, x1).
void dirty_blocks(const ImagePair& pair, std::size_t x0, std::size_t x1, std::vector<CompareBlock>& out) {
  const std::size_t common = std::min(pair.baseline_height, pair.current_height);
  const std::size_t row_bytes = pair.canvas_width * 4, offset = x0 * 4, len = (x1 - x0) * 4;
  std::size_t y = 0;
  while (y < common) {
    auto same = [&](std::size_t r) {
      return std::memcmp(pair.baseline.data() + r * row_bytes + offset, pair.current.data() + r * row_bytes + offset,
                         len) == 0;
    };
    if (same(y)) {
      ++y;
      continue;
    }
    std::size_t end = y + 1;
    while (end < common && !same(end)) ++end;
    out.push_back({y, y, end - y, x0, x1});
    y = end;
  }
}

std::vector<CompareBlock> compared_blocks(const ImagePair& pair, const LayoutRecord& record) {
  std::vector<CompareBlock> blocks;
  for (const ColumnRegion& r : record.regions) {
    if (!r.moved) {
      dirty_blocks(pair, r.x0, r.x1, blocks);
      continue;
    }
    for (const SegmentRecord& s : r.segments) {
      if (s.kind != SegmentKind::Replace) continue;
      if (s.baseline_start > pair.baseline_height || s.len > pair.baseline_height - s.baseline_start ||
          s.current_start > pair.current_height || s.len > pair.current_height - s.current_start)
        throw InternalFault("layout segment outside the images");
      blocks.push_back({s.baseline_start, s.current_start, s.len, r.x0, r.x1});
    }
  }
  return blocks;
}

// The block's rows and columns with up to one context row above and below and one context column on each
// side, copied from both canvases, so that the anti-aliasing test sees the real neighbours at its edges.
struct Crop {
  Bytes baseline, current;
  std::size_t width = 0, rows = 0, left = 0, top = 0;
};

Crop crop_block(const ImagePair& pair, const CompareBlock& k) {
  Crop c;
  const std::size_t w = pair.canvas_width;
  c.top = k.b > 0 && k.c > 0 ? 1 : 0;
  const std::size_t after = k.b + k.len < pair.baseline_height && k.c + k.len < pair.current_height ? 1 : 0;
  c.left = k.x0 > 0 ? 1 : 0;
  const std::size_t right = k.x1 < w ? 1 : 0;
  c.width = k.x1 - k.x0 + c.left + right;
  c.rows = k.len + c.top + after;
  c.baseline.resize(c.width * c.rows * 4);
  c.current.resize(c.width * c.rows * 4);
  for (std::size_t r = 0; r < c.rows; ++r) {
    const std::size_t at = r * c.width * 4, from = (k.x0 - c.left) * 4;
    std::memcpy(c.baseline.data() + at, pair.baseline.data() + (k.b - c.top + r) * w * 4 + from, c.width * 4);
    std::memcpy(c.current.data() + at, pair.current.data() + (k.c - c.top + r) * w * 4 + from, c.width * 4);
  }
  return c;
}

// Copies the block's interior from a crop-shaped plane (`bytes_per_pixel` wide) into the W × Hc output.
void copy_interior(const Bytes& plane, const Crop& c, const CompareBlock& k, Bytes& out, std::size_t w,
                   std::size_t bytes_per_pixel) {
  for (std::size_t r = 0; r < k.len; ++r) {
    const uint8_t* src = plane.data() + ((c.top + r) * c.width + c.left) * bytes_per_pixel;
    std::memcpy(out.data() + ((k.c + r) * w + k.x0) * bytes_per_pixel, src, (k.x1 - k.x0) * bytes_per_pixel);
  }
}

void paint(Bytes& out, std::size_t w, std::size_t row, std::size_t x0, std::size_t x1, Rgb color) {
  uint8_t* p = out.data() + (row * w + x0) * 4;
  for (std::size_t x = x0; x < x1; ++x, p += 4) {
    p[0] = color.r;
    p[1] = color.g;
    p[2] = color.b;
    p[3] = 255;
  }
}

}  // namespace

ColumnRegion static_region(std::size_t x0, std::size_t x1, std::size_t n, std::size_t m) {
  ColumnRegion r{x0, x1, false, {}, {}};
  const std::size_t common = std::min(n, m);
  if (common > 0) r.segments.push_back({0, 0, common, SegmentKind::Equal});
  if (m > n) r.segments.push_back({n, n, m - n, SegmentKind::Insert});
  if (n > m) r.segments.push_back({m, m, n - m, SegmentKind::Delete});
  r.bands = extract_bands(r.segments);
  return r;
}

Result<Bytes> layout_residual_mask(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options) {
  if (auto e = check_diff_options(options)) return *e;
  if (auto e = validate_layout(pair, record)) return *e;
  const std::size_t w = pair.canvas_width;
  auto n = pixel_count(w, pair.current_height);
  if (!n) return n.error();
  Bytes mask(*n, 0);
  for (const CompareBlock& k : compared_blocks(pair, record)) {
    const Crop c = crop_block(pair, k);
    auto bits = build_diff_mask(c.baseline, c.current, c.width, c.rows, options);
    if (!bits) return std::move(bits).error();
    copy_interior(bits->bits, c, k, mask, w, 1);
  }
  return mask;
}

Result<Bytes> render_layout_diff(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options) {
  if (auto e = check_diff_options(options)) return *e;
  if (auto e = validate_layout(pair, record)) return *e;
  const std::size_t w = pair.canvas_width, hc = pair.current_height;
  auto faded = faded_current(pair, options.alpha);
  if (!faded) return faded.error();
  Bytes out = std::move(*faded);
  for (const CompareBlock& k : compared_blocks(pair, record)) {
    const Crop c = crop_block(pair, k);
    auto drawn = render_diff(c.baseline, c.current, c.width, c.rows, options);
    if (!drawn) return std::move(drawn).error();
    copy_interior(drawn->rgba, c, k, out, w, 4);
  }
  for (const ColumnRegion& r : record.regions) {
    for (const BandRecord& b : r.bands) {
      if (b.deleted) {
        if (b.y < hc) paint(out, w, b.y, r.x0, r.x1, options.diff_color_alt.value_or(options.diff_color));
        continue;
      }
      for (std::size_t y = b.y; y < b.y + b.rows && y < hc; ++y) paint(out, w, y, r.x0, r.x1, options.diff_color);
    }
  }
  return out;
}

Result<ClusterList> layout_clusters(const ImagePair& pair, const LayoutRecord& record, const DiffOptions& options,
                                    const ClusterOptions& clusters) {
  auto mask = layout_residual_mask(pair, record, options);
  if (!mask) return std::move(mask).error();
  return cluster_mask(*mask, pair.canvas_width, pair.current_height, clusters);
}

}  // namespace qf
