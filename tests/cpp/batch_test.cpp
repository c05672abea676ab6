#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/parallel.hpp"

using namespace qf;

// A failing item stops new items from starting, but items already running must finish their nested parallel
// work: a skipped half of a join would hand them an unset result.
TEST(BatchMap, AFailureDoesNotCutShortTheNestedWorkOfRunningItems) {
  std::atomic<int> half_skipped{0};
  for (int round = 0; round < 20; ++round) {
    auto r = par::ordered_map<int>(64, [&](std::size_t i) -> Result<int> {
      if (i == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return err::invalid_argument("first pair failed");
      }
      std::atomic<int> halves{0};
      par::join(
          [&] {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            par::for_each_range(64, 1, [&](std::size_t, std::size_t) {
              std::this_thread::sleep_for(std::chrono::microseconds(20));
            });
            halves.fetch_add(1);
          },
          [&] {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            halves.fetch_add(1);
          });
      if (halves.load() != 2) half_skipped.fetch_add(1);
      return int(i);
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "first pair failed");
  }
  EXPECT_EQ(half_skipped.load(), 0);
}

TEST(BatchMap, FaultsInItemsStillReachTheCaller) {
  auto map = [] {
    return par::ordered_map<int>(256, [](std::size_t i) -> Result<int> {
      if (i == 100) throw InternalFault("bad item");
      return int(i);
    });
  };
  EXPECT_THROW((void)map(), InternalFault);
}
