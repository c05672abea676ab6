#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "alignment/alignment.hpp"

using namespace qf;

namespace {

// A w-wide image whose row y is filled with the value rows[y].
Bytes striped(std::size_t w, std::initializer_list<uint8_t> rows) {
  Bytes out;
  for (uint8_t v : rows)
    for (std::size_t x = 0; x < w; ++x) out.insert(out.end(), {v, v, v, 255});
  return out;
}

ImagePair pair_of(std::size_t w, std::initializer_list<uint8_t> b, std::initializer_list<uint8_t> c) {
  return std::move(make_image_pair(striped(w, b), w, b.size(), striped(w, c), w, c.size()).value());
}

}  // namespace

TEST(AlignmentRows, ChecksArgumentsInOrder) {
  ImagePair p = pair_of(2, {1, 2}, {1, 2});
  const double nan = std::nan("");
  struct Case {
    double threshold, alpha, ratio;
    const char* message;
  };
  const Case cases[] = {
      {nan, 2.0, 2.0, THRESHOLD_RANGE_MESSAGE},
      {0.1, -0.5, nan, ALPHA_RANGE_MESSAGE},
      {0.1, 0.1, nan, EDIT_RATIO_RANGE_MESSAGE},
      {0.1, 0.1, std::numeric_limits<double>::infinity(), EDIT_RATIO_RANGE_MESSAGE},
      {0.1, 0.1, -0.01, EDIT_RATIO_RANGE_MESSAGE},
  };
  for (const Case& c : cases) {
    DiffOptions d;
    d.threshold = c.threshold;
    d.alpha = c.alpha;
    auto r = align_rows(p, d, {c.ratio, 2048});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(r.error().message, c.message);
  }
}

TEST(AlignmentRows, DifferentWidthsAreUnalignedWithTheirIdentity) {
  Bytes b = striped(3, {1, 2, 3}), c = striped(2, {1, 2, 3});
  auto p = make_image_pair(b, 3, 3, c, 2, 3);
  ASSERT_TRUE(p);
  auto r = align_rows(*p, {}, {1.0, SIZE_MAX});
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->aligned);
  EXPECT_TRUE(r->segments.empty() && r->bands.empty() && r->resolved_segments.empty());
  EXPECT_EQ(r->pair_fingerprint, 0u);
  EXPECT_EQ(r->width, 3u);
  EXPECT_EQ(r->baseline_height, 3u);
  EXPECT_EQ(r->current_height, 3u);
  EXPECT_FALSE(p->fingerprint.peek());  // no keys were made
  auto v = validate_alignment(*p, *r, fingerprint_of(*p));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, ErrorKind::AlignmentFailed);
}

TEST(AlignmentRows, WindowsTakeContextRowsInsideBothImages) {
  ImagePair p = pair_of(2, {1, 2, 3, 4, 5}, {1, 200, 200, 4});
  struct Case {
    SegmentRecord segment;
    std::size_t before, rows, first_baseline_value;
  };
  const Case cases[] = {
      {{1, 1, 2, SegmentKind::Replace}, 1, 4, 1},  // context above and below
      {{0, 0, 2, SegmentKind::Replace}, 0, 3, 1},  // at the top: none above
      {{2, 2, 2, SegmentKind::Replace}, 1, 3, 2},  // ends at the current image's last row: none below
      {{1, 0, 1, SegmentKind::Replace}, 0, 2, 2},  // c = 0 alone removes the row above
  };
  for (const Case& c : cases) {
    SegmentWindow w = segment_window(p, c.segment);
    EXPECT_EQ(w.before, c.before);
    EXPECT_EQ(w.rows, c.rows);
    EXPECT_EQ(w.baseline.size(), c.rows * 2 * 4);
    EXPECT_EQ(w.baseline[0], c.first_baseline_value);
  }
  DiffOptions every;  // anti-aliasing allowance off, so every differing pixel counts
  every.include_aa = true;
  auto mask = changed_rows_mask(p, {1, 1, 2, SegmentKind::Replace}, every);
  ASSERT_TRUE(mask);
  EXPECT_EQ(*mask, Bytes(4, 1));  // rows 2, 3 against 200, 200; the context rows are not returned
}

TEST(AlignmentRows, ResidualCountsChangedRowsOfTheReportedSegments) {
  ImagePair p = pair_of(3, {10, 20, 30, 40, 50}, {10, 20, 99, 40, 50, 60});
  DiffOptions every;
  every.include_aa = true;
  auto r = align_rows(p, every, {});
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->aligned);
  EXPECT_EQ(r->changed_rows, 1u);
  EXPECT_EQ(r->inserted_rows, 1u);
  EXPECT_EQ(r->residual_count, 3u);
  EXPECT_EQ(r->pair_fingerprint, fingerprint_of(p));
  EXPECT_FALSE(validate_alignment(p, *r, fingerprint_of(p)));
  ImagePair other = pair_of(3, {10, 20, 30, 40, 50}, {10, 20, 98, 40, 50, 60});
  auto v = validate_alignment(other, *r, fingerprint_of(other));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, ErrorKind::AlignmentMismatch);
}
