#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

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

namespace {
// The resampler written the plain way: per output row, a float row summed over the vertical taps in order, then
// per output pixel and channel the horizontal taps in order. The fast kernels must give the same bytes.
Bytes plain_resize(const Bytes& src, std::size_t w, std::size_t h, std::size_t nw, std::size_t nh) {
  Bytes out(nw * nh * 4);
  std::vector<float> row(w * 4);
  for (std::size_t y = 0; y < nh; ++y) {
    const FilterTaps ty = filter_taps(y, h, nh);
    for (std::size_t k = 0; k < w * 4; ++k) {
      float acc = ty.weights[0] * float(src[ty.first * w * 4 + k]);
      for (std::size_t i = 1; i < ty.weights.size(); ++i) acc += ty.weights[i] * float(src[(ty.first + i) * w * 4 + k]);
      row[k] = acc;
    }
    for (std::size_t x = 0; x < nw; ++x) {
      const FilterTaps tx = filter_taps(x, w, nw);
      for (std::size_t c = 0; c < 4; ++c) {
        float acc = 0.0f;
        for (std::size_t i = 0; i < tx.weights.size(); ++i) acc += tx.weights[i] * row[(tx.first + i) * 4 + c];
        out[(y * nw + x) * 4 + c] = uint8_t(std::round(std::clamp(acc, 0.0f, 255.0f)));
      }
    }
  }
  return out;
}
}  // namespace

TEST(Resize, SameBytesAsThePlainTwoPassSum) {
  // Noise with hard edges (rings and clamps happen) below a band whose columns are constant down the rows (the
  // flat-block shortcut), shrinking and enlarging, widths on and off the kernels' 64-byte blocks.
  struct Case { std::size_t w, h, nw, nh; };
  const Case cases[] = {{1280, 72, 200, 11}, {333, 97, 200, 58}, {17, 300, 5, 40}, {7, 5, 23, 11},
                        {64, 64, 64, 16}, {1, 50, 3, 7}, {401, 3, 200, 1}, {16, 16, 1, 1}};
  uint32_t state = 12345;
  for (const Case& c : cases) {
    Bytes src(c.w * c.h * 4);
    for (std::size_t i = 0; i < src.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      const uint8_t r = uint8_t(state >> 24);
      const std::size_t x = (i / 4) % c.w, y = (i / 4) / c.w;
      if (y < c.h / 2 && x < c.w * 3 / 4)
        src[i] = uint8_t(x * 37 + (i % 4) * 91);
      else
        src[i] = (i / 4) % 11 < 4 ? uint8_t(r & 0x80 ? 255 : 0) : (i / 4) % 11 < 7 ? 200 : r;
    }
    auto fast = resize_lanczos3(src, c.w, c.h, c.nw, c.nh);
    ASSERT_TRUE(fast);
    EXPECT_EQ(*fast, plain_resize(src, c.w, c.h, c.nw, c.nh)) << c.w << "x" << c.h << " -> " << c.nw << "x" << c.nh;
  }
}
