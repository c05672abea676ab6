// PNG writer for diff images: 8-bit RGB, adaptive filtering, deflated by libdeflate in one call. Rows are
// filtered in parallel, each from the image alone, so the bytes written depend on the image only, never on the
// number of worker threads.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/parallel.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"

namespace qf {

namespace {

constexpr std::size_t BPP = 3;                   // bytes per pixel of 8-bit RGB: the left neighbour's distance
constexpr std::size_t IDAT_SIZE = 1u << 20;      // image data is split into chunks of this many bytes
constexpr std::size_t FILTER_GRAIN_BYTES = 64u << 10;
// libdeflate's level, measured on diff images of real screenshots: levels 1 to 4 take about the same time and 4
// writes the smallest files of them (within 5 % of zlib's default level); from 5 on the time grows faster than
// the files shrink.
constexpr int LEVEL = 4;

enum Filter : uint8_t { NONE, SUB, UP, AVERAGE, PAETH };

// |v| with v read as a signed byte: the cost a row pays for v under the minimum-sum heuristic.
inline uint8_t cost(uint8_t v) {
  const uint8_t neg = static_cast<uint8_t>(-v);
  return v < neg ? v : neg;
}

// Writes out[i] = c[i] - predict(left, above, upper left) for i in [0, n) and returns the sum of the costs.
// c and p point at a row and the row above, each with BPP zero bytes in front, so the first pixel sees zero
// neighbours on its left without a branch. The sum is taken in 32 bits over slices short enough not to wrap,
// which keeps the loop in narrow vector lanes.
constexpr std::size_t COST_SLICE = 1u << 24;  // 2^24 × 128 < 2^32

template <class Predict>
uint64_t filter_row(const uint8_t* __restrict c, const uint8_t* __restrict p, uint8_t* __restrict out,
                    std::size_t n, Predict predict) {
  // The left neighbours through their own pointers: c[i - BPP] would wrap the unsigned index below zero.
  const uint8_t* __restrict c_left = c - BPP;
  const uint8_t* __restrict p_left = p - BPP;
  uint64_t total = 0;
  for (std::size_t start = 0; start < n; start += COST_SLICE) {
    const std::size_t end = std::min(n, start + COST_SLICE);
    uint32_t sum = 0;
    for (std::size_t i = start; i < end; ++i) {
      const uint8_t v = static_cast<uint8_t>(c[i] - predict(c_left[i], p[i], p_left[i]));
      out[i] = v;
      sum += cost(v);
    }
    total += sum;
  }
  return total;
}

// The cost of the row unfiltered.
uint64_t row_cost(const uint8_t* __restrict c, std::size_t n) {
  uint64_t total = 0;
  for (std::size_t start = 0; start < n; start += COST_SLICE) {
    const std::size_t end = std::min(n, start + COST_SLICE);
    uint32_t sum = 0;
    for (std::size_t i = start; i < end; ++i) sum += cost(c[i]);
    total += sum;
  }
  return total;
}

// The predictions of Sub, Up, Average and Paeth from the left (a), upper (b) and upper-left (c) bytes. Plain
// integer arithmetic without branches, which g++ vectorises in 16-bit lanes with SSE2 alone.
inline uint8_t predict_sub(uint8_t a, uint8_t, uint8_t) { return a; }
inline uint8_t predict_up(uint8_t, uint8_t b, uint8_t) { return b; }
inline uint8_t predict_average(uint8_t a, uint8_t b, uint8_t) {
  return static_cast<uint8_t>((static_cast<uint16_t>(a) + b) >> 1);
}
inline uint8_t predict_paeth(uint8_t a, uint8_t b, uint8_t c) {
  // |p - a|, |p - b|, |p - c| for p = a + b - c.
  const int16_t pa = static_cast<int16_t>(std::abs(b - c));
  const int16_t pb = static_cast<int16_t>(std::abs(a - c));
  const int16_t pc = static_cast<int16_t>(std::abs(a + b - 2 * c));
  return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

// Filters rows [begin, end) of the image into `filtered` (each row a filter-type byte and the filtered bytes).
void filter_rows(const uint8_t* rgba, std::size_t width, std::size_t begin, std::size_t end, uint8_t* filtered) {
  const std::size_t n = width * BPP;
  std::vector<uint8_t> above(BPP + n, 0), row(BPP + n, 0);
  std::array<std::vector<uint8_t>, 4> candidate;
  for (auto& c : candidate) c.resize(n);
  auto load = [&](std::size_t y, uint8_t* dst) {
    const uint8_t* src = rgba + y * width * 4;
    for (std::size_t x = 0; x < width; ++x) {
      dst[3 * x] = src[4 * x];
      dst[3 * x + 1] = src[4 * x + 1];
      dst[3 * x + 2] = src[4 * x + 2];
    }
  };
  if (begin > 0) load(begin - 1, above.data() + BPP);
  for (std::size_t y = begin; y < end; ++y) {
    load(y, row.data() + BPP);
    const uint8_t* c = row.data() + BPP;
    const uint8_t* p = above.data() + BPP;
    const std::array<uint64_t, 5> costs{
        row_cost(c, n),
        filter_row(c, p, candidate[0].data(), n, predict_sub),
        filter_row(c, p, candidate[1].data(), n, predict_up),
        filter_row(c, p, candidate[2].data(), n, predict_average),
        filter_row(c, p, candidate[3].data(), n, predict_paeth),
    };
    // Ties go to the lower filter type.
    const auto best = static_cast<std::size_t>(std::min_element(costs.begin(), costs.end()) - costs.begin());
    uint8_t* dst = filtered + y * (n + 1);
    dst[0] = static_cast<uint8_t>(best);
    std::memcpy(dst + 1, best == NONE ? c : candidate[best - 1].data(), n);
    std::swap(row, above);
  }
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Appends a chunk of `length` bytes of data.
void chunk(Bytes& png, const char* type, const uint8_t* data, std::size_t length) {
  uint8_t head[8];
  put32(head, static_cast<uint32_t>(length));
  std::memcpy(head + 4, type, 4);
  png.insert(png.end(), head, head + 8);
  uint32_t crc = libdeflate_crc32(0, head + 4, 4);
  if (length > 0) {  // (a null buffer would restart the checksum)
    png.insert(png.end(), data, data + length);
    crc = libdeflate_crc32(crc, data, length);
  }
  uint8_t tail[4];
  put32(tail, crc);
  png.insert(png.end(), tail, tail + 4);
}

}  // namespace

Result<Bytes> encode_png(ByteView rgba, std::size_t width, std::size_t height) {
  if (auto e = check_rgba(rgba.size(), width, height)) return *e;
  if (width > UINT32_MAX) return err::image_too_large("width");
  if (height > UINT32_MAX) return err::image_too_large("height");
  // PNG allows sides from 1 to 2^31 - 1.
  if (width == 0 || width > 0x7FFFFFFF) return err::encode_png("invalid image width");
  if (height == 0 || height > 0x7FFFFFFF) return err::encode_png("invalid image height");

  auto stride = checked_mul(width, BPP);
  auto row = stride ? checked_add(*stride, 1) : std::nullopt;
  auto total = row ? checked_mul(*row, height) : std::nullopt;
  if (!total) return err::dimensions_overflow();

  // Every byte is written by the filter pass: no need to clear it first.
  std::unique_ptr<uint8_t[]> filtered(new uint8_t[*total]);
  const std::size_t grain = std::max<std::size_t>(1, FILTER_GRAIN_BYTES / *row);
  par::for_each_range(height, grain, [&](std::size_t begin, std::size_t end) {
    filter_rows(rgba.data(), width, begin, end, filtered.get());
  });

  std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(LEVEL));
  if (!compressor) throw std::bad_alloc();
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), *total);
  std::unique_ptr<uint8_t[]> stream(new uint8_t[bound]);
  const std::size_t compressed = libdeflate_zlib_compress(compressor.get(), filtered.get(), *total, stream.get(), bound);
  if (compressed == 0) return err::encode_png("the compressed image data does not fit its bound");
  filtered.reset();

  const std::size_t chunks = (compressed + IDAT_SIZE - 1) / IDAT_SIZE;
  Bytes png;
  png.reserve(8 + 25 + compressed + 12 * chunks + 12);
  static constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.insert(png.end(), signature, signature + 8);

  // Bit depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
  uint8_t ihdr[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0};
  put32(ihdr, static_cast<uint32_t>(width));
  put32(ihdr + 4, static_cast<uint32_t>(height));
  chunk(png, "IHDR", ihdr, sizeof ihdr);
  for (std::size_t at = 0; at < compressed; at += IDAT_SIZE)
    chunk(png, "IDAT", stream.get() + at, std::min(IDAT_SIZE, compressed - at));
  chunk(png, "IEND", nullptr, 0);
  return png;
}

}  // namespace qf
