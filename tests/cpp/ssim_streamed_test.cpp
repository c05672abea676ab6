#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ssim/detail.hpp"
#include "ssim/ssim.hpp"

using namespace qf;

namespace {

Bytes noise(std::size_t w, std::size_t h, uint32_t seed, int levels = 256) {
  std::mt19937 rng(seed);
  Bytes b(w * h * 4);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i % 4 == 3 ? 255 : rng() % levels);
  return b;
}

// A copy of `a` whose pixels in rows [y0, y1) and columns [x0, x1) are changed.
Bytes changed(const Bytes& a, std::size_t w, std::size_t x0, std::size_t x1, std::size_t y0, std::size_t y1,
              uint32_t seed) {
  Bytes b = a;
  std::mt19937 rng(seed);
  for (std::size_t y = y0; y < y1; ++y)
    for (std::size_t x = x0; x < x1; ++x) b[(y * w + x) * 4 + rng() % 3] ^= static_cast<uint8_t>(1 + rng() % 255);
  return b;
}

void expect_same_bits(const Bytes& a, const Bytes& b, std::size_t w, std::size_t h) {
  const double engine = *ssim_rgba(a, b, w, h);
  const double streamed = *ssim_rgba_streamed(a, b, w, h);
  EXPECT_EQ(std::memcmp(&engine, &streamed, sizeof(double)), 0) << w << "x" << h << ": " << engine << " vs " << streamed;
}

TEST(SsimStreamed, RandomImagesGiveTheEnginesBits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::size_t w = 1 + rng() % 70, h = 1 + rng() % 70;
    // Few levels make flat areas, where rounding in the tables shows first.
    const int levels = round % 3 == 0 ? 4 : 256;
    expect_same_bits(noise(w, h, round, levels), noise(w, h, 1000 + round, levels), w, h);
  }
}

TEST(SsimStreamed, BothKernelsGiveTheEnginesBits) {
  const std::size_t w = 200, h = 60;
  const Bytes a = noise(w, h, 21, 16), b = changed(noise(w, h, 21, 16), w, 30, 190, 8, 50, 3);
  for (bool wide : {false, true}) {
    if (wide && !ssim_detail::use_wide_outputs(true)) continue;
    ssim_detail::use_wide_outputs(wide);
    expect_same_bits(a, b, w, h);
    expect_same_bits(a, noise(w, h, 22), w, h);
  }
  ssim_detail::use_wide_outputs(std::nullopt);
}

TEST(SsimStreamed, ChangesAnywhereGiveTheEnginesBits) {
  // Equal images but for a block whose first row and column sweep across the border cases: inside the mirrored
  // margin (<= 5), just past it, the middle, and the last rows and columns.
  const std::size_t w = 48, h = 40;
  const Bytes a = noise(w, h, 3, 8);
  for (std::size_t y0 : {0u, 3u, 5u, 6u, 7u, 11u, 20u, 34u, 39u})
    for (std::size_t x0 : {0u, 4u, 5u, 6u, 12u, 40u, 47u}) {
      const Bytes b = changed(a, w, x0, std::min(w, x0 + 3), y0, std::min(h, y0 + 2), y0 * 100 + x0);
      expect_same_bits(a, b, w, h);
      EXPECT_EQ(first_luma_difference(a, b, w, h).row, y0);
      EXPECT_EQ(first_luma_difference(a, b, w, h).column, x0);
    }
  // A single pixel far from the first row and column of another change.
  Bytes b = changed(a, w, 30, 31, 8, 9, 1);
  b = changed(b, w, 9, 10, 33, 34, 2);
  expect_same_bits(a, b, w, h);
}

TEST(SsimStreamed, TheStartGivenMayBeEarlierButNotLater) {
  const std::size_t w = 60, h = 50;
  const Bytes a = noise(w, h, 11);
  const Bytes b = changed(a, w, 30, 34, 25, 27, 5);
  const double engine = *ssim_rgba(a, b, w, h);
  EXPECT_EQ(*ssim_rgba_streamed(a, b, w, h, LumaStart{0, 0}), engine);
  EXPECT_EQ(*ssim_rgba_streamed(a, b, w, h, LumaStart{20, 10}), engine);
  EXPECT_EQ(*ssim_rgba_streamed(a, b, w, h, LumaStart{25, 30}), engine);
  // Equal images: exactly 1.0, as the engine says.
  EXPECT_EQ(*ssim_rgba_streamed(a, a, w, h), 1.0);
  EXPECT_EQ(*ssim_rgba(a, a, w, h), 1.0);
}

TEST(SsimStreamed, AlphaAloneDoesNotMoveTheStart) {
  const std::size_t w = 30, h = 30;
  const Bytes a = noise(w, h, 2);
  Bytes b = a;
  b[(2 * w + 1) * 4 + 3] = 0;  // alpha only: luma is the same
  EXPECT_EQ(first_luma_difference(a, b, w, h).row, h);
  b = changed(b, w, 20, 21, 15, 16, 9);
  EXPECT_EQ(first_luma_difference(a, b, w, h).row, 15u);
  EXPECT_EQ(first_luma_difference(a, b, w, h).column, 20u);
  expect_same_bits(a, b, w, h);
}

TEST(SsimStreamed, ScreenshotSizedPairs) {
  // A page-like image: flat background, rows of dark marks; an edit below the top and right of the left edge.
  const std::size_t w = 1280, h = 720;
  Bytes a(w * h * 4, 250);
  std::mt19937 rng(4);
  for (std::size_t y = 40; y < h; y += 22)
    for (std::size_t x = 24; x < w - 40; x += 1 + rng() % 9)
      for (std::size_t k = 0; k < 12; ++k) std::memset(a.data() + ((y + k) * w + x) * 4, 40 + rng() % 30, 3);
  expect_same_bits(a, changed(a, w, 300, 520, 400, 412, 1), w, h);
  expect_same_bits(a, changed(a, w, 0, w, 2, 3, 2), w, h);
}

TEST(SsimStreamed, BuffersMustHoldTheirSize) {
  const Bytes a = noise(20, 20, 1);
  EXPECT_FALSE(ssim_rgba_streamed(a, ByteView(a).first(a.size() - 4), 20, 20).ok());
  EXPECT_FALSE(ssim_rgba_streamed(ByteView(a).first(8), ByteView(a).first(8), 1ull << 62, 4).ok());
}

}  // namespace
