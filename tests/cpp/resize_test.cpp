#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "image_io/resize.hpp"

using namespace qf;

namespace {
Bytes solid(std::size_t w, std::size_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  Bytes out(w * h * 4);
  for (std::size_t i = 0; i < w * h; ++i) {
    out[i * 4] = r;
    out[i * 4 + 1] = g;
    out[i * 4 + 2] = b;
    out[i * 4 + 3] = a;
  }
  return out;
}
}  // namespace

TEST(ResizeKernel, SupportWidensWithTheShrinkFactor) {
  for (std::size_t factor : {1u, 2u, 4u, 10u}) {
    const std::size_t source = 100 * factor;
    FilterTaps taps = filter_taps(50, source, 100);  // an interior output pixel
    // 2 × 3 lobes × factor source pixels, plus the rounding of both ends.
    EXPECT_GE(taps.weights.size(), 6 * factor) << factor;
    EXPECT_LE(taps.weights.size(), 6 * factor + 2) << factor;
    float sum = std::accumulate(taps.weights.begin(), taps.weights.end(), 0.0f);
    EXPECT_NEAR(sum, 1.0f, 1e-5) << factor;
  }
  // At the borders the taps are cut to the image and renormalised.
  FilterTaps edge = filter_taps(0, 400, 100);
  EXPECT_EQ(edge.first, 0u);
  EXPECT_NEAR(std::accumulate(edge.weights.begin(), edge.weights.end(), 0.0f), 1.0f, 1e-5);
}

TEST(Resize, SolidColoursStaySolidInEveryChannel) {
  // Alpha 0 with a stored colour: the channels are filtered independently, so the colour is not darkened.
  for (uint8_t alpha : {uint8_t{0}, uint8_t{128}, uint8_t{255}}) {
    Bytes src = solid(97, 53, 10, 200, 31, alpha);
    auto out = resize_lanczos3(src, 97, 53, 20, 11);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, solid(20, 11, 10, 200, 31, alpha));
  }
}

TEST(Resize, HalvesRoundAwayFromZero) {
  // Two equal weights of 0.5 over the values 0 and 1 give exactly 0.5.
  Bytes src = {0, 0, 0, 0, 1, 1, 1, 1};
  auto out = resize_lanczos3(src, 2, 1, 1, 1);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, (Bytes{1, 1, 1, 1}));
}

TEST(Resize, RingingIsClampedNotWrapped) {
  // One dark column in white: the negative lobes push its neighbours above 255, which must clamp to 255.
  const std::size_t w = 64, h = 4;
  Bytes src = solid(w, h, 255, 255, 255, 255);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t c = 0; c < 4; ++c) src[(y * w + 32) * 4 + c] = 0;
  auto out = resize_lanczos3(src, w, h, 32, 2);
  ASSERT_TRUE(out);
  for (std::size_t y = 0; y < 2; ++y)
    for (std::size_t x = 0; x < 32; ++x) {
      if (x >= 15 && x <= 16) continue;  // the dark column itself
      EXPECT_GE((*out)[(y * 32 + x) * 4], 200) << x;
    }
  EXPECT_LT((*out)[(0 * 32 + 16) * 4], 200);
}
