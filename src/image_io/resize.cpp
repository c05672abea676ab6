#include "image_io/resize.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "image_io/resize_kernels.hpp"
#include "core/size.hpp"

namespace qf {

namespace {

float sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float a = x * std::numbers::pi_v<float>;
  return std::sin(a) / a;
}

uint8_t to_u8(float v) {
  // Clamped first, so the cast cannot overflow (NaN cannot occur: weights and samples are finite). Then rounded
  // half away from zero: the fraction v - trunc(v) of a float in 0..255 is exact, so comparing it with 0.5 is
  // std::round without the library call.
  const float c = std::clamp(v, 0.0f, 255.0f);
  const auto t = static_cast<uint32_t>(c);
  return static_cast<uint8_t>(t + (c - static_cast<float>(t) >= 0.5f ? 1 : 0));
}

// Taps of every output column, flattened: column x reads `count[x]` source pixels from `first[x]`, with weights
// weights[offset[x] ...].
struct TapTable {
  std::vector<std::size_t> first, count, offset;
  std::vector<float> weights;
};

TapTable tap_table(std::size_t source, std::size_t target) {
  TapTable t;
  t.first.resize(target);
  t.count.resize(target);
  t.offset.resize(target);
  for (std::size_t x = 0; x < target; ++x) {
    FilterTaps taps = filter_taps(x, source, target);
    t.first[x] = taps.first;
    t.count[x] = taps.weights.size();
    t.offset[x] = t.weights.size();
    t.weights.insert(t.weights.end(), taps.weights.begin(), taps.weights.end());
  }
  return t;
}

}  // namespace

float lanczos3(float x) {
  if (std::fabs(x) >= LANCZOS_LOBES) return 0.0f;
  return sinc(x) * sinc(x / LANCZOS_LOBES);
}

FilterTaps filter_taps(std::size_t out, std::size_t source, std::size_t target) {
  const float ratio = static_cast<float>(source) / static_cast<float>(target);
  // Shrinking stretches the kernel over `ratio` source pixels per output pixel; enlarging keeps it as it is.
  const float scale = std::max(ratio, 1.0f);
  const float support = LANCZOS_LOBES * scale;
  const float centre = (static_cast<float>(out) + 0.5f) * ratio;
  const auto last = static_cast<int64_t>(source);
  const int64_t left = std::clamp(static_cast<int64_t>(std::floor(centre - support)), int64_t{0}, last - 1);
  const int64_t right = std::clamp(static_cast<int64_t>(std::ceil(centre + support)), left + 1, last);

  FilterTaps taps;
  taps.first = static_cast<std::size_t>(left);
  taps.weights.reserve(static_cast<std::size_t>(right - left));
  float sum = 0.0f;
  for (int64_t i = left; i < right; ++i) {
    // Distance from the output pixel's centre to source pixel i's centre, in kernel units.
    const float w = lanczos3((static_cast<float>(i) - (centre - 0.5f)) / scale);
    taps.weights.push_back(w);
    sum += w;
  }
  if (sum != 0.0f)
    for (float& w : taps.weights) w /= sum;
  return taps;
}

// The vertical pass of one output row: out[k] = Σ_i w[i] · src[i · stride + k] for every byte k of a source row,
// the products added in tap order starting from the first product, exactly as a plain loop over the taps would.
// Columns go in blocks of 64 whose sums stay in registers across all taps, so each tap costs one load of 64
// source bytes instead of a load and a store of the whole float row. The block kernel is compiled twice, for the
// baseline instruction set and for AVX2 (wider registers, the same IEEE products and sums: no fused
// multiply-add), and the AVX2 one is picked at run time when the processor has it.
namespace {

using resize_kernels::BLOCK;

// One block of `n` <= BLOCK columns.
[[gnu::always_inline]] inline void vertical_block_body(const uint8_t* s, std::size_t stride, const float* w,
                                                       std::size_t taps, std::size_t n, float* out) {
  float acc[BLOCK];
  for (std::size_t k = 0; k < n; ++k) acc[k] = w[0] * static_cast<float>(s[k]);
  for (std::size_t i = 1; i < taps; ++i) {
    const float wi = w[i];
    s += stride;
    for (std::size_t k = 0; k < n; ++k) acc[k] += wi * static_cast<float>(s[k]);
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = acc[k];
}

void vertical_block_baseline(const uint8_t* s, std::size_t stride, const float* w, std::size_t taps, float* out) {
  vertical_block_body(s, stride, w, taps, BLOCK, out);
}

using VerticalBlock = void (*)(const uint8_t*, std::size_t, const float*, std::size_t, float*);

VerticalBlock pick_vertical_block() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu::features().avx2) return resize_kernels::vertical_block_avx2;
#endif
  return vertical_block_baseline;
}

