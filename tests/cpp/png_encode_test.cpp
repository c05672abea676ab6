#include <gtest/gtest.h>

#include <libdeflate.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "image_io/deflate_join.hpp"
#include "image_io/png.hpp"
#include "pixeldiff/pixeldiff.hpp"

using namespace qf;

namespace {

Bytes raw_deflate(const Bytes& data, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  Bytes out(libdeflate_deflate_compress_bound(c, data.size()) + deflate::JOIN_SLACK);
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

// The raw deflate stream inflated into exactly `size` bytes, or nothing when it does not inflate to that.
std::optional<Bytes> raw_inflate(const Bytes& stream, std::size_t size) {
  Bytes out(size);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::size_t in_used = 0, out_size = 0;
  const auto r = libdeflate_deflate_decompress_ex(d, stream.data(), stream.size(), out.data(), out.size(), &in_used,
                                                  &out_size);
  libdeflate_free_decompressor(d);
  if (r != LIBDEFLATE_SUCCESS || out_size != size || in_used != stream.size()) return std::nullopt;
  return out;
}

unsigned bits_at(const Bytes& data, std::size_t bit, unsigned n) {
  unsigned v = 0;
  for (unsigned i = 0; i < n; ++i, ++bit) v |= ((data[bit >> 3] >> (bit & 7)) & 1u) << i;
  return v;
}

// Text-like bytes (dynamic Huffman blocks), noise (stored blocks) or a handful of bytes (a fixed block).
Bytes sample(const std::string& kind, std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (kind == "noise") {
      out[i] = static_cast<uint8_t>(rng());
    } else if (kind == "flat") {
      out[i] = 7;
    } else {
      out[i] = static_cast<uint8_t>("the quick brown fox jumps over "[rng() % 31] + (i % 4096 < 40 ? rng() % 3 : 0));
    }
  }
  return out;
}

struct Shape {
  std::size_t width, height;
};

// Noise in the top rows (stored blocks), a flat band (tiny blocks), then ramps.
Bytes picture(std::size_t w, std::size_t h, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes px(w * h * 4);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      uint8_t* p = &px[4 * (y * w + x)];
      const std::size_t band = 3 * y / h;
      for (int c = 0; c < 3; ++c)
        p[c] = band == 0 ? static_cast<uint8_t>(rng()) : band == 1 ? 200 : static_cast<uint8_t>(x * (c + 1) + y);
      p[3] = static_cast<uint8_t>(rng());  // alpha is not encoded
    }
  return px;
}

// The zlib stream of a PNG's IDAT chunks, joined.
Bytes image_data(const Bytes& png) {
  Bytes stream;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::size_t length = std::size_t{png[at]} << 24 | std::size_t{png[at + 1]} << 16 |
                               std::size_t{png[at + 2]} << 8 | png[at + 3];
    if (std::string(png.begin() + at + 4, png.begin() + at + 8) == "IDAT")
      stream.insert(stream.end(), png.begin() + at + 8, png.begin() + at + 8 + length);
    at += 12 + length;
  }
  return stream;
}

void expect_encodes(const Bytes& px, std::size_t w, std::size_t h) {
  auto png = encode_png(px, w, h);
  ASSERT_TRUE(png) << png.error().message;
  // The joined stream inflates to exactly the filtered rows, and its Adler-32 checks.
  const Bytes stream = image_data(*png);
  Bytes rows(h * (3 * w + 1));
  std::size_t in_used = 0;
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  const auto r = libdeflate_zlib_decompress_ex(d, stream.data(), stream.size(), rows.data(), rows.size(), &in_used,
                                               nullptr);
  libdeflate_free_decompressor(d);
  ASSERT_EQ(r, LIBDEFLATE_SUCCESS);
  EXPECT_EQ(in_used, stream.size());
  auto image = decode_png(*png);
  ASSERT_TRUE(image) << image.error().message;
  ASSERT_EQ(image->data.size(), px.size());
  for (std::size_t i = 0; i < w * h; ++i)
    ASSERT_TRUE(std::equal(px.begin() + 4 * i, px.begin() + 4 * i + 3, image->data.begin() + 4 * i)) << "pixel " << i;
}

}  // namespace

