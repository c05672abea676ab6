#include <gtest/gtest.h>

#include <libdeflate.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "core/parallel.hpp"
#include "image_io/png.hpp"
#include "png_chunks.hpp"

using namespace qf;

namespace {

using testing_png::chunk;
using testing_png::put32;

// A PNG that has a header (and optionally a tRNS chunk) and the given image data (empty by default).
Bytes header_only(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour, const Bytes* trns = nullptr,
                  const Bytes& idat = {}) {
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
  chunk(png, "IHDR", ihdr);
  if (colour == 3) chunk(png, "PLTE", Bytes{0, 0, 0, 255, 255, 255});
  if (trns) chunk(png, "tRNS", *trns);
  chunk(png, "IDAT", idat);
  chunk(png, "IEND", {});
  return png;
}

Bytes zlib_compress(const Bytes& data) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(6);
  Bytes out(libdeflate_zlib_compress_bound(c, data.size()));
  out.resize(libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
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

// Random noise over the top half (Paeth and Sub win there), then horizontal ramps (Sub), vertical ramps (Up),
// ramps in both directions (Average) and a flat band (None): large enough for several IDAT chunks.
Bytes mixed(std::size_t w, std::size_t h) {
  Bytes px(w * h * 4, 255);
  std::mt19937 rng(7);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      uint8_t* p = &px[4 * (y * w + x)];
      const std::size_t band = 8 * y / h;
      for (int c = 0; c < 3; ++c) {
        const auto k = static_cast<std::size_t>(c + 1);
        if (band < 4) p[c] = static_cast<uint8_t>(rng() % (band < 2 ? 256 : 8) + 16 * (x / 9 + y / 7) * k);
        else if (band == 4) p[c] = static_cast<uint8_t>(x * k);
        else if (band == 5) p[c] = static_cast<uint8_t>(y * k);
        else if (band == 6) p[c] = static_cast<uint8_t>((x + y) * k / 2);
      }
    }
  return px;
}

struct Chunk {
  std::string type;
  Bytes data;
};

std::vector<Chunk> chunks_of(const Bytes& png) {
  std::vector<Chunk> out;
  auto be32 = [&](std::size_t at) {
    return uint32_t{png[at]} << 24 | uint32_t{png[at + 1]} << 16 | uint32_t{png[at + 2]} << 8 | png[at + 3];
  };
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = be32(at);
    out.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8),
                   Bytes(png.begin() + at + 8, png.begin() + at + 8 + length)});
    at += 12 + length;
  }
  return out;
}

}  // namespace

TEST(Png, EncodeRoundTripsAndUsesEveryFilter) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 9}, {7, 1}, {37, 23}, {1500, 1200}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Bytes px = w < 100 ? gradient(w, h) : mixed(w, h);
    px[3] = 10;  // alpha is not encoded
    auto png = encode_png(px, w, h);
    ASSERT_TRUE(png) << png.error().message;
    auto image = decode_png(*png);
    ASSERT_TRUE(image) << image.error().message;
    EXPECT_EQ(image->width, w);
    EXPECT_EQ(image->height, h);
    px[3] = 255;
    EXPECT_EQ(image->data, px);

    // Signature, IHDR of 8-bit RGB without interlacing, the image data, IEND; nothing else.
    const auto chunks = chunks_of(*png);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(Bytes(png->begin(), png->begin() + 8), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    EXPECT_EQ(chunks.front().type, "IHDR");
    EXPECT_EQ(Bytes(chunks.front().data.begin() + 8, chunks.front().data.end()), (Bytes{8, 2, 0, 0, 0}));
    EXPECT_EQ(chunks.back().type, "IEND");
    Bytes stream;
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].type, "IDAT");
      stream.insert(stream.end(), chunks[i].data.begin(), chunks[i].data.end());
    }
    if (w < 100) continue;
    EXPECT_GT(chunks.size(), 3u);  // the image data is split
    // Inflating checks the stream and its Adler-32.
    Bytes rows(h * (3 * w + 1));
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    ASSERT_EQ(libdeflate_zlib_decompress(d, stream.data(), stream.size(), rows.data(), rows.size(), nullptr),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    std::set<uint8_t> filters;
    for (std::size_t y = 0; y < h; ++y) filters.insert(rows[y * (3 * w + 1)]);
    EXPECT_EQ(filters, (std::set<uint8_t>{0, 1, 2, 3, 4}));
  }
}

TEST(Png, EncodedBytesDoNotDependOnTheThreadCount) {
  const Bytes px = mixed(1500, 1200);
  auto many = encode_png(px, 1500, 1200);
  ASSERT_TRUE(many);
  par::ThreadLimit one(1);
  auto single = encode_png(px, 1500, 1200);
  ASSERT_TRUE(single);
  EXPECT_TRUE(*single == *many);
}

TEST(Png, EncodeChecksInOrder) {
  EXPECT_EQ(encode_png(Bytes(), 1ull << 32, 1ull << 32).error().message, "image dimensions overflowed");
  EXPECT_EQ(encode_png(Bytes(7), 1, 2).error().message, "invalid RGBA buffer length: expected 8 bytes for 1x2, got 7");
  EXPECT_EQ(encode_png(Bytes(), 1ull << 32, 0).error().message, "image width is too large");
  EXPECT_EQ(encode_png(Bytes(), 0, 1ull << 32).error().message, "image height is too large");
  auto empty = encode_png(Bytes(), 0, 0);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, ErrorKind::EncodePng);
  EXPECT_EQ(empty.error().message, "failed to encode PNG: invalid image width");
  EXPECT_EQ(encode_png(Bytes(), 5, 0).error().message, "failed to encode PNG: invalid image height");
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

