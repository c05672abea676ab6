// PNG writer for diff images: 8-bit RGB, a filter chosen for each row, deflated by libdeflate.
//
// The image is cut into segments of whole rows, about SEGMENT_BYTES of filtered data each, by its size alone.
// Each segment is filtered and deflated on its own (on the pool, in parallel) into a raw deflate stream; the
// streams are then joined into the one zlib stream of the file (see deflate_join.hpp). Nothing depends on the
// number of worker threads, so neither do the bytes written.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/parallel.hpp"
#include "core/size.hpp"
#include "image_io/deflate_join.hpp"
#include "image_io/png.hpp"

namespace qf {

namespace {

constexpr std::size_t BPP = 3;               // bytes per pixel of 8-bit RGB: the left neighbour's distance
constexpr std::size_t IDAT_SIZE = 1u << 20;  // image data is split into chunks of this many bytes
// Filtered bytes per segment: large enough that starting each segment's compression afresh costs little in
// size (the window is 32 KiB; 0.3 % on real diff images), small enough that a screenshot gives each worker a few
// segments to balance (8 at 1280 x 720, 30 at 1280 x 3000).
constexpr std::size_t SEGMENT_BYTES = 384u << 10;
// libdeflate's level, measured on the segments of real diff images (bench_png.py): levels 2 to 4 take within 6 %
// of the same time and 4 writes the smallest files of them (1.5 % below level 2); level 1 is slower than all
// three, and from 5 on the time grows faster than the files shrink.
constexpr int LEVEL = 4;
// Scratch buffers larger than this are given back after each use rather than kept by the worker.
constexpr std::size_t KEEP_SCRATCH_BYTES = 8u << 20;

enum Filter : uint8_t { NONE, SUB, UP, AVERAGE, PAETH };

// |v| with v read as a signed byte: the cost a row pays for v under the minimum-sum heuristic.
inline uint8_t cost(uint8_t v) {
  const uint8_t neg = static_cast<uint8_t>(-v);
  return v < neg ? v : neg;
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

using Costs = std::array<uint64_t, 5>;

// Adds the costs of the five filters over bytes [from, to) of row c under row p to `total` (the sums of cost()
// of the filtered bytes) and writes the Paeth-filtered bytes to paeth[from, to). Bytes of the first pixel have
// zero neighbours on their left.
void add_costs(const uint8_t* c, const uint8_t* p, std::size_t from, std::size_t to, Costs& total, uint8_t* paeth) {
  for (std::size_t i = from; i < to; ++i) {
    const uint8_t x = c[i], a = i >= BPP ? c[i - BPP] : 0, b = p[i], ul = i >= BPP ? p[i - BPP] : 0;
    total[NONE] += cost(x);
    total[SUB] += cost(static_cast<uint8_t>(x - a));
    total[UP] += cost(static_cast<uint8_t>(x - b));
    total[AVERAGE] += cost(static_cast<uint8_t>(x - predict_average(a, b, ul)));
    paeth[i] = static_cast<uint8_t>(x - predict_paeth(a, b, ul));
    total[PAETH] += cost(paeth[i]);
  }
}

#if defined(__SSE2__)
// The same sixteen bytes at a time: cost() is min(v, -v) on unsigned bytes, summed by psadbw; Paeth in 16-bit
// lanes.
inline __m128i cost_sum(__m128i v) {
  const __m128i zero = _mm_setzero_si128();
  return _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero);
}
inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }
inline __m128i paeth16(__m128i a, __m128i b, __m128i c) {
  const __m128i from_b = _mm_sub_epi16(b, c), from_a = _mm_sub_epi16(a, c);
  const __m128i pa = abs16(from_b), pb = abs16(from_a), pc = abs16(_mm_add_epi16(from_b, from_a));
  const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  const __m128i not_b = _mm_cmpgt_epi16(pb, pc);
  const __m128i b_or_c = _mm_or_si128(_mm_andnot_si128(not_b, b), _mm_and_si128(not_b, c));
  return _mm_or_si128(_mm_andnot_si128(not_a, a), _mm_and_si128(not_a, b_or_c));
}
#endif

// The costs of the five filters for row c under row p (n bytes each), in one pass over the row; the
// Paeth-filtered row is left in `paeth`.
Costs filter_costs(const uint8_t* c, const uint8_t* p, std::size_t n, uint8_t* paeth) {
  Costs total{};
  std::size_t i = std::min(BPP, n);
  add_costs(c, p, 0, i, total, paeth);
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  __m128i none = zero, sub = zero, up = zero, average = zero, paeth_sum = zero;
  for (; i + 16 <= n; i += 16) {
    const auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
    const __m128i x = load(c + i), a = load(c + i - BPP), b = load(p + i), ul = load(p + i - BPP);
    none = _mm_add_epi64(none, cost_sum(x));
    sub = _mm_add_epi64(sub, cost_sum(_mm_sub_epi8(x, a)));
    up = _mm_add_epi64(up, cost_sum(_mm_sub_epi8(x, b)));
    // (a + b) >> 1: pavgb rounds up, so take back the odd sums' one.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    average = _mm_add_epi64(average, cost_sum(_mm_sub_epi8(x, mean)));
    const __m128i predicted =
        _mm_packus_epi16(paeth16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(ul, zero)),
                         paeth16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(ul, zero)));
    const __m128i residue = _mm_sub_epi8(x, predicted);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(paeth + i), residue);
    paeth_sum = _mm_add_epi64(paeth_sum, cost_sum(residue));
  }
  const __m128i sums[5] = {none, sub, up, average, paeth_sum};
  for (std::size_t k = 0; k < 5; ++k) {
    uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sums[k]);
    total[k] += halves[0] + halves[1];
  }
