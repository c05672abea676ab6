#include "image_io/resize.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/parallel.hpp"
#include "core/size.hpp"

namespace qf {

namespace {

float sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float a = x * std::numbers::pi_v<float>;
  return std::sin(a) / a;
}

uint8_t to_u8(float v) {
  // Clamped first, so the cast cannot overflow (NaN cannot occur: weights and samples are finite).
  return static_cast<uint8_t>(std::round(std::clamp(v, 0.0f, 255.0f)));
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

Result<Bytes> resize_lanczos3(ByteView rgba, std::size_t width, std::size_t height, std::size_t new_width,
                              std::size_t new_height) {
  if (width == 0 || height == 0 || new_width == 0 || new_height == 0)
    return err::resize_failed("image has a side of 0 pixels");
  if (auto e = check_rgba(rgba.size(), width, height)) return err::resize_failed(e->message);
  auto out_pixels = pixel_count(new_width, new_height);
  if (!out_pixels) return out_pixels.error();

  const TapTable columns = tap_table(width, new_width);
  Bytes out(*out_pixels * 4);
  const std::size_t src_stride = width * 4, dst_stride = new_width * 4;

  // One output row at a time: the vertical pass gathers a full-width float row, the horizontal pass reduces it
  // to the output row. Memory stays at one source-wide row per task instead of a whole intermediate image.
  const std::size_t grain = std::max<std::size_t>(1, 65536 / std::max<std::size_t>(1, src_stride));
  par::for_each_range(new_height, grain, [&](std::size_t begin, std::size_t end) {
    std::vector<float> row(src_stride);
    for (std::size_t y = begin; y < end; ++y) {
      const FilterTaps taps = filter_taps(y, height, new_height);
      const uint8_t* src = rgba.data() + taps.first * src_stride;
      {
        const float w = taps.weights[0];
        for (std::size_t k = 0; k < src_stride; ++k) row[k] = w * static_cast<float>(src[k]);
      }
      for (std::size_t i = 1; i < taps.weights.size(); ++i) {
        const float w = taps.weights[i];
        const uint8_t* s = src + i * src_stride;
        for (std::size_t k = 0; k < src_stride; ++k) row[k] += w * static_cast<float>(s[k]);
      }

      uint8_t* dst = out.data() + y * dst_stride;
      for (std::size_t x = 0; x < new_width; ++x) {
        const float* p = row.data() + columns.first[x] * 4;
        const float* w = columns.weights.data() + columns.offset[x];
        float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;
        for (std::size_t i = 0; i < columns.count[x]; ++i, p += 4) {
          r += w[i] * p[0];
          g += w[i] * p[1];
          b += w[i] * p[2];
          a += w[i] * p[3];
        }
        dst[x * 4 + 0] = to_u8(r);
        dst[x * 4 + 1] = to_u8(g);
        dst[x * 4 + 2] = to_u8(b);
        dst[x * 4 + 3] = to_u8(a);
      }
    }
  });
  return out;
}

}  // namespace qf
