// The one place that knows about the worker pool. Kernels use these helpers and never start threads or include
// the pool library themselves. All of them run on the process-wide work-stealing pool; the calling thread waits
// for its work and helps with it. An exception thrown in a task is carried back to the caller.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_group.h>

#include "core/error.hpp"

namespace qf::par {

// Runs a and b, possibly at the same time, and returns when both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
  tbb::parallel_invoke(std::forward<A>(a), std::forward<B>(b));
}

// Calls f(begin, end) for disjoint ranges covering [0, n); ranges hold at least `grain` indices where possible.
template <class F>
void for_each_range(std::size_t n, std::size_t grain, F&& f) {
  if (n == 0) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain == 0 ? 1 : grain),
                    [&](const tbb::blocked_range<std::size_t>& r) { f(r.begin(), r.end()); });
}

// Calls f(begin, end) for consecutive chunks [c * chunk, min((c + 1) * chunk, n)), one chunk per call.
template <class F>
void for_each_chunk(std::size_t n, std::size_t chunk, F&& f) {
  if (n == 0) return;
  const std::size_t chunks = (n + chunk - 1) / chunk;
  tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) {
    const std::size_t begin = c * chunk;
    f(begin, begin + chunk < n ? begin + chunk : n);
  });
}

// The sum of f(begin, end) over disjoint ranges covering [0, n). Integer addition, so the result does not
// depend on how the ranges were cut.
template <class F>
uint64_t sum_ranges(std::size_t n, std::size_t grain, F&& f) {
  if (n == 0) return 0;
  return tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, n, grain == 0 ? 1 : grain), uint64_t{0},
      [&](const tbb::blocked_range<std::size_t>& r, uint64_t acc) { return acc + f(r.begin(), r.end()); },
      [](uint64_t a, uint64_t b) { return a + b; });
}

// Maps f over [0, n) in parallel and returns the results in index order. f(i) returns Result<T>. The first
// error recorded in time fails the whole map; once it is recorded no further index is started (running ones
// finish and their results are dropped).
template <class T, class F>
Result<std::vector<T>> ordered_map(std::size_t n, F&& f) {
  std::vector<std::optional<T>> slots(n);
  std::atomic<bool> claimed{false};
  std::atomic<bool> stop{false};
  std::optional<CompareError> error;
  tbb::task_group_context context;
  if (n > 0) {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, n, 1),
        [&](const tbb::blocked_range<std::size_t>& r) {
          for (std::size_t i = r.begin(); i != r.end(); ++i) {
            if (stop.load(std::memory_order_acquire)) return;
            // Each item runs in a context of its own, isolated from the map's: cancelling the map then only
            // keeps items from starting and never cuts short the nested parallel work of a running item (a
            // cancelled join would skip one of its halves and leave its result unset).
            tbb::task_group_context item_context(tbb::task_group_context::isolated);
            tbb::task_group group(item_context);
            std::optional<Result<T>> outcome;
            group.run_and_wait([&] { outcome.emplace(f(i)); });
            if (!outcome) throw InternalFault("parallel map item did not run");
            Result<T>& item = *outcome;
            if (!item) {
              if (!claimed.exchange(true, std::memory_order_acq_rel)) {
                error = std::move(item).error();
                stop.store(true, std::memory_order_release);
                context.cancel_group_execution();
              }
              return;
            }
            slots[i].emplace(std::move(item).value());
          }
        },
        context);
  }
  if (error) return std::move(*error);
  std::vector<T> out;
  out.reserve(n);
  for (auto& slot : slots) {
    if (!slot) throw InternalFault("parallel map finished with an empty slot");
    out.push_back(std::move(*slot));
  }
  return out;
}

// Limits the pool to `threads` workers while it lives (tests compare one worker with many).
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads) : control_(tbb::global_control::max_allowed_parallelism, threads) {}

 private:
  tbb::global_control control_;
};

// The number of threads the pool may use now: the smallest limit in force, else one per logical CPU.
inline std::size_t max_threads() {
  return tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
}

}  // namespace qf::par