#endif
  add_costs(c, p, i, n, total, paeth);
  return total;
}

// out[i] = c[i] - predict(left, above, upper left) for i in [0, n).
template <class Predict>
void apply_filter(const uint8_t* __restrict c, const uint8_t* __restrict p, uint8_t* __restrict out, std::size_t n,
                  Predict predict) {
  for (std::size_t i = 0; i < std::min(BPP, n); ++i) out[i] = static_cast<uint8_t>(c[i] - predict(0, p[i], 0));
  const uint8_t* __restrict c_left = c - BPP;
  const uint8_t* __restrict p_left = p - BPP;
  for (std::size_t i = BPP; i < n; ++i) out[i] = static_cast<uint8_t>(c[i] - predict(c_left[i], p[i], p_left[i]));
}

// Filters row c (n bytes, p the row above, zeros above the first row) into out: the filter-type byte, then the
// filtered bytes. The filter is the one of the least cost, ties going to the lower type. `paeth` is room for a
// row.
void filter_row(const uint8_t* c, const uint8_t* p, uint8_t* out, std::size_t n, uint8_t* paeth) {
  if (std::memcmp(c, p, n) == 0) {
    // Up and Paeth leave nothing of a row equal to the one above, so their cost is 0, the least there is; None,
    // Sub and Average cost 0 too when the row is all zeros.
    const bool zeros = c[0] == 0 && std::memcmp(c, c + 1, n - 1) == 0;
    out[0] = zeros ? NONE : UP;
    std::memset(out + 1, 0, n);
    return;
  }
  const Costs costs = filter_costs(c, p, n, paeth);
  const auto best = static_cast<uint8_t>(std::min_element(costs.begin(), costs.end()) - costs.begin());
  out[0] = best;
  switch (best) {
    case NONE: std::memcpy(out + 1, c, n); break;
    case SUB: apply_filter(c, p, out + 1, n, predict_sub); break;
    case UP: apply_filter(c, p, out + 1, n, predict_up); break;
    case AVERAGE: apply_filter(c, p, out + 1, n, predict_average); break;
    default: std::memcpy(out + 1, paeth, n); break;
  }
}

// A buffer kept by a worker thread from one image to the next, so that its pages are not faulted in afresh.
struct Buffer {
  std::unique_ptr<uint8_t[]> data;
  std::size_t capacity = 0;

  uint8_t* get(std::size_t size) {
    if (size > capacity) {
      data.reset();
      data.reset(new uint8_t[size]);
      capacity = size;
    }
    return data.get();
  }
  void trim() {
    if (capacity > KEEP_SCRATCH_BYTES) {
      data.reset();
      capacity = 0;
    }
  }
};

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// What a worker needs to encode a segment.
struct Scratch {
  Buffer rgb;       // the segment's rows as RGB (and the row above), painted or taken from RGBA
  Buffer rows;      // the row above the first (zeros) and the Paeth-filtered row
  Buffer filtered;  // the segment's filtered rows
  Buffer deflated;  // its raw deflate stream
  std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor;
  bool busy = false;

  libdeflate_compressor* deflater() {
    if (!compressor) {
      compressor.reset(libdeflate_alloc_compressor(LEVEL));
      if (!compressor) throw std::bad_alloc();
    }
    return compressor.get();
  }
  void trim() {
    rgb.trim();
    rows.trim();
    filtered.trim();
    deflated.trim();
  }
};

thread_local Scratch worker_scratch;

