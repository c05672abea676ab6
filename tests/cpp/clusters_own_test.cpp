#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "clusters/clusters.hpp"

using namespace qf;

TEST(ClustersOwnPixels, CountTheMaskNotTheGrownGroup) {
  const std::size_t w = 60, h = 40;
  Bytes mask(w * h, 0);
  mask[10 * w + 10] = 1;  // two pixels 6 apart: one group once grown
  mask[10 * w + 16] = 255;
  mask[30 * w + 50] = 1;  // a lone pixel against the right edge's margin
  const ClusterList list = cluster_mask(mask, w, h, ClusterOptions{});
  ASSERT_EQ(list.clusters.size(), 2u);
  const ClusterRecord& pair = list.clusters[0];
  EXPECT_EQ(pair.pixel_count, 15u * 9u);
  EXPECT_EQ(pair.own_pixels, 2u);
  EXPECT_EQ(pair.own_x, 10u);
  EXPECT_EQ(pair.own_y, 10u);
  EXPECT_EQ(pair.own_width, 7u);
  EXPECT_EQ(pair.own_height, 1u);
  EXPECT_EQ(list.clusters[1].own_pixels, 1u);
  EXPECT_EQ(list.clusters[1].own_width, 1u);
}

TEST(ClustersOwnPixels, AddUpToAtMostTheMaskCountAndSurviveMerging) {
  std::mt19937 rng(5);
  const std::size_t w = 300, h = 200;
  for (int round = 0; round < 20; ++round) {
    Bytes mask(w * h, 0);
    std::size_t set = 0;
    for (int k = 0; k < 400; ++k) {
      const std::size_t i = rng() % mask.size();
      set += mask[i] == 0;
      mask[i] = 1;
    }
    ClusterOptions o;
    o.min_pixels = 0;
    o.merge_gap = round % 2 ? 12 : 0;
    const ClusterList list = cluster_mask(mask, w, h, o);
    std::size_t own = 0;
    for (const ClusterRecord& r : list.clusters) {
      own += r.own_pixels;
      ASSERT_GT(r.own_pixels, 0u);
      ASSERT_LE(r.own_pixels, r.pixel_count);
      // The own box lies inside the grown one.
      ASSERT_GE(r.own_x, r.x);
      ASSERT_GE(r.own_y, r.y);
      ASSERT_LE(r.own_x + r.own_width, r.x + r.width);
      ASSERT_LE(r.own_y + r.own_height, r.y + r.height);
    }
    // Nothing filtered and no cap: every set pixel is in exactly one group.
    EXPECT_EQ(own, set) << round;
    o.min_pixels = 100;
    std::size_t kept = 0;
    for (const ClusterRecord& r : cluster_mask(mask, w, h, o).clusters) kept += r.own_pixels;
    EXPECT_LE(kept, set);
  }
}
