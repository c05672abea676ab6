// SSIM of two RGBA images in one pass on one thread, equal to ssim_rgba bit for bit.
//
// The five summed-area tables (x, y, x², y², xy over the mirrored plane) are each kept as a ring of window + 1
// rows, their input rows formed on the fly from the RGBA rows: luma and the three products are never held as
// planes. Every table cell is computed by the same additions in the same order as in ssim_rgba, every output
// by the same expression, and the outputs are summed in row-major order, so the score is the same to the bit.
//
// Where the two images agree, the tables agree: an output whose window and whose tables' rows and columns
// only reach rows above the first row d where luma differs, or columns left of the first column c where it
// differs, sees x = y, so its value is ((2ux)uy + C1)(2sxy + C2) / ((ux² + uy²) + C1)(sx + sy + C2) with both
// factors equal: exactly 1.0. That holds for i < d − r and for j < c − r (r the window's radius, and only when
// d, resp. c, exceed r, since the mirrored border reads rows 1 … r first). Those outputs are not computed: the
// rows above are a sum of ones, which is exact, and the ones of the left strip are still added in their place.
// Until the first row that differs is read, the tables of y, y² and xy equal those of x and x², which alone
// are built. Everything below and right of the first difference is computed: there, windows that look the same
// can have tables that differ, and outputs that differ in the last bits.
#include <atomic>
#include <cstring>
#include <vector>

#include "core/cpu.hpp"
#include "core/size.hpp"
#include "ssim/detail.hpp"
#include "ssim/ssim.hpp"
#include "ssim/streamed_kernels.hpp"

namespace qf {

namespace {

using ssim_detail::clamp_score;
using ssim_detail::luma_of;
using ssim_detail::mirror;

using ssim_kernels::A;
using ssim_kernels::output_row_avx2;
using ssim_kernels::output_values;
using ssim_kernels::OutputRows;
constexpr std::size_t R = A / 2, P = A - A % 2;
constexpr std::size_t RING = A + 1;  // output row i reads table rows i and i + A
enum Table { X, Y, XX, YY, XY, TABLES };

void output_row_baseline(const OutputRows& r, std::size_t j0, std::size_t w, double* values, double* dens) {
  output_values(r, j0, w, values, dens);
}

std::atomic<int> wide_forced{-1};  // -1: by the processor; 0 or 1: forced (tests run both)

void output_row(const OutputRows& r, std::size_t j0, std::size_t w, double* values, double* dens) {
  const int forced = wide_forced.load(std::memory_order_relaxed);
  const bool wide = cpu::features().avx2 && forced != 0;
  (wide ? output_row_avx2 : output_row_baseline)(r, j0, w, values, dens);
}

class Stream {
 public:
  Stream(const uint8_t* baseline, const uint8_t* current, std::size_t w, std::size_t h, LumaStart start)
      : b_(baseline), c_(current), w_(w), h_(h), n_(w + P), stride_(n_ + 1), d_(start.row),
        ring_(TABLES * RING * stride_, 0.0), lx_(n_), ly_(n_) {}

  double score(std::size_t column) {
    const std::size_t i0 = d_ > R ? d_ - R : 0;     // rows above are ones
    const std::size_t j0 = column > R ? column - R : 0;  // so are the columns left of j0
    std::vector<double> values(w_), dens(w_);
    double total = static_cast<double>(i0 * w_);  // a sum of ones, exact
    for (std::size_t i = i0; i < h_; ++i) {
      while (built_ <= i + A) add_row();
      outputs(i, j0, values.data(), dens.data());
      for (std::size_t j = 0; j < j0; ++j) total += 1.0;
      for (std::size_t j = j0; j < w_; ++j) total += dens[j] == 0.0 ? 1.0 : values[j];
    }
    return total / static_cast<double>(w_ * h_);
  }

 private:
  // The values of output row i from column j0 on.
  void outputs(std::size_t i, std::size_t j0, double* values, double* dens) {
    const OutputRows rows{row(X, i), row(X, i + A), row(Y, i), row(Y, i + A), row(XX, i), row(XX, i + A),
                          row(YY, i), row(YY, i + A), row(XY, i), row(XY, i + A)};
    output_row(rows, j0, w_, values, dens);
  }

  double* row(Table t, std::size_t table_row) { return ring_.data() + (t * RING + table_row % RING) * stride_; }

  // Padded row: the luma of source row q, then its mirrored margins.
  void load(const uint8_t* image, std::size_t q, double* dst) const {
    const uint8_t* src = image + q * w_ * 4;
    for (std::size_t j = 0; j < w_; ++j) dst[R + j] = luma_of(src + 4 * j);
    for (std::size_t j = 0; j < R; ++j)
      dst[j] = dst[R + mirror(static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(R), w_)];
    for (std::size_t j = R + w_; j < n_; ++j) dst[j] = dst[R + mirror(static_cast<std::ptrdiff_t>(j - R), w_)];
  }

