// The diff image: unchanged pixels as faded grey of the baseline, changes in the diff colours.
#include <cstring>
#include <memory>
#include <vector>

#include "core/parallel.hpp"
#include "pixeldiff/classify.hpp"

namespace qf {

namespace {

// Paints rows [begin, end) into `out` (which holds those rows only); returns the Different pixels among them.
struct Painter {
  detail::PairPass pass;
  const DiffOptions& options;
  bool identical;  // the two buffers are byte for byte equal

  template <std::size_t CHANNELS>
  static void put(uint8_t* px, Rgb c) {
    px[0] = c.r;
    px[1] = c.g;
    px[2] = c.b;
    if constexpr (CHANNELS == 4) px[3] = 255;
  }

  // The faded grey of every pixel of rows [begin, end), whatever its class.
  template <std::size_t CHANNELS>
  void paint_grey(std::size_t begin, std::size_t end, uint8_t* out) const {
    // Screenshots repeat colours in runs: the last grey is reused for an equal baseline word.
    uint32_t last_word = 0;
    uint8_t last_grey = grey_value(0, 0, 0, 0, options.alpha);
    for (std::size_t i = begin * pass.width; i < end * pass.width; ++i, out += CHANNELS) {
      const uint8_t* px = pass.baseline + 4 * i;
      uint32_t word;
      std::memcpy(&word, px, 4);
      if (word != last_word) {
        last_word = word;
        last_grey = grey_value(px[0], px[1], px[2], px[3], options.alpha);
      }
      out[0] = out[1] = out[2] = last_grey;
      if constexpr (CHANNELS == 4) out[3] = 255;
    }
  }

  // With the anti-aliasing test: the rows in grey, then the changed pixels over them, found row by row with
  // their neighbourhoods' bits kept between rows.
  template <std::size_t CHANNELS>
  uint64_t paint_tested(std::size_t begin, std::size_t end, uint8_t* out) const {
    paint_grey<CHANNELS>(begin, end, out);
    if (identical) return 0;
    const std::size_t width = pass.width;
    detail::DifferentRows rows(pass);
    uint64_t count = 0;
    for (std::size_t y = begin; y < end; ++y) {
      uint8_t* row = out + CHANNELS * (y - begin) * width;
      count += rows.for_each_changed(
          y,
          [&](std::size_t x) {
            const std::size_t k = 4 * (y * width + x);
            const bool darker =
                options.diff_color_alt && detail::yiq_delta(pass.baseline, pass.current, k, k, false) < 0.0;
            put<CHANNELS>(row + CHANNELS * x, darker ? *options.diff_color_alt : options.diff_color);
          },
          [&](std::size_t x) { put<CHANNELS>(row + CHANNELS * x, options.aa_color); });
    }
    return count;
  }

  // Paints as RGBA (CHANNELS 4) or RGB (3).
  template <std::size_t CHANNELS = 4>
  uint64_t paint(std::size_t begin, std::size_t end, uint8_t* out) const {
    if (!pass.include_aa) return paint_tested<CHANNELS>(begin, end, out);
    const std::size_t width = pass.width;
    uint64_t count = 0;
    // Screenshots repeat colours in runs: the last grey is reused for an equal baseline word.
    uint32_t last_word = 0;
    uint8_t last_grey = grey_value(0, 0, 0, 0, options.alpha);
    for (std::size_t y = begin; y < end; ++y) {
      for (std::size_t x = 0; x < width; ++x, out += CHANNELS) {
        const std::size_t i = y * width + x;
        if (!identical && !pass.same_word(i)) {
          double d;
          const PixelClass c = pass.classify_differing(x, y, d);
          if (c == PixelClass::Different) {
            put<CHANNELS>(out, d < 0.0 && options.diff_color_alt ? *options.diff_color_alt : options.diff_color);
            ++count;
            continue;
          }
          if (c == PixelClass::AntiAliased) {
            put<CHANNELS>(out, options.aa_color);
            continue;
          }
        }
        const uint8_t* px = pass.baseline + 4 * i;
        uint32_t word;
        std::memcpy(&word, px, 4);
        if (word != last_word) {
          last_word = word;
          last_grey = grey_value(px[0], px[1], px[2], px[3], options.alpha);
        }
        out[0] = out[1] = out[2] = last_grey;
        if constexpr (CHANNELS == 4) out[3] = 255;
      }
    }
    return count;
  }
};

}  // namespace

Result<DiffImage> render_diff(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                              const DiffOptions& options) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  const std::size_t n = width * height;
  DiffImage image{Bytes(n * 4), 0};
  const Painter painter{{baseline.data(), current.data(), width, height, max_delta(options.threshold),
                         options.include_aa},
                        options,
                        same_bytes(baseline, current)};
  uint8_t* out = image.rgba.data();
  if (n == 0) return image;  // no pixel: the rows of a zero-width canvas are not walked, however many
  if (n < PARALLEL_MIN_PIXELS) {
    image.count = painter.paint(0, height, out);
    return image;
  }
  // Bands of 64 rows, each painting its own slice of the output; the band counts are summed afterwards.
  std::vector<uint64_t> band_counts((height + DIFF_BAND_ROWS - 1) / DIFF_BAND_ROWS, 0);
  par::for_each_chunk(height, DIFF_BAND_ROWS, [&](std::size_t begin, std::size_t end) {
    band_counts[begin / DIFF_BAND_ROWS] = painter.paint(begin, end, out + begin * width * 4);
  });
  for (uint64_t c : band_counts) image.count += c;
  return image;
}

Result<DiffRowPainter> diff_row_painter(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                    const DiffOptions& options) {
  if (auto e = check_pair(baseline, current, width, height, options)) return *e;
  struct Held {
    DiffOptions options;
    Painter painter;
    Held(const DiffOptions& o, detail::PairPass pass, bool identical) : options(o), painter{pass, options, identical} {}
  };
  auto held = std::make_shared<Held>(
      options,
      detail::PairPass{baseline.data(), current.data(), width, height, max_delta(options.threshold), options.include_aa},
      same_bytes(baseline, current));
  return DiffRowPainter([held](std::size_t begin, std::size_t end, uint8_t* out) {
    return held->painter.paint<3>(begin, end, out);
  });
}

}  // namespace qf
