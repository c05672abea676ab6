#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/image_pair.hpp"
#include "core/parallel.hpp"
#include "core/size.hpp"

using namespace qf;

namespace {
Bytes filled(std::size_t w, std::size_t h, uint8_t v) { return Bytes(w * h * 4, v); }
}  // namespace

TEST(ImagePair, SameSizeIsNotPadded) {
  auto pair = make_image_pair(filled(4, 3, 1), 4, 3, filled(4, 3, 2), 4, 3);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->canvas_width, 4u);
  EXPECT_EQ(pair->canvas_height, 3u);
  EXPECT_FALSE(pair->size_mismatch());
  EXPECT_FALSE(pair->current_unpadded.has_value());
  EXPECT_EQ(pair->baseline, filled(4, 3, 1));
}

TEST(ImagePair, DifferentSizesMeetOnACommonCanvas) {
  auto pair = make_image_pair(filled(4, 3, 1), 4, 3, filled(2, 5, 2), 2, 5);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->canvas_width, 4u);
  EXPECT_EQ(pair->canvas_height, 5u);
  EXPECT_TRUE(pair->size_mismatch());
  for (std::size_t y = 0; y < 5; ++y)
    for (std::size_t x = 0; x < 4; ++x)
      for (std::size_t c = 0; c < 4; ++c) {
        std::size_t k = (y * 4 + x) * 4 + c;
        EXPECT_EQ(pair->baseline[k], y < 3 ? 1 : 0);
        EXPECT_EQ(pair->current[k], x < 2 ? 2 : 0);
      }
  ASSERT_TRUE(pair->current_unpadded.has_value());
  EXPECT_EQ(*pair->current_unpadded, filled(2, 5, 2));
  EXPECT_EQ(pair->current_own().size(), 2u * 5 * 4);
}

TEST(ImagePair, CurrentOwnIsTheCanvasWhenOnlyTheBaselineWasPadded) {
  auto pair = make_image_pair(filled(2, 2, 1), 2, 2, filled(3, 3, 2), 3, 3);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->current_own().size(), 3u * 3 * 4);
}

TEST(ImagePair, ErrorsNameTheBaselineFirst) {
  auto both = make_image_pair(Bytes(47), 4, 3, Bytes(1), 4, 3);
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().message, "invalid RGBA buffer length: expected 48 bytes for 4x3, got 47");
  auto current = make_image_pair(filled(4, 3, 0), 4, 3, Bytes(5), 1, 1);
  ASSERT_FALSE(current);
  EXPECT_EQ(current.error().message, "invalid RGBA buffer length: expected 4 bytes for 1x1, got 5");
  auto huge = make_image_pair(Bytes(), 1ull << 32, 1ull << 32, Bytes(), 0, 0);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message, "image dimensions overflowed");
  // Each image fits, but their common canvas does not.
  auto canvas = make_image_pair(Bytes(), 1ull << 40, 0, Bytes(), 0, 1ull << 40);
  ASSERT_FALSE(canvas);
  EXPECT_EQ(canvas.error().kind, ErrorKind::DimensionsOverflow);
}

TEST(ImagePair, ZeroSizedImagesAreAccepted) {
  auto pair = make_image_pair(Bytes(), 0, 5, Bytes(), 0, 5);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->canvas_width, 0u);
  EXPECT_TRUE(pair->baseline.empty());
}

TEST(PadToCanvas, RefusesASmallerTarget) {
  auto r = pad_to_canvas(filled(2, 2, 1), 2, 2, 1, 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "source image is larger than target size");
}

TEST(OnceCell, ConcurrentFirstUsersComputeOnce) {
  OnceCell cell;
  std::atomic<int> computed{0};
  std::vector<std::thread> threads;
  std::vector<uint64_t> seen(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      seen[t] = cell.get_or_init([&] {
        computed.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return uint64_t{42};
      });
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(computed.load(), 1);
  for (uint64_t v : seen) EXPECT_EQ(v, 42u);
  cell.seed(7);  // already filled: no effect
  EXPECT_EQ(cell.peek(), 42u);
}

TEST(Parallel, OrderedMapKeepsOrderAndStopsOnError) {
  auto ok = par::ordered_map<int>(1000, [](std::size_t i) -> Result<int> { return int(i * 2); });
  ASSERT_TRUE(ok);
  for (std::size_t i = 0; i < 1000; ++i) EXPECT_EQ((*ok)[i], int(i * 2));

  std::atomic<int> started{0};
  auto bad = par::ordered_map<int>(100000, [&](std::size_t i) -> Result<int> {
    started.fetch_add(1);
    if (i == 1) return err::invalid_argument("pair 1 failed");
    return int(i);
  });
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "pair 1 failed");
  EXPECT_LT(started.load(), 100000);
}

TEST(Parallel, OneWorkerRunsInInputOrder) {
  par::ThreadLimit one(1);
  std::vector<std::size_t> order;
  auto r = par::ordered_map<int>(50, [&](std::size_t i) -> Result<int> {
    order.push_back(i);
    if (i == 7 || i == 3) return err::invalid_argument(std::to_string(i));
    return 0;
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "3");
}

TEST(Parallel, FaultsInWorkersReachTheCaller) {
  EXPECT_THROW(par::for_each_range(1 << 20, 1024,
                                   [](std::size_t b, std::size_t) {
                                     if (b > 1000) throw InternalFault("boom");
                                   }),
               InternalFault);
}