// Screenshots are mostly flat: where a block's bytes are the same in every tap row, each column's sum depends
// only on its byte value, so it is read from a table of the 256 possible sums of this output row (the same
// products added in the same order, so the same floats). Which blocks are flat is known from `FlatRuns`.
class FlatRuns {
  // Whether two blocks hold the same bytes, in 8-byte words without a library call.
  static bool same_block(const uint8_t* a, const uint8_t* b) {
    uint64_t differ = 0;
    for (std::size_t k = 0; k < BLOCK; k += 8) {
      uint64_t x, y;
      std::memcpy(&x, a + k, 8);
      std::memcpy(&y, b + k, 8);
      differ |= x ^ y;
    }
    return differ == 0;
  }

 public:
  // For every source row r and block b, how many rows after r have the same bytes in block b as row r.
  FlatRuns(const uint8_t* src, std::size_t stride, std::size_t rows) : blocks_(stride / BLOCK), runs_(rows * blocks_) {
    if (blocks_ == 0 || rows < 2) return;
    par::for_each_range(rows - 1, 64, [&](std::size_t begin, std::size_t end) {
      for (std::size_t r = begin; r < end; ++r)
        for (std::size_t b = 0; b < blocks_; ++b)
          runs_[r * blocks_ + b] = same_block(src + r * stride + b * BLOCK, src + (r + 1) * stride + b * BLOCK);
    });
    for (std::size_t r = rows - 1; r-- > 0;)
      for (std::size_t b = 0; b < blocks_; ++b)
        if (runs_[r * blocks_ + b]) runs_[r * blocks_ + b] = runs_[(r + 1) * blocks_ + b] + 1;
  }

  // Whether block b has the same bytes in rows first .. first + count - 1.
  bool flat(std::size_t first, std::size_t count, std::size_t b) const {
    return runs_[first * blocks_ + b] + 1 >= count;
  }

 private:
  std::size_t blocks_;
  std::vector<uint32_t> runs_;
};

class VerticalRow {
 public:
  VerticalRow(const uint8_t* src, std::size_t stride, std::size_t first, const float* w, std::size_t taps)
      : src_(src + first * stride), stride_(stride), first_(first), w_(w), taps_(taps) {}

  void run(std::size_t n, const FlatRuns& flat, VerticalBlock block, float* out) {
    std::size_t k0 = 0;
    for (; k0 + BLOCK <= n; k0 += BLOCK) {
      const uint8_t* s = src_ + k0;
      if (flat.flat(first_, taps_, k0 / BLOCK)) {
        const float* table = sums();
        for (std::size_t k = 0; k < BLOCK; ++k) out[k0 + k] = table[s[k]];
      } else {
        block(s, stride_, w_, taps_, out + k0);
      }
    }
    if (k0 < n) vertical_block_body(src_ + k0, stride_, w_, taps_, n - k0, out + k0);
  }

 private:
  const float* sums() {
    if (!have_sums_) {
      uint8_t values[256];
      for (int v = 0; v < 256; ++v) values[v] = static_cast<uint8_t>(v);
      // The 256 values as a one-row image of 256 columns seen through every tap (stride 0).
      for (std::size_t k = 0; k < 256; k += BLOCK) vertical_block_body(values + k, 0, w_, taps_, BLOCK, table_ + k);
      have_sums_ = true;
    }
    return table_;
  }

  const uint8_t* src_;
  std::size_t stride_, first_;
  const float* w_;
  std::size_t taps_;
  bool have_sums_ = false;
  float table_[256];
};

// Four channels of one pixel side by side: the horizontal pass adds w · pixel for all four at once, each lane
// in the same order as a loop over one channel.
using Float4 = float __attribute__((vector_size(16)));

Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store_pixel(Float4 v, uint8_t* dst) {
  for (int c = 0; c < 4; ++c) dst[c] = to_u8(v[c]);
}

