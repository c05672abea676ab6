#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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

namespace {
// Merging as plainly written: passes until nothing merges; in a pass each record, in order, absorbs every later
// record that qualifies with its box as grown so far.
bool overlaps(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  return std::max(a, b) < std::min(a + la, b + lb);
}
double ratio(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  const std::size_t lo = std::max(a, b), hi = std::min(a + la, b + lb);
  return lo < hi ? double(hi - lo) / double(std::min(la, lb)) : 0.0;
}
std::size_t gap_between(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  return a + la < b ? b - (a + la) : b + lb < a ? a - (b + lb) : 0;
}
void reference_merge(std::vector<ClusterRecord>& l, std::size_t gap, double overlap) {
  auto qualifies = [&](const ClusterRecord& a, const ClusterRecord& b) {
    return (overlaps(a.x, a.width, b.x, b.width) && overlaps(a.y, a.height, b.y, b.height)) ||
           (ratio(a.x, a.width, b.x, b.width) >= overlap && gap_between(a.y, a.height, b.y, b.height) <= gap) ||
           (ratio(a.y, a.height, b.y, b.height) >= overlap && gap_between(a.x, a.width, b.x, b.width) <= gap);
  };
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < l.size(); ++i)
      for (std::size_t j = i + 1; j < l.size();) {
        if (!qualifies(l[i], l[j])) {
          ++j;
          continue;
        }
        ClusterRecord& a = l[i];
        const ClusterRecord& b = l[j];
        const std::size_t x = std::min(a.x, b.x), y = std::min(a.y, b.y);
        const std::size_t r = std::max(a.x + a.width, b.x + b.width), d = std::max(a.y + a.height, b.y + b.height);
        const double na = double(a.pixel_count), nb = double(b.pixel_count), t = double(a.pixel_count + b.pixel_count);
        a.centroid_x = (a.centroid_x * na + b.centroid_x * nb) / t;
        a.centroid_y = (a.centroid_y * na + b.centroid_y * nb) / t;
        a.x = x, a.y = y, a.width = r - x, a.height = d - y;
        a.pixel_count += b.pixel_count;
        a.merged_from += b.merged_from;
        l.erase(l.begin() + std::ptrdiff_t(j));
        changed = true;
      }
  }
}
}  // namespace

TEST(ClustersMerge, SameRecordsAndOrderAsThePlainPasses) {
  // Random pages of boxes: sparse and crowded, small and page-wide, chains that grow one box across the page,
  // gaps from 0 to far, ratios positive, NaN and non-positive.
  std::mt19937_64 rng(7);
  const double ratios[] = {0.5, 0.1, 1.0, 0.9, NAN, 0.0, -1.0};
  for (int round = 0; round < 300; ++round) {
    const std::size_t page_w = 40 + rng() % 2000, page_h = 40 + rng() % 3000;
    const std::size_t n = 1 + rng() % (round % 10 == 0 ? 3000 : 400);
    const std::size_t big = rng() % 4 == 0 ? page_w / 2 : 30;
    std::vector<ClusterRecord> l;
    for (std::size_t k = 0; k < n; ++k) {
      ClusterRecord r;
      if (round % 7 == 3) {  // a grid one gap apart: merges chain across the page
        const std::size_t side = 9, per_row = page_w / (side + 1);
        r = box((k % per_row) * (side + 1), (k / per_row) * (side + 1), side, side);
      } else {
        const std::size_t w = 1 + rng() % (rng() % 8 == 0 ? big : 12), h = 1 + rng() % (rng() % 8 == 0 ? big : 12);
        r = box(rng() % page_w, rng() % page_h, w, h);
      }
      r.pixel_count = 1 + rng() % 500;
      r.centroid_x += double(rng() % 100) / 37.0;
      l.push_back(r);
    }
    std::stable_sort(l.begin(), l.end(), [](auto& a, auto& b) { return a.pixel_count > b.pixel_count; });
    const std::size_t gap = round % 11 == 5 ? SIZE_MAX / 2 : rng() % 6;
    const double overlap = ratios[round % 7];
    std::vector<ClusterRecord> fast = l, plain = l;
    merge_clusters(fast, gap, overlap);
    reference_merge(plain, gap, overlap);
    ASSERT_EQ(fast.size(), plain.size()) << "round " << round;
    for (std::size_t k = 0; k < fast.size(); ++k) {
      const ClusterRecord &a = fast[k], &b = plain[k];
      ASSERT_TRUE(a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height &&
                  a.pixel_count == b.pixel_count && a.merged_from == b.merged_from &&
                  a.centroid_x == b.centroid_x && a.centroid_y == b.centroid_y)
          << "round " << round << " record " << k;
    }
  }
}

TEST(ClustersDilate, ThinMasksAndEmptyOnes) {
  // One row and one column, set at an end and in the middle, radius shorter and longer than the side.
  for (std::size_t r : {std::size_t{1}, std::size_t{3}, std::size_t{100}})
    for (std::size_t at : {std::size_t{0}, std::size_t{4}, std::size_t{8}}) {
      Bytes mask(9, 0);
      mask[at] = 1;
      Bytes expected(9, 0);
      for (std::size_t i = 0; i < 9; ++i) expected[i] = (i > at ? i - at : at - i) <= r;
      EXPECT_EQ(dilate_mask(mask, 9, 1, r), expected) << r << " " << at;
      EXPECT_EQ(dilate_mask(mask, 1, 9, r), expected) << r << " " << at;
    }
  EXPECT_TRUE(dilate_mask({}, 0, 5, 2).empty());
  EXPECT_TRUE(dilate_mask({}, 5, 0, 2).empty());
}
