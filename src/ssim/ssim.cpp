#include "ssim/ssim.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/parallel.hpp"
#include "core/size.hpp"
#include "ssim/detail.hpp"

namespace qf {

namespace {

using ssim_detail::luma_of;
using ssim_detail::mirror;

void luma_rows(const uint8_t* rgba, std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = luma_of(rgba + 4 * i);
}

// One box filter that produces its output a band of rows at a time. The summed-area table of the mirrored plane
// is kept as a ring of window + BLOCK rows: output row i needs only table rows i and i + window, so the filter
// never holds more than that whatever the image height. Table rows are built BLOCK at a time with their running
// row sums interleaved (the sums are chains of dependent additions; four independent chains keep the adder
// busy). Every value is that of the whole table, bit for bit.
class BoxFilterStream {
 public:
  static constexpr std::size_t BLOCK = 4;

  BoxFilterStream(std::size_t width, std::size_t height, std::size_t window)
      : w_(width), h_(height), a_(window), r_(window / 2), p_(window - window % 2), stride_(width + p_ + 1),
        slots_(window + BLOCK), ring_(slots_ * stride_, 0.0), rows_(BLOCK * (width + p_), 0.0) {}

  // Source row of padded row s.
  std::size_t source_row(std::size_t s) const {
    return mirror(static_cast<std::ptrdiff_t>(s) - static_cast<std::ptrdiff_t>(r_), h_);
  }
  // Padded rows read for output rows [0, end), and those read so far.
  std::size_t padded_end(std::size_t end) const { return end + a_ - 1; }
  std::size_t padded_done() const { return table_rows_ - 1; }

  // Writes output rows [begin, end) to out (rows of width w). load(q, dst) writes the w values of source row q.
  // Bands must be asked for in order; no padded row beyond padded_end(end) is read.
  template <class Load>
  void run(std::size_t begin, std::size_t end, Load&& load, double* out) {
    const double area = static_cast<double>(a_ * a_);
    for (std::size_t i = begin; i < end; ++i) {
      while (table_rows_ <= i + a_) add_table_rows(load, std::min(BLOCK, end + a_ - table_rows_));
      const double* top = slot(i);
      const double* bottom = slot(i + a_);
      double* o = out + (i - begin) * w_;
      for (std::size_t j = 0; j < w_; ++j) o[j] = (((bottom[j + a_] - top[j + a_]) - bottom[j]) + top[j]) / area;
    }
  }

 private:
  double* slot(std::size_t table_row) { return ring_.data() + (table_row % slots_) * stride_; }

  // Padded row s into dst: the source row, then its mirrored margins.
  template <class Load>
  void load_padded(Load& load, std::size_t s, double* dst) {
    load(source_row(s), dst + r_);
    for (std::size_t j = 0; j < r_; ++j)
      dst[j] = dst[r_ + mirror(static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(r_), w_)];
    for (std::size_t j = r_ + w_; j < w_ + p_; ++j) dst[j] = dst[r_ + mirror(static_cast<std::ptrdiff_t>(j - r_), w_)];
  }

  // Table rows t + 1 … t + k from padded rows t … t + k − 1: S[s+1][j+1] = S[s][j+1] + (P[s][0] + … + P[s][j]).
  template <class Load>
  void add_table_rows(Load& load, std::size_t k) {
    const std::size_t s = table_rows_ - 1, n = w_ + p_;
    for (std::size_t b = 0; b < k; ++b) load_padded(load, s + b, rows_.data() + b * n);
    if (k == BLOCK) {
      const double *p0 = rows_.data(), *p1 = p0 + n, *p2 = p1 + n, *p3 = p2 + n;
      const double* prev = slot(s);
      double *c0 = slot(s + 1), *c1 = slot(s + 2), *c2 = slot(s + 3), *c3 = slot(s + 4);
      c0[0] = c1[0] = c2[0] = c3[0] = 0.0;
      double r0 = 0.0, r1 = 0.0, r2 = 0.0, r3 = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        r0 += p0[j];
        r1 += p1[j];
        r2 += p2[j];
        r3 += p3[j];
        c0[j + 1] = prev[j + 1] + r0;
        c1[j + 1] = c0[j + 1] + r1;
        c2[j + 1] = c1[j + 1] + r2;
        c3[j + 1] = c2[j + 1] + r3;
      }
    } else {
      for (std::size_t b = 0; b < k; ++b) {
        const double* padded = rows_.data() + b * n;
        const double* prev = slot(s + b);
        double* cur = slot(s + b + 1);
        cur[0] = 0.0;
        double run = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          run += padded[j];
          cur[j + 1] = prev[j + 1] + run;
        }
      }
    }
    table_rows_ += k;
  }