// The weights of every output column padded with zeros to the same number of taps, so that neighbouring output
// pixels can be summed together. A zero weight adds a zero after all the real taps, which leaves every sum as it
// was (at most the sign of a zero sum changes, and both zeros round to 0).
struct PaddedTaps {
  std::size_t taps = 0;
  std::vector<std::size_t> first;
  std::vector<Float4> weights;  // taps per column, each weight in all four lanes
};

PaddedTaps pad_taps(const TapTable& t) {
  PaddedTaps p;
  p.taps = t.count.empty() ? 0 : *std::max_element(t.count.begin(), t.count.end());
  p.first = t.first;
  p.weights.assign(t.count.size() * p.taps, Float4{0.0f, 0.0f, 0.0f, 0.0f});
  for (std::size_t x = 0; x < t.count.size(); ++x)
    for (std::size_t i = 0; i < t.count[x]; ++i) {
      const float w = t.weights[t.offset[x] + i];
      p.weights[x * p.taps + i] = Float4{w, w, w, w};
    }
  return p;
}

// The horizontal pass of one output row from the float row of the vertical pass (which has room for the padded
// taps past its end). Four output pixels go together: four independent chains of additions keep the adder busy
// where one chain would wait on each sum.
void horizontal_row(const float* row, const PaddedTaps& columns, std::size_t new_width, uint8_t* dst) {
  const std::size_t n = columns.taps;
  std::size_t x = 0;
  for (; x + 4 <= new_width; x += 4) {
    const float *p0 = row + columns.first[x] * 4, *p1 = row + columns.first[x + 1] * 4,
                *p2 = row + columns.first[x + 2] * 4, *p3 = row + columns.first[x + 3] * 4;
    const Float4 *w0 = columns.weights.data() + x * n, *w1 = w0 + n, *w2 = w1 + n, *w3 = w2 + n;
    Float4 a0 = {0.0f, 0.0f, 0.0f, 0.0f}, a1 = a0, a2 = a0, a3 = a0;
    for (std::size_t i = 0; i < n; ++i) {
      a0 += w0[i] * load4(p0 + 4 * i);
      a1 += w1[i] * load4(p1 + 4 * i);
      a2 += w2[i] * load4(p2 + 4 * i);
      a3 += w3[i] * load4(p3 + 4 * i);
    }
    store_pixel(a0, dst + x * 4);
    store_pixel(a1, dst + x * 4 + 4);
    store_pixel(a2, dst + x * 4 + 8);
    store_pixel(a3, dst + x * 4 + 12);
  }
  for (; x < new_width; ++x) {
    const float* p = row + columns.first[x] * 4;
    const Float4* w = columns.weights.data() + x * n;
    Float4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < n; ++i) acc += w[i] * load4(p + 4 * i);
    store_pixel(acc, dst + x * 4);
  }
}

}  // namespace

Result<Bytes> resize_lanczos3(ByteView rgba, std::size_t width, std::size_t height, std::size_t new_width,
                              std::size_t new_height) {
  if (width == 0 || height == 0 || new_width == 0 || new_height == 0)
    return err::resize_failed("image has a side of 0 pixels");
  if (auto e = check_rgba(rgba.size(), width, height)) return err::resize_failed(e->message);
  auto out_pixels = pixel_count(new_width, new_height);
  if (!out_pixels) return out_pixels.error();

  // The weights of every output column and every output row, computed once.
  const PaddedTaps columns = pad_taps(tap_table(width, new_width));
  const TapTable rows = tap_table(height, new_height);
  Bytes out(*out_pixels * 4);
  const std::size_t src_stride = width * 4, dst_stride = new_width * 4;
  static const VerticalBlock vertical_block = pick_vertical_block();
  const FlatRuns flat(rgba.data(), src_stride, height);

  // One output row at a time: the vertical pass gathers a full-width float row, the horizontal pass reduces it
  // to the output row. Memory stays at one source-wide row per task instead of a whole intermediate image.
  const std::size_t grain = std::max<std::size_t>(1, 65536 / std::max<std::size_t>(1, src_stride));
  par::for_each_range(new_height, grain, [&](std::size_t begin, std::size_t end) {
    std::vector<float> row(src_stride + columns.taps * 4, 0.0f);
    for (std::size_t y = begin; y < end; ++y) {
      VerticalRow(rgba.data(), src_stride, rows.first[y], rows.weights.data() + rows.offset[y], rows.count[y])
          .run(src_stride, flat, vertical_block, row.data());

      horizontal_row(row.data(), columns, new_width, out.data() + y * dst_stride);
    }
  });
  return out;
}

}  // namespace qf
