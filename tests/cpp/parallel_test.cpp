#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/parallel.hpp"

using namespace qf;
using namespace std::chrono_literals;

namespace {
const auto never = [] { return false; };
}

TEST(Watched, ReturnsTheValueAndCarriesExceptionsBack) {
  auto r = par::run_watched([] { return 42; }, never, 5ms);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, 42);
  EXPECT_THROW((void)par::run_watched([]() -> int { throw InternalFault("bad"); }, never, 5ms), InternalFault);
  // Nested parallel work inside watched work runs to the end when nothing cancels it.
  auto sum = par::run_watched([] { return par::sum_ranges(100000, 64, [](std::size_t b, std::size_t e) { return e - b; }); },
                              never, 1ms);
  ASSERT_TRUE(sum);
  EXPECT_EQ(*sum, 100000u);
}

// Cancelling a map starts no further item, while every item already started runs to its end, nested work
// included.
TEST(Watched, CancellingAMapLetsRunningItemsFinishAndStartsNoOther) {
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> started{0}, finished{0}, halves{0};
    auto poll = [&] { return started.load() >= 2; };
    auto r = par::run_watched(
        [&] {
          return par::ordered_map<int>(400, [&](std::size_t i) -> Result<int> {
            started.fetch_add(1);
            par::join([&] { std::this_thread::sleep_for(10ms), halves.fetch_add(1); },
                      [&] { std::this_thread::sleep_for(15ms), halves.fetch_add(1); });
            finished.fetch_add(1);
            return int(i);
          });
        },
        poll, 2ms);
    EXPECT_FALSE(r);
    EXPECT_EQ(started.load(), finished.load());
    EXPECT_EQ(halves.load(), 2 * started.load());
    EXPECT_LT(started.load(), 40);
  }
}

// Outside a map, cancelled work ends at its next check or helper instead of running on or returning a partial
// result.
TEST(Watched, CancelledWorkStopsAtItsNextCheck) {
  std::atomic<int> loops{0};
  auto spin = par::run_watched(
      [&] {
        for (;;) {
          par::check_cancelled();
          loops.fetch_add(1);
          std::this_thread::sleep_for(1ms);
        }
        return 0;
      },
      [] { return true; }, 5ms);
  EXPECT_FALSE(spin);
  std::atomic<int> ranges{0};
  auto partial = par::run_watched(
      [&] {
        par::for_each_range(10000, 1, [&](std::size_t, std::size_t) {
          ranges.fetch_add(1);
          std::this_thread::sleep_for(1ms);
        });
        return ranges.load();  // reached only when every range ran
      },
      [] { return true; }, 5ms);
  EXPECT_FALSE(partial);
  EXPECT_LT(ranges.load(), 10000);
}

TEST(Watched, WithOneThreadTheCallerRunsTheWorkItself) {
  par::ThreadLimit one(1);
  const auto caller = std::this_thread::get_id();
  auto r = par::run_watched([&] { return std::this_thread::get_id() == caller; }, [] { return true; }, 1ms);
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r);
}

// A call into a library that cannot stop midway: the wait ends at once when the work is cancelled, the call
// finishes alone on what it owns, and its result or exception reaches the caller otherwise.
TEST(Watched, DetachedCallsReturnAtOnceWhenCancelled) {
  EXPECT_EQ(par::run_detached([] { return 7; }), 7);
  EXPECT_THROW((void)par::run_detached([]() -> int { throw InternalFault("bad"); }), InternalFault);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  const auto start = std::chrono::steady_clock::now();
  auto r = par::run_watched(
      [finished] {
        return par::run_detached([finished] {
          std::this_thread::sleep_for(300ms);
          finished->store(true);
          return 1;
        });
      },
      [] { return true; }, 5ms);
  EXPECT_FALSE(r);
  EXPECT_FALSE(finished->load());  // the wait ended before the call did
  (void)start;
  while (!finished->load()) std::this_thread::sleep_for(5ms);  // it still ends, on its own
}