  std::size_t w_, h_, a_, r_, p_, stride_, slots_;
  std::vector<double> ring_;  // table row t lives in slot t mod slots_; row 0 is all zeros
  std::vector<double> rows_;  // the padded rows of the block being added
  std::size_t table_rows_ = 1;
};

// Rows of output computed per round of the five filters: enough to keep the fork–join cheap, small enough that
// the statistic bands stay in cache and memory stays flat for tall captures.
std::size_t band_rows(std::size_t width) { return std::max<std::size_t>(16, (std::size_t{1} << 17) / width); }

// The luma rows a band reads: either whole planes or RGBA converted band by band.
struct PlaneSource {
  const double* x;
  const double* y;
  std::size_t w;
  void prepare(std::size_t, std::size_t) {}
  const double* x_row(std::size_t q) const { return x + q * w; }
  const double* y_row(std::size_t q) const { return y + q * w; }
};

struct RgbaSource {
  const uint8_t* baseline;
  const uint8_t* current;
  std::size_t w;
  std::vector<double> x, y;  // rows [first, first + count)
  std::size_t first = 0;
  void prepare(std::size_t lo, std::size_t hi) {
    const std::size_t n = (hi - lo) * w;
    x.resize(n);
    y.resize(n);
    first = lo;
    par::join([&] { luma_rows(baseline + lo * w * 4, n, x.data()); },
              [&] { luma_rows(current + lo * w * 4, n, y.data()); });
  }
  const double* x_row(std::size_t q) const { return x.data() + (q - first) * w; }
  const double* y_row(std::size_t q) const { return y.data() + (q - first) * w; }
};

using ssim_detail::clamp_score;

// Windowed method: the five box filters run band by band as fork–join tasks; the per-pixel values are summed
// afterwards on this thread in row-major order, so the score does not depend on the number of workers.
template <class Source>
double windowed(Source& src, std::size_t w, std::size_t h) {
  const std::size_t a = SSIM_WINDOW;
  BoxFilterStream fx(w, h, a), fy(w, h, a), fxx(w, h, a), fyy(w, h, a), fxy(w, h, a);
  const std::size_t band = std::min(band_rows(w), h);
  std::vector<double> mx(band * w), my(band * w), exx(band * w), eyy(band * w), exy(band * w), values(band * w);

  // Each filter forms its input rows as it reads them (the three products included), so no product plane or
  // statistic plane is ever held whole; the values are the same as from whole planes.
  auto copy_x = [&](std::size_t q, double* d) { std::memcpy(d, src.x_row(q), w * sizeof(double)); };
  auto copy_y = [&](std::size_t q, double* d) { std::memcpy(d, src.y_row(q), w * sizeof(double)); };
  auto sq_x = [&](std::size_t q, double* d) {
    const double* s = src.x_row(q);
    for (std::size_t j = 0; j < w; ++j) d[j] = s[j] * s[j];
  };
  auto sq_y = [&](std::size_t q, double* d) {
    const double* s = src.y_row(q);
    for (std::size_t j = 0; j < w; ++j) d[j] = s[j] * s[j];
  };
  auto prod = [&](std::size_t q, double* d) {
    const double* s = src.x_row(q);
    const double* t = src.y_row(q);
    for (std::size_t j = 0; j < w; ++j) d[j] = s[j] * t[j];
  };

  double total = 0.0;
  for (std::size_t begin = 0; begin < h; begin += band) {
    const std::size_t end = std::min(h, begin + band);
    // The source rows this band's new padded rows read.
    std::size_t lo = h, hi = 0;
    for (std::size_t s = fx.padded_done(); s < fx.padded_end(end); ++s) {
      const std::size_t q = fx.source_row(s);
      lo = std::min(lo, q);
      hi = std::max(hi, q + 1);
    }
    src.prepare(lo, hi);
    par::join(
        [&] {
          par::join([&] { fx.run(begin, end, copy_x, mx.data()); }, [&] { fy.run(begin, end, copy_y, my.data()); });
        },
        [&] {
          par::join([&] { fxx.run(begin, end, sq_x, exx.data()); },
                    [&] {
                      par::join([&] { fyy.run(begin, end, sq_y, eyy.data()); },
                                [&] { fxy.run(begin, end, prod, exy.data()); });
                    });
        });
    // Per-pixel values on the pool (each depends on its pixel only), then their sum in row-major order here.
    par::for_each_range(end - begin, 8, [&](std::size_t r0, std::size_t r1) {
      for (std::size_t i = r0 * w; i < r1 * w; ++i) {
        const double ux = mx[i], uy = my[i];
        const double sx = exx[i] - ux * ux;
        const double sy = eyy[i] - uy * uy;
        const double sxy = exy[i] - ux * uy;
        const double den = (ux * ux + uy * uy + SSIM_C1) * (sx + sy + SSIM_C2);
        // Divided unconditionally and selected after, so that the loop vectorises; the value is the same.
        const double v = ((2.0 * ux) * uy + SSIM_C1) * (2.0 * sxy + SSIM_C2) / den;
        values[i] = den == 0.0 ? 1.0 : v;
      }
    });
    const std::size_t n = (end - begin) * w;
    for (std::size_t i = 0; i < n; ++i) total += values[i];
  }
  return total / static_cast<double>(w * h);
}

