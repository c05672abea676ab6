#include <gtest/gtest.h>

#include <webp/decode.h>

#include <string>

#include "image_io/thumbnail.hpp"

using namespace qf;

namespace {

struct Decoded {
  int width = 0, height = 0;
  Bytes rgb;
};

Decoded decode(const Bytes& webp) {
  Decoded d;
  uint8_t* rgb = WebPDecodeRGB(webp.data(), webp.size(), &d.width, &d.height);
  EXPECT_NE(rgb, nullptr);
  if (rgb) {
    d.rgb.assign(rgb, rgb + std::size_t(d.width) * d.height * 3);
    WebPFree(rgb);
  }
  return d;
}

// A pattern with a distinct value in every channel of every pixel, alpha varying too.
Bytes pattern(std::size_t w, std::size_t h) {
  Bytes out(w * h * 4);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      uint8_t* p = &out[(y * w + x) * 4];
      p[0] = uint8_t(x * 7 + y);
      p[1] = uint8_t(y * 5 + x * 3);
      p[2] = uint8_t(x ^ y);
      p[3] = uint8_t((x + y) % 3 == 0 ? 0 : 200);
    }
  return out;
}

// RGB of the top-left crop_w × crop_h of a w-wide RGBA image.
Bytes rgb_crop(const Bytes& rgba, std::size_t w, std::size_t crop_w, std::size_t crop_h) {
  Bytes out;
  for (std::size_t y = 0; y < crop_h; ++y)
    for (std::size_t x = 0; x < crop_w; ++x)
      for (std::size_t c = 0; c < 3; ++c) out.push_back(rgba[(y * w + x) * 4 + c]);
  return out;
}

ThumbnailRequest req(std::size_t width, std::optional<std::size_t> height = std::nullopt,
                     std::optional<std::size_t> min_width = std::nullopt,
                     std::optional<std::size_t> min_height = std::nullopt) {
  return ThumbnailRequest{width, height, min_width, min_height};
}

}  // namespace

TEST(ThumbnailSize, ScalesToTheWidthRoundingHalfAwayAndNeverUp) {
  using S = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(scaled_size(1000, 500, 200), S(200, 100));
  EXPECT_EQ(scaled_size(1000, 3, 200), S(200, 1));     // 0.6 rounds up
  EXPECT_EQ(scaled_size(1000, 2, 200), S(200, 1));     // 0.4 rounds to 0, raised to 1
  EXPECT_EQ(scaled_size(1000, 2500, 200), S(200, 500));
  EXPECT_EQ(scaled_size(400, 1, 200), S(200, 1));      // exactly 0.5 rounds away from zero
  EXPECT_EQ(scaled_size(400, 3, 200), S(200, 2));      // 1.5 → 2
  EXPECT_EQ(scaled_size(150, 80, 200), S(150, 80));
  EXPECT_EQ(scaled_size(200, 80, 200), S(200, 80));
}

TEST(Thumbnail, SmallSourcesAreEncodedUnchangedWithAlphaDropped) {
  Bytes src = pattern(150, 80);  // a third of the pixels are fully transparent
  Decoded d = decode(*make_thumbnail(src, 150, 80, req(200)));
  ASSERT_EQ(d.width, 150);
  EXPECT_EQ(d.rgb, rgb_crop(src, 150, 150, 80));
  Decoded top = decode(*make_thumbnail(src, 150, 80, req(200, 50)));
  ASSERT_EQ(top.height, 50);
  EXPECT_EQ(top.rgb, rgb_crop(src, 150, 150, 50));
}

TEST(Thumbnail, MinimumRuleCropsTheUnscaledSourceTopLeft) {
  Bytes wide = pattern(1000, 500);
  Decoded d = decode(*make_thumbnail(wide, 1000, 500, req(200, std::nullopt, 300)));
  EXPECT_EQ(d.width, 200);
  EXPECT_EQ(d.height, 500);
  EXPECT_EQ(d.rgb, rgb_crop(wide, 1000, 200, 500));
  Decoded capped = decode(*make_thumbnail(wide, 1000, 500, req(200, 100, 300)));
  EXPECT_EQ(capped.height, 100);
  EXPECT_EQ(capped.rgb, rgb_crop(wide, 1000, 200, 100));

  Bytes strip = pattern(1000, 200);
  Decoded s = decode(*make_thumbnail(strip, 1000, 200, req(200, std::nullopt, std::nullopt, 60)));
  EXPECT_EQ(s.width, 200);
  EXPECT_EQ(s.height, 200);
  EXPECT_EQ(s.rgb, rgb_crop(strip, 1000, 200, 200));

  // Met minimums scale as usual.
  Decoded scaled = decode(*make_thumbnail(wide, 1000, 500, req(200, std::nullopt, 200, 100)));
  EXPECT_EQ(scaled.height, 100);
}

TEST(Thumbnail, ChecksRunInOrderBeforeAnyPixelWork) {
  auto msg = [](const Result<Bytes>& r) { return r ? std::string("ok") : r.error().message; };
  EXPECT_EQ(msg(make_thumbnail({}, 1ull << 32, 1ull << 32, req(0))), "image dimensions overflowed");
  EXPECT_EQ(msg(make_thumbnail(Bytes(3), 1, 1, req(0))),
            "invalid RGBA buffer length: expected 4 bytes for 1x1, got 3");
  EXPECT_EQ(msg(make_thumbnail(Bytes(4), 1, 1, req(0, 0))), "thumbnail max_width must be > 0");
  EXPECT_EQ(msg(make_thumbnail(Bytes(4), 1, 1, req(1, 0))), "thumbnail max_height must be > 0");
}

TEST(Thumbnail, SidesTheEncoderCannotTakeFail) {
  auto msg = [](const Result<Bytes>& r) { return r ? std::string("ok") : r.error().message; };
  const std::string refused = "failed to encode WebP: ";
  // Empty sources go straight to the encoder, after the 2^32 side checks (width first).
  EXPECT_EQ(msg(make_thumbnail({}, 0, 5, req(200))).rfind(refused, 0), 0u);
  EXPECT_EQ(msg(make_thumbnail({}, 5, 0, req(200))).rfind(refused, 0), 0u);
  EXPECT_EQ(msg(make_thumbnail({}, 1ull << 32, 0, req(200))), "image width is too large");
  EXPECT_EQ(msg(make_thumbnail({}, 0, 1ull << 32, req(200))), "image height is too large");
  // A tall narrow image without a height limit exceeds the format; a height limit makes it fit.
  Bytes tall(1 * 16384 * 4, 9);
  EXPECT_EQ(msg(make_thumbnail(tall, 1, 16384, req(200))).rfind(refused, 0), 0u);
  EXPECT_EQ(decode(*make_thumbnail(tall, 1, 16384, req(200, 100))).height, 100);
  Bytes limit(1 * 16383 * 4, 9);
  EXPECT_EQ(decode(*make_thumbnail(limit, 1, 16383, req(200))).height, 16383);
}
