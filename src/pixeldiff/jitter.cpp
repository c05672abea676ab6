// Splitting the Different pixels of a pair into changes and rendering jitter (see jitter.hpp).
#include "pixeldiff/jitter.hpp"

#include <algorithm>

#include "core/parallel.hpp"
#include "pixeldiff/classify.hpp"

namespace qf {

bool within_neighbourhood(const uint8_t* a, const uint8_t* b, std::size_t x, std::size_t y, std::size_t width,
                          std::size_t height, unsigned r) {
  const std::size_t x0 = x >= r ? x - r : 0, x1 = std::min(width - 1, x + r);
  const std::size_t y0 = y >= r ? y - r : 0, y1 = std::min(height - 1, y + r);
  int lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
  for (std::size_t yy = y0; yy <= y1; ++yy) {
    const uint8_t* row = a + 4 * yy * width;
    for (std::size_t xx = x0; xx <= x1; ++xx)
      for (int c = 0; c < 4; ++c) {
        const int v = row[4 * xx + c];
        lo[c] = std::min(lo[c], v);
        hi[c] = std::max(hi[c], v);
      }
  }
  const uint8_t* px = b + 4 * (y * width + x);
  bool inside = true;
  for (int c = 0; c < 4; ++c) {
    const int slack = JITTER_LEVELS + (hi[c] - lo[c]) / JITTER_SPREAD;
    inside &= px[c] + slack >= lo[c] && px[c] <= hi[c] + slack;
  }
  return inside;
}

namespace {

// Calls on_different(x) for every Different pixel of row y: the word test alone in exact mode, else the
// classification of the count.
template <class F>
void different_in_row(const detail::PairPass& p, bool exact, detail::DifferentRows& rows, std::size_t y,
                      F&& on_different) {
  if (!exact) {
    rows.for_each(y, on_different);
    return;
  }
  if (p.same_row(y)) return;
  for (std::size_t x = 0, i = y * p.width; x < p.width; ++x, ++i)
    if (!p.same_word(i)) on_different(x);
}

// Runs row(begin, end, counts) over every row band, in parallel on large canvases; the counts are summed.
template <class F>
JitterCounts over_rows(const detail::PairPass& p, F&& rows_of) {
  const std::size_t grain = std::max<std::size_t>(1, 16384 / std::max<std::size_t>(p.width, 1));
  if (p.width * p.height < PARALLEL_MIN_PIXELS) {
    JitterCounts c;
    rows_of(0, p.height, c);
    return c;
  }
  // One record per band, summed in band order afterwards: the same totals whatever the number of threads.
  const std::size_t bands = (p.height + grain - 1) / grain;
  std::vector<JitterCounts> per_band(bands);
  par::sum_ranges(bands, 1, [&](std::size_t b0, std::size_t b1) {
    for (std::size_t b = b0; b < b1; ++b) rows_of(b * grain, std::min(p.height, (b + 1) * grain), per_band[b]);
    return uint64_t{0};
  });
  JitterCounts total;
  for (const JitterCounts& c : per_band) {
    total.diff_pixels += c.diff_pixels;
    total.jitter_pixels += c.jitter_pixels;
  }
  return total;
}

Status check_radius(unsigned r) {
  if (r > MAX_JITTER) return err::invalid_argument(JITTER_RANGE_MESSAGE);
  return std::nullopt;
}

}  // namespace

Result<JitterCounts> count_jitter(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                  const DiffOptions& options, unsigned r) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  if (auto e = check_radius(r)) return *e;
  if (r == 0) {
    auto n = count_diffs(baseline, current, width, height, options);
    if (!n) return n.error();
    return JitterCounts{*n, 0};
  }
  if (same_bytes(baseline, current)) return JitterCounts{};
  const detail::PairPass p{baseline.data(), current.data(), width, height, max_delta(options.threshold),
                           options.include_aa};
  const bool exact = p.max_delta == 0.0 && !options.include_aa;
  return over_rows(p, [&](std::size_t begin, std::size_t end, JitterCounts& c) {
    detail::DifferentRows rows(p);
    for (std::size_t y = begin; y < end; ++y)
      different_in_row(p, exact, rows, y, [&](std::size_t x) {
        if (explained_by_move(p.baseline, p.current, x, y, width, height, r)) {
          ++c.jitter_pixels;
        } else {
          ++c.diff_pixels;
        }
      });
  });
}

uint64_t mark_jitter(ByteView baseline, ByteView current, std::size_t width, std::size_t height, Bytes& mask,
                     unsigned r) {
  if (r == 0 || mask.size() != width * height) return 0;
  const uint8_t* b = baseline.data();
  const uint8_t* c = current.data();
  uint8_t* m = mask.data();
  const std::size_t grain = std::max<std::size_t>(1, 16384 / std::max<std::size_t>(width, 1));
  return par::sum_ranges(height, grain, [&](std::size_t y0, std::size_t y1) {
    uint64_t n = 0;
    for (std::size_t y = y0; y < y1; ++y) {
      uint8_t* row = m + y * width;
      for (std::size_t x = 0; x < width; ++x)
        if (row[x] == MASK_DIFFERENT && explained_by_move(b, c, x, y, width, height, r)) {
          row[x] = MASK_JITTER;
          ++n;
        }
    }
    return n;
  });
}

Result<JitterMask> build_jitter_mask(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                     const DiffOptions& options, unsigned r) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  if (auto e = check_radius(r)) return *e;
  JitterMask mask{width, height, Bytes(width * height, 0), {}};
  if (same_bytes(baseline, current)) return mask;
  const detail::PairPass p{baseline.data(), current.data(), width, height, max_delta(options.threshold),
                           options.include_aa};
  const bool exact = p.max_delta == 0.0 && !options.include_aa;
  uint8_t* classes = mask.classes.data();
  mask.counts = over_rows(p, [&](std::size_t begin, std::size_t end, JitterCounts& c) {
    detail::DifferentRows rows(p);
    for (std::size_t y = begin; y < end; ++y) {
      uint8_t* row = classes + y * width;
      different_in_row(p, exact, rows, y, [&](std::size_t x) {
        if (r > 0 && explained_by_move(p.baseline, p.current, x, y, width, height, r)) {
          row[x] = MASK_JITTER;
          ++c.jitter_pixels;
        } else {
          row[x] = MASK_DIFFERENT;
          ++c.diff_pixels;
        }
      });
    }
  });
  return mask;
}

}  // namespace qf
