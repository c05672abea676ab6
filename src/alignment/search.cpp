// Greedy forward search for the shortest row insert/delete script, with the full trace kept for the backtrack.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <unistd.h>

#include "alignment/alignment.hpp"
#include "core/parallel.hpp"
#include "core/size.hpp"

namespace qf {

namespace {

// Half the physical memory: a larger trace is refused up front instead of letting the system thrash or kill
// the process (an allocation that merely succeeds on an overcommitting system proves nothing).
uint64_t default_trace_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<uint64_t>::max();
  auto bytes = checked_mul(static_cast<uint64_t>(pages), static_cast<uint64_t>(page));
  return bytes ? *bytes / 2 : std::numeric_limits<uint64_t>::max();
}

// Whether the trace up to and including iteration d ((d + 1)² values) may be held.
bool trace_fits(std::size_t d, uint64_t limit_bytes) {
  auto side = checked_add(d, 1);
  if (!side) return false;
  auto values = checked_mul(*side, *side);
  if (!values) return false;
  auto bytes = checked_mul(*values, sizeof(int64_t));
  return bytes && *bytes <= limit_bytes;
}

constexpr std::size_t TRACE_RESERVE_SIDE = 8192;  // 8192² values: 512 MiB

// Collects the backtrack's steps (produced last to first) straight into runs.
class RunBuilder {
 public:
  void step(RunKind kind, std::size_t x, std::size_t y) {
    if (!reversed_.empty() && reversed_.back().kind == kind) {
      EditRun& run = reversed_.back();
      run.baseline_start = x;
      run.current_start = y;
      ++run.len;
      return;
    }
    reversed_.push_back(EditRun{x, y, 1, kind});
  }
  std::vector<EditRun> take() { return {reversed_.rbegin(), reversed_.rend()}; }

 private:
  std::vector<EditRun> reversed_;
};

}  // namespace

std::size_t edit_budget(std::size_t n, std::size_t m, const AlignOptions& options) {
  const std::size_t total = n + m;  // both are row counts of buffers in memory, far from overflowing
  const double share = std::ceil(options.max_edit_ratio * static_cast<double>(total));
  std::size_t by_ratio;
  if (!(share > 0.0)) by_ratio = 0;  // also NaN, which the range checks keep out
  else if (share >= 18446744073709551616.0) by_ratio = std::numeric_limits<std::size_t>::max();
  else by_ratio = static_cast<std::size_t>(share);
  return std::min({options.max_edit_rows, by_ratio, total});
}

std::optional<EditScript> search_edit_runs(KeyView a, KeyView b, std::size_t budget) {
  static const uint64_t limit = default_trace_limit();
  return search_edit_runs(a, b, budget, limit);
}

std::optional<EditScript> search_edit_runs(KeyView a, KeyView b, std::size_t budget, uint64_t limit) {
  const auto n = static_cast<int64_t>(a.size()), m = static_cast<int64_t>(b.size());
  // No script is longer than N + M, so a larger budget changes nothing and only V would grow.
  budget = std::min(budget, a.size() + b.size());
  const auto offset = static_cast<int64_t>(budget) + 1;

  std::vector<int64_t> v, trace;
  std::optional<std::size_t> found;
  try {
    v.assign(2 * budget + 3, 0);
    // Reserving the whole trace up front avoids copies on growth; the pages are only touched as iterations
    // fill them. Very large budgets grow instead, so that a short script never needs a huge reservation.
    if (budget < TRACE_RESERVE_SIDE && trace_fits(budget, limit)) trace.reserve((budget + 1) * (budget + 1));
    for (std::size_t d = 0; d <= budget; ++d) {
      if (!trace_fits(d, limit)) return std::nullopt;
      par::check_cancelled();
      const auto dd = static_cast<int64_t>(d);
      trace.insert(trace.end(), v.begin() + (offset - dd), v.begin() + (offset + dd + 1));
      for (int64_t k = -dd; k <= dd; k += 2) {
        // An iteration may walk long runs of equal rows on many diagonals: a look for Ctrl-C every few.
        if (((k + dd) & 511) == 0) par::check_cancelled();
        int64_t x;
        if (k == -dd || (k != dd && v[offset + k - 1] < v[offset + k + 1])) x = v[offset + k + 1];
        else x = v[offset + k - 1] + 1;
        int64_t y = x - k;
        while (x < n && y < m && a[x] == b[y]) ++x, ++y;
        v[offset + k] = x;
        if (x >= n && y >= m) {
          found = d;
          break;
        }
      }
      if (found) break;
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (!found) return std::nullopt;

  RunBuilder steps;
  int64_t x = n, y = m;
  for (auto d = static_cast<int64_t>(*found); d >= 0; --d) {
    const int64_t* snap = trace.data() + d * d;  // snapshot d, indexed by k + d
    int64_t px = 0, py = 0;
    if (d > 0) {
      const int64_t k = x - y;
      int64_t p;
      if (k == -d) p = k + 1;
      else if (k == d) p = k - 1;
      else p = snap[k - 1 + d] < snap[k + 1 + d] ? k + 1 : k - 1;
      px = snap[p + d];
      py = px - p;
    }
    while (x > px && y > py) {
      --x, --y;
      steps.step(RunKind::Equal, static_cast<std::size_t>(x), static_cast<std::size_t>(y));
    }
    if (d == 0) break;
    if (x > px) {
      --x;
      steps.step(RunKind::Delete, static_cast<std::size_t>(x), static_cast<std::size_t>(y));
    } else if (y > py) {
      --y;
      steps.step(RunKind::Insert, static_cast<std::size_t>(x), static_cast<std::size_t>(y));
    }
  }
  return EditScript{*found, steps.take()};
}

}  // namespace qf
