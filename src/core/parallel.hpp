// The one place that knows about the worker pool. Kernels use these helpers and never start threads or include
// the pool library themselves. All of them run on the process-wide work-stealing pool; the calling thread waits
// for its work and helps with it. An exception thrown in a task is carried back to the caller.
//
// Work started by run_watched can be cancelled by the thread that waits for it. Cancelled work unwinds with
// Cancelled, thrown by the next helper it calls (a helper whose tasks were skipped never returns a partial
// result) or by check_cancelled() in a long loop; an item of ordered_map that has started is isolated from the
// cancellation and finishes.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "core/error.hpp"

namespace qf::par {

// Thrown by cancelled work; not an error of the computation (nothing but run_watched's caller sees it).
struct Cancelled {};

// Throws Cancelled when the work this code runs for has been cancelled.
inline void check_cancelled() {
  if (tbb::is_current_task_group_canceling()) throw Cancelled{};
}

// Runs a and b, possibly at the same time, and returns when both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
  tbb::parallel_invoke(std::forward<A>(a), std::forward<B>(b));
  check_cancelled();
}

// Calls f(begin, end) for disjoint ranges covering [0, n); ranges hold at least `grain` indices where possible.
template <class F>
void for_each_range(std::size_t n, std::size_t grain, F&& f) {
  if (n == 0) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain == 0 ? 1 : grain),
                    [&](const tbb::blocked_range<std::size_t>& r) { f(r.begin(), r.end()); });
  check_cancelled();
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
  check_cancelled();
}

// The sum of f(begin, end) over disjoint ranges covering [0, n). Integer addition, so the result does not
// depend on how the ranges were cut.
template <class F>
uint64_t sum_ranges(std::size_t n, std::size_t grain, F&& f) {
  if (n == 0) return 0;
  const uint64_t sum = tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, n, grain == 0 ? 1 : grain), uint64_t{0},
      [&](const tbb::blocked_range<std::size_t>& r, uint64_t acc) { return acc + f(r.begin(), r.end()); },
      [](uint64_t a, uint64_t b) { return a + b; });
  check_cancelled();
  return sum;
}

// Maps f over [0, n) in parallel and returns the results in index order. f(i) returns Result<T>. The first
// error recorded in time fails the whole map; once it is recorded no further index is started (running ones
// finish and their results are dropped). Cancelled from outside, it starts no further index either, lets the
// running ones finish and throws Cancelled.
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
            if (stop.load(std::memory_order_acquire) || tbb::is_current_task_group_canceling()) return;
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
  if (context.is_group_execution_cancelled()) throw Cancelled{};
  std::vector<T> out;
  out.reserve(n);
  for (auto& slot : slots) {
    if (!slot) throw InternalFault("parallel map finished with an empty slot");
    out.push_back(std::move(*slot));
  }
  return out;
}

namespace detail {

// The arena of watched work: as many slots as the pool has threads, none kept for a calling thread, which only
// waits. One more thread is allowed to the pool for it, so that the waiting thread's share is not lost.
struct WatchedArena {
  tbb::global_control one_more{tbb::global_control::max_allowed_parallelism,
                               static_cast<std::size_t>(tbb::info::default_concurrency()) + 1};
  tbb::task_arena arena{tbb::info::default_concurrency(), 0};
};

// The process that loaded the library: in a child made by fork() the pool's threads are gone.
inline const pid_t loading_process = getpid();

inline WatchedArena& watched_arena() {
  static WatchedArena* arena = new WatchedArena;  // never destroyed: it may be in use until the process ends
  return *arena;
}

}  // namespace detail

// Runs f() (returning a value) on the pool while the calling thread waits for it, calling poll() about every
// `slice`. Once poll() returns true the work is cancelled and run_watched returns nullopt as soon as all of it
// has ended. f's exceptions reach the caller. Where no worker could take the work (the pool limited to one
// thread, or a child process after fork), f runs on the calling thread and is not watched.
template <class F, class Poll>
auto run_watched(F&& f, Poll&& poll, std::chrono::milliseconds slice) -> std::optional<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) < 2 ||
      getpid() != detail::loading_process)
    return f();

  // Shared with the task, which may still hold it for a moment after the waiting thread has returned.
  struct State {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    tbb::task_group_context context{tbb::task_group_context::isolated};
  };
  auto state = std::make_shared<State>();
  std::optional<R> result;
  std::exception_ptr error;
  detail::watched_arena().arena.enqueue([state, &f, &result, &error] {
    try {
      tbb::task_group group(state->context);
      group.run_and_wait([&] { result.emplace(f()); });
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->finished.notify_one();
  });

  bool cancelled = false;
  std::unique_lock lock(state->mutex);
  while (!state->finished.wait_for(lock, slice, [&] { return state->done; })) {
    if (cancelled) continue;
    lock.unlock();
    cancelled = poll();
    if (cancelled) state->context.cancel_group_execution();
    lock.lock();
  }
  if (cancelled) return std::nullopt;
  if (error) std::rethrow_exception(error);
  if (!result) throw InternalFault("watched work did not run");
  return result;
}

// Runs f() on a thread of its own while the calling thread waits for it and looks for cancellation every few
// milliseconds: for one long call into a library that cannot be stopped midway (a whole inflate). Cancelled, the
// wait ends at once with Cancelled and f finishes alone, so f must own everything it touches (capture by value);
// its result is then dropped. f's exceptions reach the caller.
template <class F>
auto run_detached(F f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  struct State {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::optional<R> result;
    std::exception_ptr error;
  };
  auto state = std::make_shared<State>();
  std::thread([state, f = std::move(f)]() mutable {
    std::optional<R> result;
    std::exception_ptr error;
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(state->mutex);
    state->result = std::move(result);
    state->error = error;
    state->done = true;
    state->finished.notify_one();
  }).detach();
  std::unique_lock lock(state->mutex);
  while (!state->finished.wait_for(lock, std::chrono::milliseconds(5), [&] { return state->done; })) {
    if (tbb::is_current_task_group_canceling()) throw Cancelled{};
  }
  if (state->error) std::rethrow_exception(state->error);
  return std::move(*state->result);
}

// Limits the pool to `threads` workers while it lives (tests compare one worker with many).
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads) : control_(tbb::global_control::max_allowed_parallelism, threads) {}

 private:
  tbb::global_control control_;
};

// The number of threads the pool may use now: the smallest limit in force, else one per logical CPU. (The
// thread that run_watched adds stands in for a waiting caller and is not counted.)
inline std::size_t max_threads() {
  return std::min(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism),
                  static_cast<std::size_t>(tbb::info::default_concurrency()));
}

}  // namespace qf::par