TEST(Png, FilesThatEndEarlyOrCarryTooLittleDataAreRefused) {
  auto png = encode_png(gradient(16, 16), 16, 16);
  ASSERT_TRUE(png);
  ASSERT_TRUE(decode_png(*png));
  // Cut inside the checksum of IEND, the last four bytes of the file.
  for (std::size_t cut = 1; cut <= 4; ++cut) {
    auto r = decode_png(ByteView(*png).first(png->size() - cut));
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().message, "failed to decode PNG: file is cut short inside the IEND chunk");
  }
  // 8-bit grey 4 x 3: rows of a filter byte and four samples.
  const Bytes rows(3 * 5, 0);
  const Bytes stream = zlib_compress(rows);
  EXPECT_TRUE(decode_png(header_only(4, 3, 8, 0, nullptr, stream)));
  const Bytes no_checksum(stream.begin(), stream.end() - 4);
  EXPECT_EQ(decode_png(header_only(4, 3, 8, 0, nullptr, no_checksum)).error().message,
            "failed to decode PNG: corrupt image data stream");
  EXPECT_EQ(decode_png(header_only(4, 3, 8, 0, nullptr, zlib_compress(Bytes(2 * 5, 0)))).error().message,
            "failed to decode PNG: the image data ends before the image is complete");
  EXPECT_EQ(decode_png(header_only(4, 3, 8, 0, nullptr, zlib_compress(Bytes(4 * 5, 0)))).error().message,
            "failed to decode PNG: the image data holds more than the image");
  // A header that claims more than its image data could inflate to, however it was compressed.
  EXPECT_EQ(decode_png(header_only(23170, 23170, 8, 0, nullptr, Bytes{0})).error().message,
            "failed to decode PNG: the image data is too short for the image size");
}

TEST(Png, IdenticalFilesGiveTwoEqualImages) {
  auto png = encode_png(mixed(300, 200), 300, 200);
  ASSERT_TRUE(png);
  auto pair = decode_png_pair(*png, Bytes(*png));
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first.width, 300u);
  EXPECT_EQ(pair->second.height, 200u);
  EXPECT_EQ(pair->first.data, pair->second.data);
  EXPECT_NE(pair->first.data.data(), pair->second.data.data());
  const Bytes bad = header_only(4, 3, 8, 0);
  EXPECT_EQ(decode_png_pair(bad, bad).error().message, decode_png(bad).error().message);
}

namespace {

// Forward filtering as an encoder does it, one filter type per row, on `channels`-byte pixels.
Bytes filter_rows_with(const Bytes& px, std::size_t w, std::size_t h, std::size_t channels,
                       const std::vector<uint8_t>& types) {
  const std::size_t n = w * channels;
  Bytes out;
  auto at = [&](std::size_t x, std::size_t y) -> int { return px[y * n + x]; };
  for (std::size_t y = 0; y < h; ++y) {
    const uint8_t type = types[y % types.size()];
    out.push_back(type);
    for (std::size_t x = 0; x < n; ++x) {
      const int a = x >= channels ? at(x - channels, y) : 0, b = y > 0 ? at(x, y - 1) : 0;
      const int c = x >= channels && y > 0 ? at(x - channels, y - 1) : 0;
      int predicted = 0;
      if (type == 1) predicted = a;
      if (type == 2) predicted = b;
      if (type == 3) predicted = (a + b) / 2;
      if (type == 4) {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        predicted = pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
      }
      out.push_back(static_cast<uint8_t>(at(x, y) - predicted));
    }
  }
  return out;
}

}  // namespace

// Screenshot-like rows: long flat stretches (zero residuals under Sub and Paeth) of every length, ending anywhere
// in the row, below rows that are flat, the same or different.
TEST(Png, FlatStretchesDecodeExactly) {
  std::mt19937 rng(11);
  for (std::size_t channels : {3, 4})
    for (std::size_t w : {1, 2, 5, 6, 7, 16, 17, 21, 40, 97, 300}) {
      const std::size_t h = 40;
      Bytes px(w * h * channels);
      for (std::size_t y = 0; y < h; ++y) {
        uint8_t* row = &px[y * w * channels];
        if (y > 0 && rng() % 3 == 0) {
          std::copy_n(row - w * channels, w * channels, row);
          if (rng() % 2) row[rng() % (w * channels)] ^= 0x40;  // one sample changed below a repeated row
          continue;
        }
        for (std::size_t x = 0; x < w;) {
          const std::size_t run = 1 + rng() % (rng() % 4 == 0 ? 3 : 45);
          const uint32_t colour = rng();
          for (std::size_t k = 0; k < run && x < w; ++k, ++x)
            for (std::size_t ch = 0; ch < channels; ++ch)
              row[x * channels + ch] = static_cast<uint8_t>(colour >> (8 * ch));
        }
      }
      const Bytes filtered = filter_rows_with(px, w, h, channels, {1, 4, 4, 1, 2, 3, 0, 4});
      const Bytes png = header_only(static_cast<uint32_t>(w), h, 8, channels == 3 ? 2 : 6, nullptr,
                                    zlib_compress(filtered));
      auto image = decode_png(png);
      ASSERT_TRUE(image) << image.error().message;
      Bytes expected(w * h * 4);
      for (std::size_t i = 0; i < w * h; ++i)
        for (std::size_t ch = 0; ch < 4; ++ch)
          expected[4 * i + ch] = ch < channels ? px[i * channels + ch] : 255;
      ASSERT_EQ(image->data, expected) << "channels " << channels << " width " << w;
    }
}
