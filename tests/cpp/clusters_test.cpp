#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "clusters/clusters.hpp"
#include "core/error.hpp"

using namespace qf;

namespace {

struct Mask {
  std::size_t w, h;
  Bytes bits;
  Mask(std::size_t w_, std::size_t h_) : w(w_), h(h_), bits(w_ * h_, 0) {}
  Mask& set(std::size_t x, std::size_t y) {
    bits[y * w + x] = 1;
    return *this;
  }
  ClusterList run(ClusterOptions o = {}) const { return cluster_mask(bits, w, h, o); }
};

ClusterRecord box(std::size_t x, std::size_t y, std::size_t w, std::size_t h, std::size_t n = 81) {
  ClusterRecord r;
  r.x = x, r.y = y, r.width = w, r.height = h, r.pixel_count = n;
  r.centroid_x = double(x) + double(w - 1) / 2;
  r.centroid_y = double(y) + double(h - 1) / 2;
  return r;
}

}  // namespace

TEST(ClustersDilate, MatchesTheSquareDefinitionForAnyRadius) {
  std::mt19937 rng(11);
  for (std::size_t r : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{40}, SIZE_MAX}) {
    const std::size_t w = 37, h = 23;
    Bytes mask(w * h, 0);
    for (int k = 0; k < 6; ++k) mask[rng() % mask.size()] = static_cast<uint8_t>(1 + rng() % 255);
    Bytes out = dilate_mask(mask, w, h, r);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        bool expected = false;
        for (std::size_t v = 0; v < h; ++v)
          for (std::size_t u = 0; u < w; ++u)
            if (mask[v * w + u] && (u > x ? u - x : x - u) <= r && (v > y ? v - y : y - v) <= r) expected = true;
        ASSERT_EQ(out[y * w + x], expected ? 1 : 0) << "r=" << r << " at " << x << "," << y;
      }
  }
}

TEST(ClustersLabel, EightConnectedWithRootsByRank) {
  // A "V": two arms start with their own labels and meet at the bottom; the left arm (label 1) stays root.
  Mask m(5, 3);
  m.set(0, 0).set(4, 0).set(1, 1).set(3, 1).set(2, 2);
  Labeling l = label_components(m.bits, m.w, m.h);
  ASSERT_EQ(l.parent.size(), 3u);
  EXPECT_EQ(l.labels[2 * 5 + 2], 1u);
  EXPECT_EQ(l.parent[2], 1u);
  EXPECT_EQ(l.rank[1], 1u);

  // A lower-ranked pixel side joins under the neighbour's root: labels 2 and 3 meet first, then 1 joins them.
  Mask n(6, 3);
  n.set(0, 0).set(3, 0).set(5, 0).set(1, 1).set(3, 1).set(4, 1).set(2, 2);
  Labeling k = label_components(n.bits, n.w, n.h);
  EXPECT_EQ(k.parent[3], 2u);
  EXPECT_EQ(k.parent[1], 2u);
  EXPECT_EQ(k.rank[2], 1u);
  EXPECT_EQ(k.labels[2 * 6 + 2], 1u);
}

TEST(ClustersLabel, RunningOutOfLabelsIsAFaultNotAWrap) {
  Mask m(7, 1);
  m.set(0, 0).set(2, 0).set(4, 0).set(6, 0);
  EXPECT_NO_THROW(label_components(m.bits, 7, 1, 4));
  EXPECT_THROW(label_components(m.bits, 7, 1, 3), InternalFault);
}

TEST(ClustersMerge, ThreeRulesWithGapsAndRatios) {
  auto merged = [](std::vector<ClusterRecord> l, std::size_t gap, double overlap = 0.5) {
    merge_clusters(l, gap, overlap);
    return l.size();
  };
  // One above the other, same columns, five empty rows between.
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(10, 24, 9, 9)}, 5), 1u);
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(10, 24, 9, 9)}, 4), 2u);
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(16, 24, 9, 9)}, 5), 2u);  // ratio 3/9
  // Side by side (rule 3), and a NaN ratio leaves only overlap.
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(22, 12, 9, 9)}, 3), 1u);
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(22, 12, 9, 9)}, 3, NAN), 2u);
  EXPECT_EQ(merged({box(10, 10, 9, 9), box(15, 15, 9, 9)}, 1, NAN), 1u);
  // A non-positive ratio merges anything within the gap however far across.
  EXPECT_EQ(merged({box(0, 0, 3, 3), box(500, 4, 3, 3)}, 1, 0.0), 1u);
}

TEST(ClustersMerge, RepeatsPassesAndWeightsCentroids) {
  // A and C are far apart until B's merge widens A; a later pass must then take C.
  std::vector<ClusterRecord> l = {box(0, 0, 10, 10, 100), box(24, 0, 10, 10, 100), box(12, 0, 10, 10, 50)};
  l[2].centroid_x = 16.0;
  merge_clusters(l, 2, 0.5);
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].merged_from, 3u);
  EXPECT_EQ(l[0].pixel_count, 250u);
  EXPECT_EQ(l[0].width, 34u);
  EXPECT_EQ(l[0].centroid_x, ((4.5 * 100 + 16.0 * 50) / 150 * 150 + 28.5 * 100) / 250);
}

TEST(ClustersMask, EmptyCanvasAndWrongMaskLength) {
  ClusterOptions o;
  o.max_clusters = 0;
  auto empty = cluster_mask({}, 0, 5, o);
  EXPECT_TRUE(empty.clusters.empty());
  EXPECT_FALSE(empty.truncated);
  EXPECT_EQ(cluster_mask({}, 5, 0, {}).total_clusters, 0u);
  EXPECT_EQ(Mask(30, 30).run().total_clusters, 0u);
  EXPECT_THROW(cluster_mask(Bytes(10), 3, 3, {}), InternalFault);
}