// Filters rows [begin, end) into `filtered` (each row a filter-type byte and the filtered bytes).
// rgb_row(y) gives the RGB bytes of row y, for y from begin - 1 (when begin > 0) on, valid until the call for
// the row after next.
template <class RgbRow>
void filter_rows(std::size_t width, std::size_t begin, std::size_t end, uint8_t* filtered, Buffer& rows,
                 RgbRow&& rgb_row) {
  const std::size_t n = width * BPP;
  uint8_t* zeros = rows.get(2 * n);
  uint8_t* paeth = zeros + n;
  const uint8_t* above;
  if (begin > 0) {
    above = rgb_row(begin - 1);
  } else {
    std::memset(zeros, 0, n);
    above = zeros;
  }
  for (std::size_t y = begin; y < end; ++y) {
    const uint8_t* row = rgb_row(y);
    filter_row(row, above, filtered + (y - begin) * (n + 1), n, paeth);
    above = row;
  }
}

// One segment of the image data: rows [begin, end), deflated on its own.
struct Segment {
  std::size_t begin = 0, end = 0;
  Bytes deflated;      // raw deflate, continued by an empty stored block unless it is the image's last
  uint32_t adler = 1;  // Adler-32 of its filtered rows
  std::size_t filtered_size = 0;
  uint64_t painted = 0;  // the painter's number for its rows
};

// Filters and deflates one segment. source(s, scratch) gives the rgb_row function of filter_rows for it.
template <class Source>
void encode_segment(Segment& s, std::size_t width, bool last, Scratch& scratch, Source&& source) {
  s.filtered_size = (s.end - s.begin) * (width * BPP + 1);
  uint8_t* filtered = scratch.filtered.get(s.filtered_size);
  filter_rows(width, s.begin, s.end, filtered, scratch.rows, source(s, scratch));
  s.adler = libdeflate_adler32(1, filtered, s.filtered_size);

  libdeflate_compressor* c = scratch.deflater();
  const std::size_t bound = libdeflate_deflate_compress_bound(c, s.filtered_size) + deflate::JOIN_SLACK;
  uint8_t* out = scratch.deflated.get(bound);
  std::size_t size = libdeflate_deflate_compress(c, filtered, s.filtered_size, out, bound);
  if (size == 0) throw InternalFault("deflated image data does not fit its bound");
  if (!last) {
    const auto final_block = deflate::find_final_block(out, size);
    if (!final_block) throw InternalFault("the compressor wrote a deflate stream that does not parse");
    size = deflate::make_non_final(out, size, *final_block);
  }
  s.deflated.assign(out, out + size);
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Writes chunks into a buffer sized for them beforehand.
class ChunkWriter {
 public:
  explicit ChunkWriter(uint8_t* out) : out_(out) {}

  void begin(const char* type, std::size_t length) {
    put32(out_, static_cast<uint32_t>(length));
    std::memcpy(out_ + 4, type, 4);
    crc_ = libdeflate_crc32(0, out_ + 4, 4);
    out_ += 8;
  }
  void write(const uint8_t* data, std::size_t length) {
    if (length == 0) return;  // (a null buffer would restart the checksum)
    std::memcpy(out_, data, length);
    crc_ = libdeflate_crc32(crc_, data, length);
    out_ += length;
  }
  void end() {
    put32(out_, crc_);
    out_ += 4;
  }
  void chunk(const char* type, const uint8_t* data, std::size_t length) {
    begin(type, length);
    write(data, length);
    end();
  }

 private:
  uint8_t* out_;
  uint32_t crc_ = 0;
};

// The image data as IDAT chunks of IDAT_SIZE bytes (the last one shorter): the pieces written in order make
// one stream, cut into chunks wherever the boundaries fall.
class IdatWriter {
 public:
  IdatWriter(ChunkWriter& out, std::size_t total) : out_(out), left_(total) {}

  void write(const uint8_t* data, std::size_t length) {
    while (length > 0) {
      if (in_chunk_ == 0) {
        in_chunk_ = std::min(IDAT_SIZE, left_);
        out_.begin("IDAT", in_chunk_);
      }
      const std::size_t n = std::min(length, in_chunk_);
      out_.write(data, n);
      data += n;
      length -= n;
      left_ -= n;
      in_chunk_ -= n;
      if (in_chunk_ == 0) out_.end();
    }
  }

 private:
  ChunkWriter& out_;
  std::size_t left_;
  std::size_t in_chunk_ = 0;
};

// The zlib header for deflate with a 32 KiB window, with the level hint zlib gives libdeflate's level.
std::array<uint8_t, 2> zlib_header() {
  const unsigned hint = LEVEL < 2 ? 0 : LEVEL < 6 ? 1 : LEVEL == 6 ? 2 : 3;
  const unsigned cmf = 0x78, flg = hint << 6;
  return {static_cast<uint8_t>(cmf), static_cast<uint8_t>(flg + (31 - (cmf * 256 + flg) % 31) % 31)};
}

// Checks the size and encodes the image whose rows `source` gives (see encode_segment).
template <class Source>
Result<PaintedPng> encode(std::size_t width, std::size_t height, Source&& source) {
  if (width > UINT32_MAX) return err::image_too_large("width");
  if (height > UINT32_MAX) return err::image_too_large("height");
  // PNG allows sides from 1 to 2^31 - 1.
  if (width == 0 || width > 0x7FFFFFFF) return err::encode_png("invalid image width");
  if (height == 0 || height > 0x7FFFFFFF) return err::encode_png("invalid image height");
  auto stride = checked_mul(width, BPP);
  auto row = stride ? checked_add(*stride, 1) : std::nullopt;
  auto total = row ? checked_mul(*row, height) : std::nullopt;
  if (!total || !checked_mul(width, std::size_t{4})) return err::dimensions_overflow();

  // Segments of equal row counts, as few as SEGMENT_BYTES allows.
  const std::size_t wanted = std::max<std::size_t>(1, (*total + SEGMENT_BYTES - 1) / SEGMENT_BYTES);
  const std::size_t rows_each = (height + wanted - 1) / wanted;
  std::vector<Segment> segments((height + rows_each - 1) / rows_each);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    segments[i].begin = i * rows_each;
    segments[i].end = std::min(height, (i + 1) * rows_each);
  }
  par::for_each_range(segments.size(), 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      // A worker that picks up another segment while it waits inside this one gets scratch of its own.
      Scratch* scratch = &worker_scratch;
      std::unique_ptr<Scratch> own;
      if (scratch->busy) scratch = (own = std::make_unique<Scratch>()).get();
      scratch->busy = true;
      try {
        encode_segment(segments[i], width, i + 1 == segments.size(), *scratch, source);
      } catch (...) {
        scratch->busy = false;
        scratch->trim();
        throw;
      }
      scratch->busy = false;
      scratch->trim();
    }
  });

  const auto header = zlib_header();
  std::size_t compressed = header.size() + 4;
  uint32_t adler = 1;
  uint64_t painted = 0;
  for (const Segment& s : segments) {
    painted += s.painted;
    compressed += s.deflated.size();
    adler = deflate::adler32_combine(adler, s.adler, s.filtered_size);
  }
  uint8_t trailer[4];
  put32(trailer, adler);

  const std::size_t chunks = (compressed + IDAT_SIZE - 1) / IDAT_SIZE;
  Bytes png(8 + 25 + compressed + 12 * chunks + 12);
  static constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::memcpy(png.data(), signature, 8);
  ChunkWriter out(png.data() + 8);
  // Bit depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
  uint8_t ihdr[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0};
  put32(ihdr, static_cast<uint32_t>(width));
  put32(ihdr + 4, static_cast<uint32_t>(height));
  out.chunk("IHDR", ihdr, sizeof ihdr);
  IdatWriter idat(out, compressed);
  idat.write(header.data(), header.size());
  for (Segment& s : segments) {
    idat.write(s.deflated.data(), s.deflated.size());
    Bytes().swap(s.deflated);
  }
  idat.write(trailer, 4);
  out.chunk("IEND", nullptr, 0);
  return PaintedPng{std::move(png), painted};
}

}  // namespace

