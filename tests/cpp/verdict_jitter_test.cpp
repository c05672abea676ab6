#include <gtest/gtest.h>

#include <cstring>

#include "image_io/png.hpp"
#include "pixeldiff/jitter.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "verdict/verdict.hpp"

using namespace qf;

namespace {

constexpr std::size_t W = 72, H = 40;

// Soft-edged vertical strokes on white, every 9 pixels from x = 4 + dx.
Bytes strokes(std::size_t dx) {
  Bytes px(W * H * 4, 255);
  for (std::size_t x0 = 4 + dx; x0 + 6 < W; x0 += 9)
    for (std::size_t y = 4; y + 4 < H; ++y)
      for (std::size_t x = x0; x < x0 + 4; ++x) {
        const uint8_t v = x == x0 + 3 ? 140 : 30;
        for (int c = 0; c < 3; ++c) px[4 * (y * W + x) + c] = v;
      }
  return px;
}

void paint(Bytes& px, std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1) {
  for (std::size_t y = y0; y < y1; ++y)
    for (std::size_t x = x0; x < x1; ++x) {
      uint8_t* p = &px[4 * (y * W + x)];
      p[0] = 0, p[1] = 0, p[2] = 230;
    }
}

VerdictImage rgba(const Bytes& px) { return {px, false, W, H}; }

Verdict run(const Bytes& a, const Bytes& b, VerdictOptions o) {
  auto v = verdict_of(rgba(a), rgba(b), o);
  EXPECT_TRUE(std::holds_alternative<Verdict>(v));
  return std::get<Verdict>(std::move(v));
}

uint64_t plain_count(const Bytes& a, const Bytes& b) { return *count_diffs(a, b, W, H, DiffOptions{}); }

VerdictOptions with_jitter(unsigned r, DiffRequest diff = DiffRequest::Never) {
  VerdictOptions o;
  o.jitter = r;
  o.diff = diff;
  return o;
}

}  // namespace

TEST(VerdictJitter, DefaultIsOneAndRangeIsChecked) {
  EXPECT_EQ(VerdictOptions{}.jitter, 1u);
  VerdictOptions o;
  o.jitter = MAX_JITTER + 1;
  ASSERT_TRUE(check_verdict_options(o));
  EXPECT_EQ(check_verdict_options(o)->message, "jitter must be in the range [0.0, 4.0]");
}

TEST(VerdictJitter, AMoveWithinTheRadiusIsUnchangedAndZeroCountsIt) {
  const Bytes a = strokes(0), b = strokes(1);
  const uint64_t plain = plain_count(a, b);
  ASSERT_GT(plain, 100u);
  const Verdict off = run(a, b, with_jitter(0));
  EXPECT_EQ(off.status, VerdictStatus::Changed);
  EXPECT_EQ(off.diff_pixels, plain);
  EXPECT_EQ(off.jitter_pixels, 0u);
  const Verdict on = run(a, b, with_jitter(1));
  EXPECT_EQ(on.status, VerdictStatus::Unchanged);
  EXPECT_TRUE(on.passed);
  EXPECT_EQ(on.diff_pixels, 0u);
  EXPECT_EQ(on.jitter_pixels, plain);
  EXPECT_TRUE(on.clusters.empty());
}

TEST(VerdictJitter, AnEditBesideTheMoveCountsAloneInCountClustersAndImage) {
  const Bytes a = strokes(0);
  Bytes b = strokes(1);
  paint(b, 30, 12, 44, 20);
  const uint64_t plain = plain_count(a, b);
  const Verdict v = run(a, b, with_jitter(1, DiffRequest::Always));
  ASSERT_EQ(v.status, VerdictStatus::Changed);
  EXPECT_EQ(v.diff_pixels + v.jitter_pixels, plain);
  EXPECT_GT(v.jitter_pixels, 0u);
  // Only the edit is clustered: one cluster on it (its rim beside old ink may pass as a move), holding every
  // counted pixel.
  ASSERT_EQ(v.clusters.size(), 1u);
  const VerdictCluster& k = v.clusters[0];
  EXPECT_TRUE(k.part.x >= 29 && k.part.x <= 31) << k.part.x;
  EXPECT_TRUE(k.part.x + k.part.width >= 43 && k.part.x + k.part.width <= 45) << k.part.width;
  EXPECT_EQ(k.pixels, v.diff_pixels);
  // The diff image: counted pixels in the diff colour, the jitter pixels in the anti-aliasing colour.
  ASSERT_TRUE(v.diff_png);
  auto img = decode_png(*v.diff_png);
  ASSERT_TRUE(img);
  const DiffOptions d;
  uint64_t red = 0, yellow = 0;
  for (std::size_t i = 0; i < W * H; ++i) {
    const uint8_t* p = &img->data[4 * i];
    red += p[0] == d.diff_color.r && p[1] == d.diff_color.g && p[2] == d.diff_color.b;
    yellow += p[0] == d.aa_color.r && p[1] == d.aa_color.g && p[2] == d.aa_color.b;
  }
  EXPECT_EQ(red, v.diff_pixels);
  EXPECT_GE(yellow, v.jitter_pixels);
  // Without the rule the image is the plain one.
  const Verdict off = run(a, b, with_jitter(0, DiffRequest::Always));
  EXPECT_EQ(off.diff_pixels, plain);
  EXPECT_NE(*off.diff_png, *v.diff_png);
}

TEST(VerdictJitter, IgnoredPixelsAreTheDifferencesInsideTheRegions) {
  const Bytes a = strokes(0);
  Bytes b = a;
  paint(b, 2, 2, 12, 10);   // inside the ignored rectangle
  paint(b, 40, 20, 50, 26);  // outside
  for (unsigned r : {0u, 1u}) {
    VerdictOptions o = with_jitter(r);
    o.ignore_rects = {{0, 0, 16, 12}};
    const Verdict v = run(a, b, o);
    Bytes inside = a;
    paint(inside, 2, 2, 12, 10);
    EXPECT_EQ(v.ignored_pixels, plain_count(a, inside)) << r;
    EXPECT_GT(v.ignored_pixels, 0u);
    Bytes outside = a;
    paint(outside, 40, 20, 50, 26);
    EXPECT_EQ(v.diff_pixels + v.jitter_pixels, plain_count(a, outside)) << r;
  }
  VerdictOptions o;
  o.ignore_rects = {{0, 0, 16, 12}};
  EXPECT_EQ(run(a, a, o).ignored_pixels, 0u);
  EXPECT_EQ(run(a, b, VerdictOptions{}).ignored_pixels, 0u);  // nothing ignored, nothing counted there
}

TEST(Jitter, MarkingTheCountsMaskAgreesWithTheJitterMask) {
  const Bytes a = strokes(0);
  Bytes b = strokes(1);
  paint(b, 30, 12, 44, 20);
  for (unsigned r : {0u, 1u, 2u}) {
    auto full = build_jitter_mask(a, b, W, H, DiffOptions{}, r);
    ASSERT_TRUE(full);
    Bytes mask = full->classes;
    for (uint8_t& m : mask) m = m != 0 ? MASK_DIFFERENT : 0;
    EXPECT_EQ(mark_jitter(a, b, W, H, mask, r), full->counts.jitter_pixels) << r;
    EXPECT_EQ(mask, full->classes) << r;
  }
}