  // Table row t = built_ from padded row t − 1: S[t][j + 1] = S[t − 1][j + 1] + (P[t − 1][0] + … + P[t − 1][j]).
  void add_row() {
    const std::size_t t = built_;
    const std::size_t q = mirror(static_cast<std::ptrdiff_t>(t - 1) - static_cast<std::ptrdiff_t>(R), h_);
    if (!split_ && q >= d_) {
      // The first row where the images differ: from here on y, y² and xy have tables of their own, which so far
      // were those of x and x².
      for (std::size_t k = 0; k < RING; ++k) {
        std::memcpy(row(Y, k), row(X, k), stride_ * sizeof(double));
        std::memcpy(row(YY, k), row(XX, k), stride_ * sizeof(double));
        std::memcpy(row(XY, k), row(XX, k), stride_ * sizeof(double));
      }
      split_ = true;
    }
    load(b_, q, lx_.data());
    const double* px = lx_.data();
    double *cx = row(X, t), *cxx = row(XX, t);
    const double *ox = row(X, t - 1), *oxx = row(XX, t - 1);
    if (!split_) {
      double rx = 0.0, rxx = 0.0;
      for (std::size_t j = 0; j < n_; ++j) {
        rx += px[j];
        rxx += px[j] * px[j];
        cx[j + 1] = ox[j + 1] + rx;
        cxx[j + 1] = oxx[j + 1] + rxx;
      }
    } else {
      load(c_, q, ly_.data());
      const double* py = ly_.data();
      double *cy = row(Y, t), *cyy = row(YY, t), *cxy = row(XY, t);
      const double *oy = row(Y, t - 1), *oyy = row(YY, t - 1), *oxy = row(XY, t - 1);
      double rx = 0.0, ry = 0.0, rxx = 0.0, ryy = 0.0, rxy = 0.0;
      for (std::size_t j = 0; j < n_; ++j) {
        rx += px[j];
        ry += py[j];
        rxx += px[j] * px[j];
        ryy += py[j] * py[j];
        rxy += px[j] * py[j];
        cx[j + 1] = ox[j + 1] + rx;
        cy[j + 1] = oy[j + 1] + ry;
        cxx[j + 1] = oxx[j + 1] + rxx;
        cyy[j + 1] = oyy[j + 1] + ryy;
        cxy[j + 1] = oxy[j + 1] + rxy;
      }
    }
    ++built_;
  }

  const uint8_t *b_, *c_;
  std::size_t w_, h_, n_, stride_, d_;
  std::vector<double> ring_;  // table row t of table k in slot k * RING + t mod RING; row 0 (all zeros) in slot 0
  std::vector<double> lx_, ly_;
  std::size_t built_ = 1;
  bool split_ = false;
};

inline bool same_rgb(const uint8_t* a, const uint8_t* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

}  // namespace

bool ssim_detail::use_wide_outputs(std::optional<bool> force) {
  wide_forced.store(force ? int{*force} : -1, std::memory_order_relaxed);
  return cpu::features().avx2;
}

LumaStart first_luma_difference(ByteView baseline, ByteView current, std::size_t width, std::size_t height) {
  LumaStart s{height, width};
  const std::size_t row_bytes = width * 4;
  if (row_bytes == 0 || baseline.size() < height * row_bytes || current.size() < height * row_bytes) return s;
  for (std::size_t y = 0; y < height; ++y) {
    const uint8_t* a = baseline.data() + y * row_bytes;
    const uint8_t* b = current.data() + y * row_bytes;
    if (std::memcmp(a, b, row_bytes) == 0) continue;
    // The first pixel whose colour differs; a row whose pixels differ in alpha only has the same luma.
    const std::size_t limit = s.row == height ? width : s.column;
    std::size_t x = 0;
    while (x < limit && same_rgb(a + 4 * x, b + 4 * x)) ++x;
    if (x == limit && s.row == height) continue;
    if (s.row == height) s.row = y;
    s.column = std::min(s.column, x);
  }
  return s;
}

Result<double> ssim_rgba_streamed(ByteView baseline, ByteView current, std::size_t width, std::size_t height,
                                  std::optional<LumaStart> start) {
  auto n = pixel_count(width, height);
  if (!n) return n.error();
  if (baseline.size() != *n * 4) return err::invalid_buffer_length(*n * 4, baseline.size(), width, height);
  if (current.size() != *n * 4) return err::invalid_buffer_length(*n * 4, current.size(), width, height);
  if (*n == 0) return 1.0;
  if (width < SSIM_WINDOW || height < SSIM_WINDOW) return ssim_rgba(baseline, current, width, height);
  const LumaStart s = start ? *start : first_luma_difference(baseline, current, width, height);
  // Nothing differs: every output is exactly 1.0, and so is their mean.
  if (s.row >= height || s.column >= width) return 1.0;
  Stream stream(baseline.data(), current.data(), width, height, s);
  return clamp_score(stream.score(s.column));
}

}  // namespace qf
