#include <gtest/gtest.h>

#include <random>

#include "pixeldiff/jitter.hpp"
#include "pixeldiff/pixeldiff.hpp"

using namespace qf;

namespace {

// A white page with dark vertical strokes three pixels wide every few pixels, drawn `dx` pixels to the right;
// with `half`, half a pixel further, as a renderer blends it: half-strength columns on both sides.
Bytes strokes(std::size_t w, std::size_t h, std::size_t dx, bool half = false, uint8_t ink = 30) {
  Bytes px(w * h * 4, 255);
  const uint8_t blend = static_cast<uint8_t>((ink + 255) / 2);
  for (std::size_t x0 = 4 + dx; x0 + 5 < w; x0 += 9)
    for (std::size_t y = 3; y + 3 < h; ++y)
      for (std::size_t x = x0; x < x0 + 3 + half; ++x) {
        const uint8_t v = half && (x == x0 || x == x0 + 3) ? blend : ink;
        for (int c = 0; c < 3; ++c) px[4 * (y * w + x) + c] = v;
      }
  return px;
}

void paint(Bytes& px, std::size_t w, std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1, uint8_t r,
           uint8_t g, uint8_t b) {
  for (std::size_t y = y0; y < y1; ++y)
    for (std::size_t x = x0; x < x1; ++x) {
      uint8_t* p = &px[4 * (y * w + x)];
      p[0] = r, p[1] = g, p[2] = b;
    }
}

DiffOptions defaults(double threshold = 0.1, bool include_aa = false) {
  DiffOptions o;
  o.threshold = threshold;
  o.include_aa = include_aa;
  return o;
}

}  // namespace

TEST(Jitter, RadiusZeroIsThePlainCountInEveryMode) {
  const std::size_t w = 64, h = 40;
  Bytes a = strokes(w, h, 0), b = strokes(w, h, 1);
  paint(b, w, 10, 10, 20, 14, 200, 0, 0);
  for (double t : {0.0, 0.1, 0.5})
    for (bool aa : {false, true}) {
      const auto plain = count_diffs(a, b, w, h, defaults(t, aa));
      const auto split = count_jitter(a, b, w, h, defaults(t, aa), 0);
      ASSERT_TRUE(plain && split);
      EXPECT_EQ(split->diff_pixels, *plain) << t << aa;
      EXPECT_EQ(split->jitter_pixels, 0u);
      const auto mask = build_jitter_mask(a, b, w, h, defaults(t, aa), 0);
      ASSERT_TRUE(mask);
      EXPECT_EQ(mask->counts.diff_pixels, *plain);
    }
}

TEST(Jitter, MovesWithinTheRadiusAreJitterAndTheSplitAddsUp) {
  const std::size_t w = 80, h = 30;
  const Bytes a = strokes(w, h, 0);
  for (bool half : {false, true}) {
    const Bytes b = strokes(w, h, half ? 0 : 1, half);
    const auto plain = count_diffs(a, b, w, h, defaults(0.1, true));
    const auto split = count_jitter(a, b, w, h, defaults(0.1, true), 1);
    ASSERT_TRUE(plain && split);
    EXPECT_GT(*plain, 0u);
    EXPECT_EQ(split->diff_pixels, 0u) << half;
    EXPECT_EQ(split->jitter_pixels, *plain);
  }
  // Two pixels is beyond a radius of one but within two.
  const Bytes far = strokes(w, h, 2);
  EXPECT_GT(count_jitter(a, far, w, h, defaults(0.1, true), 1)->diff_pixels, 0u);
  EXPECT_EQ(count_jitter(a, far, w, h, defaults(0.1, true), 2)->diff_pixels, 0u);
}

