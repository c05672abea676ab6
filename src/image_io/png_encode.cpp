// PNG writer for diff images: 8-bit RGB, adaptive filtering, zlib deflate. Rows are filtered in parallel and
// large images are deflated in independent blocks, so the bytes written depend on the image only, never on the
// number of worker threads.
#include <zlib.h>

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
constexpr std::size_t DEFLATE_BLOCK = 512u << 10;  // filtered bytes per independently deflated block
constexpr std::size_t WINDOW = 32u << 10;        // deflate's window: how much of the previous block primes the next
constexpr std::size_t FILTER_GRAIN_BYTES = 64u << 10;
constexpr int LEVEL = Z_DEFAULT_COMPRESSION;
constexpr int WINDOW_BITS = 15;
constexpr int MEM_LEVEL = 8;
// The default strategy rather than Z_FILTERED: screenshots filter into long exact repeats more than into small
// noisy residues, and on them it wrote 0.3 to 6 % smaller files at the same speed.
constexpr int STRATEGY = Z_DEFAULT_STRATEGY;

enum Filter : uint8_t { NONE, SUB, UP, AVERAGE, PAETH };

CompareError zlib_error(int rc, const z_stream& stream) {
  if (rc == Z_MEM_ERROR) throw std::bad_alloc();
  return err::encode_png(stream.msg ? stream.msg : zError(rc));
}

struct DeflateEnd {
  z_stream* stream;
  ~DeflateEnd() { deflateEnd(stream); }
};

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

// One raw deflate block of the filtered stream, primed with the window before it so that matches reach back
// across the cut as they would in a single stream.
struct Block {
  Bytes out;
  uLong adler = 1;
  Status error;
};

void deflate_block(const uint8_t* data, std::size_t begin, std::size_t end, bool last, Block& block) {
  z_stream s{};
  int rc = deflateInit2(&s, LEVEL, Z_DEFLATED, -WINDOW_BITS, MEM_LEVEL, STRATEGY);
  if (rc != Z_OK) {
    block.error = zlib_error(rc, s);
    return;
  }
  DeflateEnd guard{&s};
  if (begin > 0) {
    const std::size_t from = begin > WINDOW ? begin - WINDOW : 0;
    rc = deflateSetDictionary(&s, data + from, static_cast<uInt>(begin - from));
  }
  const std::size_t size = end - begin;
  // deflateBound covers a finished stream; a sync flush adds an empty stored block (at most 5 bytes and the
  // bits before it). Should it still not fit, the buffer grows.
  block.out.resize(deflateBound(&s, size) + 16);
  s.next_in = const_cast<Bytef*>(data + begin);
  s.avail_in = static_cast<uInt>(size);
  while (rc == Z_OK) {
    s.next_out = block.out.data() + s.total_out;
    s.avail_out = static_cast<uInt>(block.out.size() - s.total_out);
    rc = deflate(&s, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (rc == Z_STREAM_END || (rc == Z_OK && !last && s.avail_out != 0)) break;
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
      rc = Z_OK;
      block.out.resize(block.out.size() * 2);
    }
  }
  if (rc != Z_OK && rc != Z_STREAM_END) {
    block.error = zlib_error(rc, s);
    return;
  }
  block.out.resize(s.total_out);
  block.adler = adler32(1, data + begin, static_cast<uInt>(size));
}