Result<Bytes> encode_png(ByteView rgba, std::size_t width, std::size_t height) {
  if (auto e = check_rgba(rgba.size(), width, height)) return *e;
  auto png = encode(width, height, [&](Segment&, Scratch& scratch) {
    // Each row taken out of the RGBA into one of two rows, in turn.
    const std::size_t n = width * BPP;
    uint8_t* two = scratch.rgb.get(2 * n);
    return [=, &rgba](std::size_t y) {
      const uint8_t* src = rgba.data() + y * width * 4;
      uint8_t* dst = two + (y & 1) * n;
      for (std::size_t x = 0; x < width; ++x) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
      }
      return static_cast<const uint8_t*>(dst);
    };
  });
  if (!png) return std::move(png).error();
  return std::move(png->png);
}

Result<PaintedPng> encode_png_rows(std::size_t width, std::size_t height, const RowPainter& paint) {
  return encode(width, height, [&](Segment& s, Scratch& scratch) {
    const std::size_t n = width * BPP;
    const std::size_t first = s.begin > 0 ? s.begin - 1 : 0;
    uint8_t* rgb = scratch.rgb.get((s.end - first) * n);
    if (first < s.begin) paint(first, s.begin, rgb);  // the row above, painted again: its number is dropped
    s.painted = paint(s.begin, s.end, rgb + (s.begin - first) * n);
    return [=](std::size_t y) { return static_cast<const uint8_t*>(rgb + (y - first) * n); };
  });
}

}  // namespace qf
