// The count of Different pixels, marking the diff mask as it goes and noting where the images first differ.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/parallel.hpp"
#include "pixeldiff/classify.hpp"
#include "verdict/steps.hpp"

namespace qf::verdict {

namespace {

void lower_to(std::atomic<std::size_t>& target, std::size_t value) {
  std::size_t seen = target.load(std::memory_order_relaxed);
  while (value < seen && !target.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// The first pixel of row y whose words differ, below `limit` (limit when there is none before it).
std::size_t first_differing(const detail::PairPass& p, std::size_t y, std::size_t limit) {
  const std::size_t row = y * p.width;
  for (std::size_t x = 0; x < limit; ++x)
    if (!p.same_word(row + x)) return x;
  return limit;
}

}  // namespace

Result<CountedPair> count_and_mask(const ImagePair& pair, const DiffOptions& options) {
  const std::size_t w = pair.canvas_width, h = pair.canvas_height;
  if (auto e = check_pair(pair.baseline, pair.current, w, h, options)) return *e;
  CountedPair out;
  out.start = {h, w};
  if (same_bytes(pair.baseline, pair.current)) return out;
  out.mask = Bytes(w * h, 0);
  const detail::PairPass p{pair.baseline.data(), pair.current.data(), w, h, max_delta(options.threshold),
                           options.include_aa};
  const bool exact = p.max_delta == 0.0 && !options.include_aa;
  uint8_t* bits = out.mask.data();
  std::atomic<std::size_t> first_row{h}, first_col{w};
  // Rows per task: enough pixels that a task outweighs its scheduling. Every row is judged on its own, so the
  // count and the mask do not depend on how the rows are cut.
  const std::size_t grain = std::max<std::size_t>(1, 16384 / std::max<std::size_t>(w, 1));
  out.count = par::sum_ranges(h, grain, [&](std::size_t begin, std::size_t end) {
    detail::DifferentRows rows(p);
    uint64_t own = 0;
    std::size_t own_row = h, own_col = first_col.load(std::memory_order_relaxed);
    for (std::size_t y = begin; y < end; ++y) {
      if (p.same_row(y)) continue;
      own_row = std::min(own_row, y);
      own_col = first_differing(p, y, own_col);
      uint8_t* row = bits + y * w;
      if (exact) {
        for (std::size_t x = own_col; x < w; ++x) {
          const bool differ = !p.same_word(y * w + x);
          row[x] = differ;
          own += differ;
        }
      } else {
        own += rows.for_each(y, [row](std::size_t x) { row[x] = 1; });
      }
    }
    lower_to(first_row, own_row);
    lower_to(first_col, own_col);
    return own;
  });
  out.start = {first_row.load(), first_col.load()};
  return out;
}

}  // namespace qf::verdict

namespace qf::verdict {

ClusterList clusters_of(ByteView mask, std::size_t width, std::size_t height) {
  const ClusterOptions options;
  // The box of the set pixels: nothing outside it, grown by the dilation, can belong to a cluster. Clustering
  // does not depend on where the pixels lie, so the crop's clusters moved back are the canvas's.
  std::size_t x0 = width, x1 = 0, y0 = height, y1 = 0;
  for (std::size_t y = 0; y < height; ++y) {
    const uint8_t* row = mask.data() + y * width;
    const void* first = std::memchr(row, 1, width);
    if (!first) continue;
    std::size_t last = width;
    while (last > 0 && row[last - 1] == 0) --last;
    y0 = std::min(y0, y);
    y1 = y + 1;
    x0 = std::min<std::size_t>(x0, static_cast<const uint8_t*>(first) - row);
    x1 = std::max(x1, last);
  }
  if (y1 == 0) return {};
  const std::size_t grow = options.dilation;
  x0 = x0 > grow ? x0 - grow : 0;
  y0 = y0 > grow ? y0 - grow : 0;
  x1 = std::min(width, x1 + grow);
  y1 = std::min(height, y1 + grow);
  const std::size_t cw = x1 - x0, ch = y1 - y0;
  if (cw == width && ch == height) return cluster_mask(mask, width, height, options);
  Bytes crop(cw * ch);
  for (std::size_t y = 0; y < ch; ++y) std::memcpy(crop.data() + y * cw, mask.data() + (y0 + y) * width + x0, cw);
  ClusterList list = cluster_mask(crop, cw, ch, options);
  for (ClusterRecord& k : list.clusters) {
    k.x += x0;
    k.y += y0;
    if (k.own_pixels > 0) k.own_x += x0, k.own_y += y0;
    k.centroid_x += static_cast<double>(x0);
    k.centroid_y += static_cast<double>(y0);
  }
  return list;
}

}  // namespace qf::verdict