// Global method over n pixels; lx(k) and ly(k) give the luma of pixel k.
template <class LX, class LY>
double global(std::size_t n, LX&& lx, LY&& ly) {
  double sum_x = 0.0, sum_y = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    sum_x += lx(k);
    sum_y += ly(k);
  }
  const double count = static_cast<double>(n);
  const double ux = sum_x / count, uy = sum_y / count;
  double vx = 0.0, vy = 0.0, cxy = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double dx = lx(k) - ux, dy = ly(k) - uy;
    vx += dx * dx;
    vy += dy * dy;
    cxy += dx * dy;
  }
  const double sx = vx / count, sy = vy / count, sxy = cxy / count;
  const double den = (ux * ux + uy * uy + SSIM_C1) * (sx + sy + SSIM_C2);
  if (den == 0.0) return 1.0;
  return ((2.0 * ux) * uy + SSIM_C1) * (2.0 * sxy + SSIM_C2) / den;
}

bool use_windowed(std::size_t w, std::size_t h) { return w >= SSIM_WINDOW && h >= SSIM_WINDOW; }

}  // namespace

std::vector<double> luma_plane(ByteView rgba) {
  std::vector<double> plane(rgba.size() / 4);
  luma_rows(rgba.data(), plane.size(), plane.data());
  return plane;
}

std::vector<double> box_filter(const std::vector<double>& plane, std::size_t width, std::size_t height,
                               std::size_t window) {
  auto n = pixel_count(width, height);
  if (!n || plane.size() != *n) throw InternalFault("box filter plane does not match its size");
  if (window == 0) throw InternalFault("box filter window must not be empty");
  std::vector<double> out(*n);
  if (*n == 0) return out;
  BoxFilterStream f(width, height, window);
  f.run(0, height, [&](std::size_t q, double* d) { std::memcpy(d, plane.data() + q * width, width * sizeof(double)); },
        out.data());
  return out;
}

Result<double> ssim_luma(const std::vector<double>& x, const std::vector<double>& y, std::size_t width,
                         std::size_t height) {
  auto n = pixel_count(width, height);
  if (!n) return n.error();
  if (x.size() != *n) return err::invalid_buffer_length(*n, x.size(), width, height);
  if (y.size() != *n) return err::invalid_buffer_length(*n, y.size(), width, height);
  if (*n == 0) return 1.0;
  if (use_windowed(width, height)) {
    PlaneSource src{x.data(), y.data(), width};
    return clamp_score(windowed(src, width, height));
  }
  return clamp_score(global(*n, [&](std::size_t k) { return x[k]; }, [&](std::size_t k) { return y[k]; }));
}

// Equal to ssim_luma over the two luma planes, but converts luma band by band so that no full plane is ever
// held: a tall capture costs little more than its two RGBA buffers.
Result<double> ssim_rgba(ByteView baseline, ByteView current, std::size_t width, std::size_t height) {
  auto n = pixel_count(width, height);
  if (!n) return n.error();
  if (baseline.size() != *n * 4) return err::invalid_buffer_length(*n * 4, baseline.size(), width, height);
  if (current.size() != *n * 4) return err::invalid_buffer_length(*n * 4, current.size(), width, height);
  if (*n == 0) return 1.0;
  if (use_windowed(width, height)) {
    RgbaSource src{baseline.data(), current.data(), width, {}, {}};
    return clamp_score(windowed(src, width, height));
  }
  const uint8_t* b = baseline.data();
  const uint8_t* c = current.data();
  return clamp_score(global(*n, [&](std::size_t k) { return luma_of(b + 4 * k); },
                            [&](std::size_t k) { return luma_of(c + 4 * k); }));
}

}  // namespace qf