TEST(Jitter, RealEditsStillCount) {
  const std::size_t w = 80, h = 30;
  const Bytes a = strokes(w, h, 0);
  // A recoloured stroke: a colour found nowhere near in the baseline.
  Bytes recoloured = a;
  paint(recoloured, w, 4, 3, 7, h - 3, 200, 20, 20);
  // A removed stroke: the baseline's ink is found nowhere near in the current image.
  Bytes removed = a;
  paint(removed, w, 13, 3, 16, h - 3, 255, 255, 255);
  // An inserted block on empty page.
  Bytes inserted = a;
  paint(inserted, w, 8, 1, 12, 3, 0, 0, 0);
  for (const Bytes* b : {&recoloured, &removed, &inserted}) {
    const auto plain = count_diffs(a, *b, w, h, defaults(0.1, true));
    const auto split = count_jitter(a, *b, w, h, defaults(0.1, true), 1);
    ASSERT_TRUE(plain && split);
    EXPECT_GT(*plain, 0u);
    EXPECT_EQ(split->diff_pixels, *plain);
  }
}

TEST(Jitter, MaskAgreesWithCountOnTheParallelPath) {
  // Large enough for the parallel path; random noise so that both classes are many.
  const std::size_t w = 700, h = 400;
  std::mt19937 rng(7);
  Bytes a(w * h * 4, 255), b;
  for (std::size_t i = 0; i < w * h; ++i)
    if (rng() % 5 == 0)
      for (int c = 0; c < 3; ++c) a[4 * i + c] = static_cast<uint8_t>(rng() % 256);
  b = a;
  for (std::size_t i = 0; i < w * h; ++i)
    if (rng() % 7 == 0) std::swap(b[4 * i], b[4 * ((i + 1) % (w * h))]);
  for (double t : {0.0, 0.1}) {
    const auto split = count_jitter(a, b, w, h, defaults(t), 1);
    const auto mask = build_jitter_mask(a, b, w, h, defaults(t), 1);
    ASSERT_TRUE(split && mask);
    EXPECT_GT(split->jitter_pixels, 0u);
    EXPECT_GT(split->diff_pixels, 0u);
    EXPECT_EQ(mask->counts.diff_pixels, split->diff_pixels);
    EXPECT_EQ(mask->counts.jitter_pixels, split->jitter_pixels);
    std::size_t ones = 0, twos = 0;
    for (uint8_t v : mask->classes) ones += v == MASK_DIFFERENT, twos += v == MASK_JITTER;
    EXPECT_EQ(ones, split->diff_pixels);
    EXPECT_EQ(twos, split->jitter_pixels);
    EXPECT_EQ(split->diff_pixels + split->jitter_pixels, *count_diffs(a, b, w, h, defaults(t)));
  }
}

TEST(Jitter, EdgesOfTheCanvasAndBadRadius) {
  // One-pixel canvases and the corners clip the neighbourhood instead of reading outside it.
  Bytes a(4, 0), b(4, 255);
  a[3] = b[3] = 255;
  EXPECT_EQ(count_jitter(a, b, 1, 1, defaults(), 1)->diff_pixels, 1u);
  // A dark pixel appearing inside the page counts; at the edge of the capture it may be content moving into the
  // frame, so only r pixels deep.
  const std::size_t w = 5, h = 5;
  Bytes c(w * h * 4, 255);
  for (std::size_t y : {2u, 4u}) {
    Bytes d = c;
    paint(d, w, 2, y, 3, y + 1, 0, 0, 0);
    EXPECT_EQ(count_jitter(c, d, w, h, defaults(0.1, true), 1)->diff_pixels, y == 2 ? 1u : 0u) << y;
    EXPECT_EQ(count_jitter(c, d, w, h, defaults(0.1, true), 1)->jitter_pixels, y == 2 ? 0u : 1u) << y;
  }
  Bytes d = c;
  paint(d, w, 2, 2, 3, 3, 0, 0, 0);
  const auto bad = count_jitter(c, d, w, h, defaults(), MAX_JITTER + 1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, JITTER_RANGE_MESSAGE);
  EXPECT_FALSE(build_jitter_mask(c, d, w, h, defaults(), MAX_JITTER + 1));
}
