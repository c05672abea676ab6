// The reader in steps (decoding into memory the caller allocated), the header alone, and the row kernels beside
// their scalar twins.
#include <gtest/gtest.h>

#include <libdeflate.h>

#include <random>

#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "image_io/png.hpp"
#include "png_chunks.hpp"
#include "image_io/png_rows.hpp"

using namespace qf;

namespace {

using testing_png::chunk;
using testing_png::put32;

// A PNG of filtered rows (filter bytes included); a palette image gets a full palette for its depth.
Bytes make_png(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour, const Bytes& rows, bool interlaced = false) {
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {depth, colour, 0, 0, static_cast<uint8_t>(interlaced)});
  chunk(png, "IHDR", ihdr);
  if (colour == 3) {
    Bytes palette(3 * (std::size_t{1} << depth));
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<uint8_t>(i * 7);
    chunk(png, "PLTE", palette);
  }
  libdeflate_compressor* c = libdeflate_alloc_compressor(6);
  Bytes z(libdeflate_zlib_compress_bound(c, rows.size()));
  z.resize(libdeflate_zlib_compress(c, rows.data(), rows.size(), z.data(), z.size()));
  libdeflate_free_compressor(c);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", {});
  return png;
}

// Random filtered rows: every filter type, random residuals (the size of an Adam7 image's passes is not needed:
// interlaced images are built from a first decode's exact stream size instead).
Bytes random_rows(std::size_t rows, std::size_t row_bytes, std::mt19937& rng) {
  Bytes out;
  for (std::size_t r = 0; r < rows; ++r) {
    out.push_back(static_cast<uint8_t>(r % 5));
    for (std::size_t i = 0; i < row_bytes; ++i) out.push_back(static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 0));
  }
  return out;
}

struct Format {
  uint8_t depth, colour;
  unsigned bits_per_pixel;
};

}  // namespace

TEST(PngReader, DecodesIntoUninitialisedMemoryAsDecodePngDoes) {
  std::mt19937 rng(3);
  const Format formats[] = {{8, 6, 32}, {8, 2, 24}, {8, 0, 8}, {8, 4, 16}, {1, 0, 1}, {4, 3, 4}, {16, 6, 64}, {16, 2, 48}};
  for (const Format& f : formats) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {7, 3}, {33, 17}}) {
      const std::size_t row_bytes = (std::size_t{w} * f.bits_per_pixel + 7) / 8;
      const Bytes png = make_png(w, h, f.depth, f.colour, random_rows(h, row_bytes, rng));
      auto expected = decode_png(png);
      ASSERT_TRUE(expected) << expected.error().message;
      auto reader = PngReader::open(png);
      ASSERT_TRUE(reader);
      EXPECT_EQ(reader->rgba_size(), expected->data.size());
      EXPECT_EQ(reader->filtered_size(), h * (row_bytes + 1));
      // In place when the buffer holds both the filtered rows and the RGBA; through a scratch block otherwise.
      // Garbage in the buffer must not show through.
      for (std::size_t capacity : {reader->rgba_size(), std::max(reader->rgba_size(), reader->filtered_size()) + 5}) {
        SCOPED_TRACE(testing::Message() << "colour " << int(f.colour) << " depth " << int(f.depth) << " " << w << "x"
                                        << h << " capacity " << capacity);
        Bytes out(capacity, 0xA5);
        ASSERT_FALSE(reader->decode_into(out.data(), capacity));
        EXPECT_TRUE(std::equal(expected->data.begin(), expected->data.end(), out.begin()));
      }
    }
  }
}