TEST(DeflateJoin, FindsTheFinalBlockOfEveryKind) {
  // Fixed-code blocks, as zlib writes them for short text (one with a match: "hello hello hello hello, said the
  // fox"), and the empty one.
  for (const Bytes& fixed : {Bytes{75, 4, 0}, Bytes{3, 0},
                             Bytes{203, 72, 205, 201, 201, 87, 200, 64, 39, 117, 20, 138, 19, 51, 83, 20, 74, 50,
                                   82, 21, 210, 242, 43, 0}}) {
    EXPECT_EQ(bits_at(fixed, 1, 2), 1u);
    const auto last = deflate::find_final_block(fixed.data(), fixed.size());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->header_bit, 0u);
    EXPECT_EQ((last->end_bit + 7) / 8, fixed.size());
    Bytes joined = fixed;
    joined.resize(fixed.size() + deflate::JOIN_SLACK);
    joined.resize(deflate::make_non_final(joined.data(), fixed.size(), *last));
    joined.insert(joined.end(), fixed.begin(), fixed.end());
    const std::string text = fixed.size() == 3 ? "a" : fixed.size() == 2 ? "" : "hello hello hello hello, said the fox";
    const auto twice = raw_inflate(joined, 2 * text.size());
    ASSERT_TRUE(twice);
    EXPECT_EQ(std::string(twice->begin(), twice->end()), text + text);
  }
  // Level 0 writes stored blocks only, and so does any level for noise; text and runs get dynamic blocks.
  struct Case {
    std::string kind;
    std::size_t size;
    int level;
    unsigned first_type;
  };
  for (const Case& k : {Case{"text", 100000, 0, 0}, Case{"text", 3, 6, 0}, Case{"text", 100000, 6, 2},
                        Case{"noise", 300000, 4, 0}, Case{"flat", 1000000, 1, 2}, Case{"text", 0, 4, 0}}) {
    SCOPED_TRACE(k.kind + " " + std::to_string(k.size) + " level " + std::to_string(k.level));
    const Bytes data = sample(k.kind, k.size, 1);
    const Bytes stream = raw_deflate(data, k.level);
    EXPECT_EQ(bits_at(stream, 1, 2), k.first_type);
    const auto last = deflate::find_final_block(stream.data(), stream.size());
    ASSERT_TRUE(last);
    EXPECT_EQ(bits_at(stream, last->header_bit, 1), 1u);  // BFINAL
    // The stream ends within the byte of its end: the compressor only pads to the byte boundary.
    EXPECT_EQ((last->end_bit + 7) / 8, stream.size());

    // Cut short, or with its final bit cleared (so that it runs on into nothing), it is refused.
    EXPECT_FALSE(deflate::find_final_block(stream.data(), stream.size() - 1));
    Bytes open = stream;
    open[last->header_bit >> 3] &= static_cast<uint8_t>(~(1u << (last->header_bit & 7)));
    EXPECT_FALSE(deflate::find_final_block(open.data(), open.size()));
  }
}

TEST(DeflateJoin, RefusesWhatIsNotDeflate) {
  EXPECT_FALSE(deflate::find_final_block(nullptr, 0));
  const Bytes reserved{0x07};  // final block of type 3
  EXPECT_FALSE(deflate::find_final_block(reserved.data(), reserved.size()));
  const Bytes bad_stored{0x01, 0x05, 0x00, 0x05, 0x00, 1, 2, 3, 4, 5};  // LEN's complement wrong
  EXPECT_FALSE(deflate::find_final_block(bad_stored.data(), bad_stored.size()));
  const Bytes stored{0x01, 0x02, 0x00, 0xFD, 0xFF, 1, 2};
  auto last = deflate::find_final_block(stored.data(), stored.size());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->end_bit, 7u * 8);
  std::mt19937 rng(5);
  for (int i = 0; i < 2000; ++i) {  // random bytes end in a refusal or somewhere inside the data, never beyond
    Bytes junk(1 + rng() % 64);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    if (auto found = deflate::find_final_block(junk.data(), junk.size())) {
      EXPECT_LE(found->end_bit, 8 * junk.size());
    }
  }
}

