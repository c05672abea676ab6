// The diff image: unchanged pixels as faded grey of the baseline, changes in the diff colours.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/parallel.hpp"
#include "pixeldiff/classify.hpp"

namespace qf {

namespace {

inline uint32_t word_at(const uint8_t* px) {
  uint32_t w;
  std::memcpy(&w, px, 4);
  return w;
}

// The greys of the baseline words met lately, in a small table indexed by a hash of the word (screenshots
// repeat a few colours, anti-aliased text a few hundred). Every slot starts as the word 0 with its grey, which
// is right whichever slot the word 0 falls in.
class GreyCache {
 public:
  explicit GreyCache(double alpha) : alpha_(alpha) { greys_.fill(grey_value(0, 0, 0, 0, alpha)); }

  uint8_t operator()(const uint8_t* px) {
    const uint32_t word = word_at(px);
    const std::size_t slot = (word * 0x9E3779B1u) >> 24;
    if (words_[slot] != word) {
      words_[slot] = word;
      greys_[slot] = grey_value(px[0], px[1], px[2], px[3], alpha_);
    }
    return greys_[slot];
  }

 private:
  double alpha_;
  std::array<uint32_t, 256> words_{};
  std::array<uint8_t, 256> greys_;
};

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

  // `pixels` pixels of one grey.
  template <std::size_t CHANNELS>
  static void fill(uint8_t* out, std::size_t pixels, uint8_t grey) {
    if constexpr (CHANNELS == 3) {
      std::memset(out, grey, 3 * pixels);
    } else {
      const uint32_t word = word_at(std::array<uint8_t, 4>{grey, grey, grey, 255}.data());
      for (std::size_t i = 0; i < pixels; ++i) std::memcpy(out + 4 * i, &word, 4);
    }
  }

  // The greys of `pixels` baseline pixels from px, a run of equal words at a time.
  template <std::size_t CHANNELS>
  static void paint_grey(const uint8_t* px, std::size_t pixels, uint8_t* out, GreyCache& grey) {
    for (std::size_t x = 0; x < pixels;) {
      const uint32_t word = word_at(px + 4 * x);
      std::size_t run = x + 1;
      while (run < pixels && word_at(px + 4 * run) == word) ++run;
      fill<CHANNELS>(out + CHANNELS * x, run - x, grey(px + 4 * x));
      x = run;
    }
  }

  // With the anti-aliasing test: the rows in grey, then the changed pixels over them, found row by row with
  // their neighbourhoods' bits kept between rows.
  template <std::size_t CHANNELS>
  uint64_t paint_tested(std::size_t begin, std::size_t end, uint8_t* out) const {
    const std::size_t width = pass.width;
    GreyCache grey(options.alpha);
    paint_grey<CHANNELS>(pass.baseline + 4 * begin * width, (end - begin) * width, out, grey);
    if (identical) return 0;
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
    GreyCache grey(options.alpha);
    for (std::size_t y = begin; y < end; ++y, out += CHANNELS * width) {
      const std::size_t row = y * width;
      if (identical || pass.same_row(y)) {
        paint_grey<CHANNELS>(pass.baseline + 4 * row, width, out, grey);
        continue;
      }
      // In two steps per stretch of the row, as the count does: the stretch painted grey and its pixels above
      // the threshold listed without a branch on the delta, then the list painted.
      constexpr std::size_t STRETCH = 256;
      uint32_t above[STRETCH];
      bool darker[STRETCH];
      for (std::size_t x0 = 0; x0 < width; x0 += STRETCH) {
        const std::size_t x1 = std::min(width, x0 + STRETCH);
        paint_grey<CHANNELS>(pass.baseline + 4 * (row + x0), x1 - x0, out + CHANNELS * x0, grey);
        std::size_t n = 0;
        for (std::size_t x = x0; x < x1; ++x) {
          if (pass.same_word(row + x)) continue;
          const std::size_t k = 4 * (row + x);
          const double d = detail::yiq_delta(pass.baseline, pass.current, k, k, false);
          above[n] = static_cast<uint32_t>(x);
          darker[n] = d < 0.0;
          n += std::fabs(d) > pass.max_delta;
        }
        // Anti-aliased pixels count too here: every pixel above the threshold is Different.
        for (std::size_t i = 0; i < n; ++i)
          put<CHANNELS>(out + CHANNELS * above[i],
                        darker[i] && options.diff_color_alt ? *options.diff_color_alt : options.diff_color);
        count += n;
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
      // Only the same buffer is known to be identical without a look: equal rows are found row by row, on the
      // workers, rather than by comparing the whole canvas first on the calling thread.
      baseline.data() == current.data());
  return DiffRowPainter([held](std::size_t begin, std::size_t end, uint8_t* out) {
    return held->painter.paint<3>(begin, end, out);
  });
}

}  // namespace qf