TEST(PngReader, CorruptStreamsFailWithoutWritingRgba) {
  Bytes rows;
  for (int r = 0; r < 40; ++r) rows.push_back(0), rows.insert(rows.end(), 40, static_cast<uint8_t>(r));
  Bytes png = make_png(40, 40, 8, 0, rows);
  // The stream's last byte (its Adler-32) flipped: found only once the whole stream is inflated.
  const std::size_t idat_end = png.size() - 12 - 4;  // before IEND and the IDAT's CRC
  png[idat_end - 1] ^= 0xFF;
  const std::size_t crc_at = idat_end;
  const std::size_t idat_start = [&] {
    for (std::size_t i = 8; i + 4 < png.size(); ++i)
      if (std::equal(png.begin() + i, png.begin() + i + 4, "IDAT")) return i;
    return std::size_t{0};
  }();
  const uint32_t crc = libdeflate_crc32(0, png.data() + idat_start, crc_at - idat_start);
  for (int s = 0; s < 4; ++s) png[crc_at + s] = static_cast<uint8_t>(crc >> (24 - 8 * s));
  auto reader = PngReader::open(png);
  ASSERT_TRUE(reader);
  Bytes out(reader->rgba_size(), 0xA5);
  auto e = reader->decode_into(out.data(), out.size());
  ASSERT_TRUE(e);
  EXPECT_EQ(e->message, "failed to decode PNG: corrupt image data stream");
  // Grey rows inflate into the tail: the front, where the RGBA goes, is never written.
  const std::size_t front = reader->rgba_size() - reader->filtered_size();
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(front), [](uint8_t b) { return b == 0xA5; }));
  EXPECT_EQ(decode_png(png).error().message, e->message);
}

TEST(PngReader, HeaderAloneIsCheckedAsTheDecoderChecksIt) {
  Bytes png = make_png(300, 200, 8, 2, Bytes(200 * 901, 0));
  auto header = read_png_header(png);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->width, 300u);
  EXPECT_EQ(header->height, 200u);
  EXPECT_EQ(header->colour, 2);
  // Only the first 33 bytes are read: a file cut right after its header still has a size.
  EXPECT_TRUE(read_png_header(ByteView(png).first(33)));
  EXPECT_FALSE(read_png_header(ByteView(png).first(32)));
  Bytes bad = png;
  bad[20] ^= 1;  // the height: the CRC no longer matches
  EXPECT_EQ(read_png_header(bad).error().message, "failed to decode PNG: CRC mismatch in the IHDR chunk");
  EXPECT_EQ(read_png_header(make_png(0, 4, 8, 0, {})).error().message, "failed to decode PNG: invalid image width");
  EXPECT_EQ(read_png_header(make_png(4, 4, 3, 0, {})).error().message,
            "failed to decode PNG: invalid bit depth for the colour type");
  EXPECT_EQ(read_png_header(Bytes{1, 2, 3}).error().message, "failed to decode PNG: not a PNG file (bad signature)");
}

TEST(PngRows, SimdTwinsMatchTheScalarKernels) {
  if (!cpu::features().sse2) GTEST_SKIP() << "scalar kernels only here";
  std::mt19937 rng(9);
  for (unsigned bpp : {3u, 4u}) {
    for (std::size_t n : {std::size_t{3}, std::size_t{4}, std::size_t{12}, std::size_t{17 * bpp}, std::size_t{301 * bpp}}) {
      if (n % bpp) continue;
      Bytes raw(n), prev(n), simd(n), scalar(n);
      for (int round = 0; round < 50; ++round) {
        // Flat stretches (zero residuals, equal pixels above) and noise, for the run shortcut and the general path.
        for (std::size_t i = 0; i < n; ++i) {
          raw[i] = round % 2 && i > n / 3 ? 0 : static_cast<uint8_t>(rng());
          prev[i] = round % 3 == 0 ? static_cast<uint8_t>(i % bpp * 40) : static_cast<uint8_t>(rng());
        }
        for (uint8_t filter = 0; filter <= 4; ++filter) {
          png_rows::unfilter_for(bpp)(filter, raw.data(), prev.data(), simd.data(), n);
          if (bpp == 3) png_rows::unfilter_row<3>(filter, raw.data(), prev.data(), scalar.data(), n);
          else png_rows::unfilter_row<4>(filter, raw.data(), prev.data(), scalar.data(), n);
          ASSERT_EQ(simd, scalar) << "bpp " << bpp << " n " << n << " filter " << int(filter);
        }
      }
    }
  }
  for (std::size_t width : {0, 1, 5, 6, 7, 64, 333}) {
    Bytes rgb(3 * width), a(4 * width), b(4 * width);
    for (auto& v : rgb) v = static_cast<uint8_t>(rng());
    png_rows::rgb_to_rgba(rgb.data(), width, a.data());
    png_rows::rgb_to_rgba_scalar(rgb.data(), width, b.data());
    EXPECT_EQ(a, b) << width;
  }
}