TEST(DeflateJoin, JoinedStreamsInflateToTheJoinedData) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const int pieces = 1 + static_cast<int>(rng() % 5);
    Bytes whole, stream;
    uint32_t adler = 1;
    for (int i = 0; i < pieces; ++i) {
      static const char* kinds[] = {"text", "noise", "flat"};
      static const int levels[] = {0, 1, 4, 6, 12};
      const std::size_t size = rng() % 3 == 0 ? rng() % 8 : rng() % 200000;
      const Bytes data = sample(kinds[rng() % 3], size, static_cast<unsigned>(rng()));
      Bytes piece = raw_deflate(data, levels[rng() % 5]);
      if (i + 1 < pieces) {
        const std::size_t size_before = piece.size();
        piece.resize(size_before + deflate::JOIN_SLACK);
        const auto last = deflate::find_final_block(piece.data(), size_before);
        ASSERT_TRUE(last);
        piece.resize(deflate::make_non_final(piece.data(), size_before, *last));
        // It still parses, now running on to where it ends: a stored block whose LEN is 0.
        EXPECT_EQ(Bytes(piece.end() - 4, piece.end()), (Bytes{0, 0, 0xFF, 0xFF}));
      }
      stream.insert(stream.end(), piece.begin(), piece.end());
      whole.insert(whole.end(), data.begin(), data.end());
      adler = deflate::adler32_combine(adler, libdeflate_adler32(1, data.data(), data.size()), data.size());
    }
    const auto inflated = raw_inflate(stream, whole.size());
    ASSERT_TRUE(inflated);
    EXPECT_TRUE(*inflated == whole);
    EXPECT_EQ(adler, libdeflate_adler32(1, whole.data(), whole.size()));
  }
}

TEST(DeflateJoin, Adler32CombinesOverLongSecondParts) {
  const Bytes data = sample("noise", 300000, 3);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{65520}, std::size_t{65521}, std::size_t{131042},
                          std::size_t{299999}, std::size_t{300000}}) {
    const uint32_t a = libdeflate_adler32(1, data.data(), cut);
    const uint32_t b = libdeflate_adler32(1, data.data() + cut, data.size() - cut);
    EXPECT_EQ(deflate::adler32_combine(a, b, data.size() - cut), libdeflate_adler32(1, data.data(), data.size()))
        << cut;
  }
}

TEST(PngEncode, ImagesOfEveryShapeInflateToThemselves) {
  // One pixel, one row, one column; rows longer than a segment (one row each); heights that leave a short last
  // segment; many segments of noise (stored blocks), flat colour (tiny blocks) and ramps.
  for (Shape s : {Shape{1, 1}, Shape{1, 3000}, Shape{9000, 1}, Shape{200000, 3}, Shape{131073, 2}, Shape{1280, 720},
                  Shape{1000, 181}, Shape{777, 1999}}) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    expect_encodes(picture(s.width, s.height, 2), s.width, s.height);
  }
  const std::size_t w = 1300, h = 1100;
  expect_encodes(Bytes(w * h * 4, 0), w, h);       // rows of zeros: filter None
  expect_encodes(Bytes(w * h * 4, 0x80), w, h);    // rows equal to the one above: filter Up
  expect_encodes(sample("noise", w * h * 4, 4), w, h);
}