// The zlib stream of the filtered rows: one plain stream when they fit in one block, otherwise blocks deflated
// in parallel behind one zlib header and closed by the Adler-32 of the whole input.
Result<std::vector<Bytes>> compress(const uint8_t* filtered, std::size_t total) {
  const std::size_t blocks = (total + DEFLATE_BLOCK - 1) / DEFLATE_BLOCK;
  if (blocks <= 1) {
    z_stream s{};
    int rc = deflateInit2(&s, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, STRATEGY);
    if (rc != Z_OK) return zlib_error(rc, s);
    DeflateEnd guard{&s};
    Bytes out(deflateBound(&s, total));
    s.next_in = const_cast<Bytef*>(filtered);
    s.avail_in = static_cast<uInt>(total);
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    // The bound holds for a single call that finishes the stream.
    rc = deflate(&s, Z_FINISH);
    if (rc != Z_STREAM_END) return zlib_error(rc == Z_OK ? Z_BUF_ERROR : rc, s);
    out.resize(s.total_out);
    return std::vector<Bytes>{std::move(out)};
  }

  std::vector<Block> parts(blocks);
  par::for_each_range(blocks, 1, [&](std::size_t b0, std::size_t b1) {
    for (std::size_t b = b0; b < b1; ++b) {
      const std::size_t begin = b * DEFLATE_BLOCK;
      deflate_block(filtered, begin, std::min(total, begin + DEFLATE_BLOCK), b + 1 == blocks, parts[b]);
    }
  });
  std::vector<Bytes> out;
  out.reserve(blocks + 2);
  // CMF: deflate with a 32 KiB window; FLG: the default level's code and the check bits, no preset dictionary.
  constexpr unsigned cmf = 0x78, flg_level = 2u << 6;
  out.push_back(Bytes{static_cast<uint8_t>(cmf), static_cast<uint8_t>(flg_level + 31 - (cmf * 256 + flg_level) % 31)});
  uLong adler = 1;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (parts[b].error) return *parts[b].error;
    const std::size_t begin = b * DEFLATE_BLOCK;
    adler = adler32_combine(adler, parts[b].adler, static_cast<z_off_t>(std::min(total, begin + DEFLATE_BLOCK) - begin));
    out.push_back(std::move(parts[b].out));
  }
  out.push_back(Bytes{static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                      static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)});
  return out;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Appends a chunk whose data is the concatenation of `parts`.
template <class Parts>
void chunk(Bytes& png, const char* type, std::size_t length, const Parts& parts) {
  uint8_t head[8];
  put32(head, static_cast<uint32_t>(length));
  std::memcpy(head + 4, type, 4);
  png.insert(png.end(), head, head + 8);
  uLong crc = crc32(0, head + 4, 4);
  for (const auto& [data, size] : parts) {
    png.insert(png.end(), data, data + size);
    crc = crc32(crc, data, static_cast<uInt>(size));
  }
  uint8_t tail[4];
  put32(tail, static_cast<uint32_t>(crc));
  png.insert(png.end(), tail, tail + 4);
}

using Piece = std::pair<const uint8_t*, std::size_t>;

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

  auto stream = compress(filtered.get(), *total);
  if (!stream) return std::move(stream).error();
  filtered.reset();

  std::size_t compressed = 0;
  for (const Bytes& part : *stream) compressed += part.size();
  const std::size_t chunks = std::max<std::size_t>(1, (compressed + IDAT_SIZE - 1) / IDAT_SIZE);
  Bytes png;
  png.reserve(8 + 25 + compressed + 12 * chunks + 12);
  static constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.insert(png.end(), signature, signature + 8);

  // Bit depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
  uint8_t ihdr[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0};
  put32(ihdr, static_cast<uint32_t>(width));
  put32(ihdr + 4, static_cast<uint32_t>(height));
  chunk(png, "IHDR", sizeof ihdr, std::array<Piece, 1>{Piece{ihdr, sizeof ihdr}});

  // IDAT chunks of IDAT_SIZE bytes cut across the compressed parts.
  std::size_t part = 0, offset = 0;
  for (std::size_t left = compressed; left > 0;) {
    const std::size_t length = std::min(left, IDAT_SIZE);
    std::vector<Piece> pieces;
    for (std::size_t need = length; need > 0;) {
      const Bytes& p = (*stream)[part];
      const std::size_t take = std::min(need, p.size() - offset);
      if (take > 0) pieces.emplace_back(p.data() + offset, take);
      need -= take;
      offset += take;
      if (offset == p.size()) ++part, offset = 0;
    }
    chunk(png, "IDAT", length, pieces);
    left -= length;
  }
  chunk(png, "IEND", 0, std::array<Piece, 0>{});
  return png;
}

}  // namespace qf
