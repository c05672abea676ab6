// Counting the Different pixels of a pair, and the diff mask that marks them.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/parallel.hpp"
#include "pixeldiff/classify.hpp"

namespace qf {

namespace {

// Rows per parallel task in the general path: enough pixels that a task outweighs its scheduling.
std::size_t row_grain(std::size_t width) { return std::max<std::size_t>(1, 16384 / std::max<std::size_t>(width, 1)); }

std::size_t chunk_count(std::size_t n) { return (n + EXACT_CHUNK_PIXELS - 1) / EXACT_CHUNK_PIXELS; }

// Exact mode on the pool: per 4096-pixel chunk, skipped once the running total has reached the cap.
uint64_t count_exact_parallel(const detail::PairPass& p, std::size_t n, std::optional<uint64_t> cap) {
  std::atomic<uint64_t> running{0};
  return par::sum_ranges(chunk_count(n), 1, [&](std::size_t begin, std::size_t end) {
    uint64_t own = 0;
    for (std::size_t c = begin; c < end; ++c) {
      if (cap && running.load(std::memory_order_relaxed) >= *cap) continue;
      const std::size_t lo = c * EXACT_CHUNK_PIXELS, hi = std::min(n, lo + EXACT_CHUNK_PIXELS);
      const uint64_t count = detail::count_differing_words(p.baseline, p.current, lo, hi);
      if (cap) running.fetch_add(count, std::memory_order_relaxed);
      own += count;
    }
    return own;
  });
}

uint64_t count_exact_serial(const detail::PairPass& p, std::size_t n, std::optional<uint64_t> cap) {
  if (!cap) return detail::count_differing_words(p.baseline, p.current, 0, n);
  uint64_t count = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!p.same_word(i) && ++count >= *cap) break;
  return count;
}

uint64_t count_general_parallel(const detail::PairPass& p, std::optional<uint64_t> cap) {
  std::atomic<uint64_t> running{0};
  return par::sum_ranges(p.height, row_grain(p.width), [&](std::size_t begin, std::size_t end) {
    detail::DifferentRows rows(p);
    uint64_t own = 0;
    for (std::size_t y = begin; y < end; ++y) {
      if (cap && running.load(std::memory_order_relaxed) >= *cap) continue;
      const uint64_t count = rows.count(y);
      if (cap) running.fetch_add(count, std::memory_order_relaxed);
      own += count;
    }
    return own;
  });
}

uint64_t count_general_serial(const detail::PairPass& p, std::optional<uint64_t> cap) {
  detail::DifferentRows rows(p);
  uint64_t total = 0;
  for (std::size_t y = 0; y < p.height; ++y) {
    total += rows.count(y);
    if (cap && total >= *cap) break;
  }
  return total;
}

}  // namespace

Result<uint64_t> count_diffs(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                             const DiffOptions& options, std::optional<uint64_t> cap) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  if (cap && *cap == 0) return uint64_t{0};
  if (same_bytes(baseline, current)) return uint64_t{0};
  const detail::PairPass p{baseline.data(), current.data(), width, height, max_delta(options.threshold),
                           options.include_aa};
  const std::size_t n = width * height;
  const bool parallel = n >= PARALLEL_MIN_PIXELS;
  if (p.max_delta == 0.0 && !options.include_aa)
    return parallel ? count_exact_parallel(p, n, cap) : count_exact_serial(p, n, cap);
  return parallel ? count_general_parallel(p, cap) : count_general_serial(p, cap);
}

Result<DiffMask> build_diff_mask(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                 const DiffOptions& options) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  const std::size_t n = width * height;
  DiffMask mask{width, height, Bytes(n, 0), 0};
  if (same_bytes(baseline, current)) return mask;
  const detail::PairPass p{baseline.data(), current.data(), width, height, max_delta(options.threshold),
                           options.include_aa};
  uint8_t* bits = mask.bits.data();
  const bool parallel = n >= PARALLEL_MIN_PIXELS;

  if (p.max_delta == 0.0 && !options.include_aa) {
    auto mark = [&](std::size_t lo, std::size_t hi) {
      uint64_t count = 0;
      for (std::size_t i = lo; i < hi; ++i) {
        const bool differ = !p.same_word(i);
        bits[i] = differ;
        count += differ;
      }
      return count;
    };
    if (!parallel) {
      mask.count = mark(0, n);
    } else {
      mask.count = par::sum_ranges(chunk_count(n), 1, [&](std::size_t begin, std::size_t end) {
        uint64_t own = 0;
        for (std::size_t c = begin; c < end; ++c)
          own += mark(c * EXACT_CHUNK_PIXELS, std::min(n, (c + 1) * EXACT_CHUNK_PIXELS));
        return own;
      });
    }
    return mask;
  }

  auto mark_rows = [&](std::size_t begin, std::size_t end) {
    detail::DifferentRows rows(p);
    uint64_t own = 0;
    for (std::size_t y = begin; y < end; ++y) {
      uint8_t* row = bits + y * width;
      own += rows.for_each(y, [row](std::size_t x) { row[x] = 1; });
    }
    return own;
  };
  mask.count = parallel ? par::sum_ranges(height, 1, mark_rows) : mark_rows(0, height);
  return mask;
}

}  // namespace qf