TEST(PngEncode, PaintedImagesAreEncodedAsTheWholeImage) {
  const std::size_t w = 1500, h = 1200;
  const Bytes px = picture(w, h, 6);
  std::atomic<std::size_t> painted_rows{0};
  RowPainter paint = [&](std::size_t begin, std::size_t end, uint8_t* rgb) {
    for (std::size_t y = begin; y < end; ++y)
      for (std::size_t x = 0; x < w; ++x)
        for (std::size_t c = 0; c < 3; ++c) *rgb++ = px[4 * (y * w + x) + c];
    painted_rows += end - begin;
    return uint64_t{end - begin};
  };
  auto whole = encode_png(px, w, h);
  auto painted = encode_png_rows(w, h, paint);
  ASSERT_TRUE(whole && painted);
  EXPECT_TRUE(painted->png == *whole);
  // Each row is counted once, though the rows above segments are painted twice.
  EXPECT_EQ(painted->painted, h);
  EXPECT_GT(painted_rows.load(), h);

  // Neither depends on the number of threads.
  par::ThreadLimit one(1);
  auto single = encode_png_rows(w, h, paint);
  ASSERT_TRUE(single);
  EXPECT_TRUE(single->png == *whole);
  EXPECT_EQ(single->painted, h);
}

TEST(PngEncode, ChecksTheSizeBeforePainting) {
  bool called = false;
  RowPainter paint = [&](std::size_t, std::size_t, uint8_t*) {
    called = true;
    return uint64_t{0};
  };
  EXPECT_EQ(encode_png_rows(0, 5, paint).error().message, "failed to encode PNG: invalid image width");
  EXPECT_EQ(encode_png_rows(5, 0, paint).error().message, "failed to encode PNG: invalid image height");
  EXPECT_EQ(encode_png_rows(1ull << 32, 1, paint).error().message, "image width is too large");
  EXPECT_FALSE(called);
}

TEST(DiffRows, PaintTheDiffImageBandByBand) {
  // A page of runs and anti-aliased-looking steps, changed in blocks, single pixels and soft edges; every option
  // that changes the picture.
  const std::size_t w = 301, h = 157;
  std::mt19937 rng(9);
  Bytes base(w * h * 4);
  for (std::size_t i = 0; i < w * h; ++i) {
    const std::size_t x = i % w;
    const uint8_t v = x % 37 < 20 ? 250 : static_cast<uint8_t>(x * 7 + i / w);
    base[4 * i] = v;
    base[4 * i + 1] = static_cast<uint8_t>(v - x % 3);
    base[4 * i + 2] = v;
    base[4 * i + 3] = static_cast<uint8_t>(x % 50 == 0 ? 128 : 255);
  }
  Bytes cur = base;
  for (int k = 0; k < 400; ++k) cur[4 * (rng() % (w * h)) + rng() % 4] ^= static_cast<uint8_t>(1u << (rng() % 8));
  for (std::size_t y = 40; y < 60; ++y)
    for (std::size_t x = 100; x < 180; ++x) cur[4 * (y * w + x)] = static_cast<uint8_t>(255 - cur[4 * (y * w + x)]);
  DiffOptions alt;
  alt.diff_color_alt = Rgb{0, 200, 0};
  alt.alpha = 0.7;
  DiffOptions aa;
  aa.include_aa = true;
  aa.threshold = 0.0;
  for (const DiffOptions& options : {DiffOptions{}, alt, aa}) {
    for (const Bytes* current : {&cur, &base}) {
      auto whole = render_diff(base, *current, w, h, options);
      auto painter = diff_row_painter(base, *current, w, h, options);
      ASSERT_TRUE(whole && painter);
      Bytes rgb(w * h * 3);
      uint64_t count = 0;
      for (std::size_t y = 0; y < h;) {
        const std::size_t end = std::min(h, y + 1 + rng() % 40);
        count += (*painter)(y, end, rgb.data() + 3 * w * y);
        y = end;
      }
      EXPECT_EQ(count, whole->count);
      for (std::size_t i = 0; i < w * h; ++i)
        ASSERT_TRUE(std::equal(rgb.begin() + 3 * i, rgb.begin() + 3 * i + 3, whole->rgba.begin() + 4 * i)) << i;
    }
  }
  EXPECT_EQ(diff_row_painter(base, Bytes(5), w, h, DiffOptions{}).error().message,
            render_diff(base, Bytes(5), w, h, DiffOptions{}).error().message);
}
