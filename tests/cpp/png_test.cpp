#include <gtest/gtest.h>

#include <string>

#include "image_io/png.hpp"

using namespace qf;

namespace {

uint32_t crc32(const uint8_t* p, std::size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void put32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void chunk(Bytes& out, const char* type, const Bytes& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put32(out, crc32(out.data() + start, out.size() - start));
}

// A PNG that has a header (and optionally a tRNS chunk) and an empty image data chunk.
Bytes header_only(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour, const Bytes* trns = nullptr) {
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
  chunk(png, "IHDR", ihdr);
  if (colour == 3) chunk(png, "PLTE", Bytes{0, 0, 0, 255, 255, 255});
  if (trns) chunk(png, "tRNS", *trns);
  chunk(png, "IDAT", {});
  chunk(png, "IEND", {});
  return png;
}

Bytes gradient(std::size_t w, std::size_t h) {
  Bytes px(w * h * 4);
  for (std::size_t i = 0; i < w * h; ++i) {
    px[4 * i] = static_cast<uint8_t>(i);
    px[4 * i + 1] = static_cast<uint8_t>(i / w * 7);
    px[4 * i + 2] = static_cast<uint8_t>(255 - i % w);
    px[4 * i + 3] = 255;
  }
  return px;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

TEST(Png, EncodeDecodeRoundTripDropsAlpha) {
  Bytes px = gradient(37, 23);
  px[3] = 10;  // alpha is not encoded
  auto png = encode_png(px, 37, 23);
  ASSERT_TRUE(png) << png.error().message;
  EXPECT_EQ((*png)[25], 2);  // colour type: truecolour
  EXPECT_EQ((*png)[24], 8);  // bit depth
  auto image = decode_png(*png);
  ASSERT_TRUE(image) << image.error().message;
  EXPECT_EQ(image->width, 37u);
  EXPECT_EQ(image->height, 23u);
  px[3] = 255;
  EXPECT_EQ(image->data, px);
}

TEST(Png, EncodeChecksInOrder) {
  EXPECT_EQ(encode_png(Bytes(), 1ull << 32, 1ull << 32).error().message, "image dimensions overflowed");
  EXPECT_EQ(encode_png(Bytes(7), 1, 2).error().message, "invalid RGBA buffer length: expected 8 bytes for 1x2, got 7");
  EXPECT_EQ(encode_png(Bytes(), 1ull << 32, 0).error().message, "image width is too large");
  EXPECT_EQ(encode_png(Bytes(), 0, 1ull << 32).error().message, "image height is too large");
  auto empty = encode_png(Bytes(), 0, 5);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, ErrorKind::EncodePng);
  EXPECT_TRUE(starts_with(empty.error().message, "failed to encode PNG: "));
}

TEST(Png, MemoryLimitIsCheckedFromTheHeader) {
  // 8-bit RGBA of 16384 × 8192 is exactly 512 MiB; one more row is over.
  auto over = decode_png(header_only(16384, 8193, 8, 6));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().message, "failed to decode PNG: Memory limit exceeded");
  // 16-bit samples count twice; a 1-bit palette counts as expanded RGB, RGBA with tRNS.
  EXPECT_EQ(decode_png(header_only(16384, 4097, 16, 6)).error().message, "failed to decode PNG: Memory limit exceeded");
  EXPECT_EQ(decode_png(header_only(0x7FFFFFFF, 0x7FFFFFFF, 1, 0)).error().message,
            "failed to decode PNG: Memory limit exceeded");
  // Grey 8-bit 16384 × 20000 (≈ 312 MiB) only passes the limit without tRNS, which adds an alpha channel.
  const Bytes grey_trns{0, 7};
  EXPECT_EQ(decode_png(header_only(16384, 20000, 8, 0, &grey_trns)).error().message,
            "failed to decode PNG: Memory limit exceeded");
  const Bytes palette_trns{0};
  EXPECT_EQ(decode_png(header_only(16384, 10923, 1, 3, &palette_trns)).error().message,
            "failed to decode PNG: Memory limit exceeded");
  // Under the limit, the missing image data is the error.
  auto small = decode_png(header_only(64, 64, 8, 6));
  ASSERT_FALSE(small);
  EXPECT_NE(small.error().message, "failed to decode PNG: Memory limit exceeded");
}

TEST(Png, BadInputIsADecodeError) {
  auto png = encode_png(gradient(16, 16), 16, 16);
  ASSERT_TRUE(png);
  Bytes truncated(png->begin(), png->begin() + static_cast<long>(png->size() / 2));
  Bytes crc = *png;
  crc[30] ^= 0xFF;  // inside IHDR: its CRC no longer matches
  for (const Bytes& bad : {Bytes(), Bytes{1, 2, 3}, truncated, crc}) {
    auto r = decode_png(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::DecodePng);
    EXPECT_TRUE(starts_with(r.error().message, "failed to decode PNG: ")) << r.error().message;
    EXPECT_GT(r.error().message.size(), std::string("failed to decode PNG: ").size());
  }
}

TEST(Png, PairReportsTheBaselineErrorFirst) {
  auto good = encode_png(gradient(4, 4), 4, 4);
  ASSERT_TRUE(good);
  const Bytes bad_base{1, 2, 3};
  const Bytes bad_current = header_only(16384, 8193, 8, 6);
  EXPECT_NE(decode_png_pair(bad_base, bad_current).error().message, "failed to decode PNG: Memory limit exceeded");
  EXPECT_EQ(decode_png_pair(*good, bad_current).error().message, "failed to decode PNG: Memory limit exceeded");
  auto pair = decode_png_pair(*good, *good);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first.data, pair->second.data);
}
