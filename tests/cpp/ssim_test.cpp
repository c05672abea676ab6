#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/parallel.hpp"
#include "ssim/ssim.hpp"

using namespace qf;

namespace {

Bytes noise(std::size_t w, std::size_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(w * h * 4);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

// The filter written out with the whole padded plane and the whole summed-area table.
std::vector<double> full_table_filter(const std::vector<double>& plane, std::size_t w, std::size_t h) {
  const std::size_t a = 11, r = 5, p = 10;
  auto m = [](long k, long n) {
    while (k < 0 || k >= n) k = k < 0 ? -k : 2 * n - 2 - k;
    return static_cast<std::size_t>(k);
  };
  std::vector<double> s((w + p + 1) * (h + p + 1), 0.0);
  const std::size_t sw = w + p + 1;
  for (std::size_t i = 0; i < h + p; ++i) {
    double run = 0.0;
    for (std::size_t j = 0; j < w + p; ++j) {
      run += plane[m(long(i) - long(r), long(h)) * w + m(long(j) - long(r), long(w))];
      s[(i + 1) * sw + j + 1] = s[i * sw + j + 1] + run;
    }
  }
  std::vector<double> out(w * h);
  for (std::size_t i = 0; i < h; ++i)
    for (std::size_t j = 0; j < w; ++j)
      out[i * w + j] = (s[(i + a) * sw + j + a] - s[i * sw + j + a] - s[(i + a) * sw + j] + s[i * sw + j]) / 121.0;
  return out;
}

// The windowed score written out over whole planes.
double full_plane_ssim(const Bytes& b, const Bytes& c, std::size_t w, std::size_t h) {
  auto x = luma_plane(b), y = luma_plane(c);
  std::vector<double> xx(x.size()), yy(x.size()), xy(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    xx[i] = x[i] * x[i];
    yy[i] = y[i] * y[i];
    xy[i] = x[i] * y[i];
  }
  auto mx = full_table_filter(x, w, h), my = full_table_filter(y, w, h);
  auto exx = full_table_filter(xx, w, h), eyy = full_table_filter(yy, w, h), exy = full_table_filter(xy, w, h);
  double total = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double sx = exx[i] - mx[i] * mx[i], sy = eyy[i] - my[i] * my[i], sxy = exy[i] - mx[i] * my[i];
    double den = (mx[i] * mx[i] + my[i] * my[i] + SSIM_C1) * (sx + sy + SSIM_C2);
    total += den == 0.0 ? 1.0 : (2 * mx[i] * my[i] + SSIM_C1) * (2 * sxy + SSIM_C2) / den;
  }
  return std::min(1.0, std::max(0.0, total / double(x.size())));
}

double score(const Bytes& b, const Bytes& c, std::size_t w, std::size_t h) {
  auto s = ssim_rgba(b, c, w, h);
  EXPECT_TRUE(s.ok());
  return s.ok() ? *s : -1.0;
}

}  // namespace

TEST(SsimBoxFilter, EqualsTheWholeTableAndTheWindowMean) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{11, 11}, {13, 40}, {37, 12}}) {
    std::mt19937 rng(static_cast<uint32_t>(w * h));
    std::vector<double> plane(w * h);
    for (auto& v : plane) v = double(rng() % 65026) / 3.0;
    auto out = box_filter(plane, w, h, SSIM_WINDOW);
    EXPECT_EQ(out, full_table_filter(plane, w, h)) << w << "x" << h;
    // Mirrored borders: index -1 reads 1, n reads n - 2.
    auto m = [](long k, long n) { return k < 0 ? -k : (k >= n ? 2 * n - 2 - k : k); };
    for (std::size_t i : {std::size_t{0}, h / 2, h - 1})
      for (std::size_t j : {std::size_t{0}, std::size_t{1}, w - 1}) {
        double sum = 0.0;
        for (long di = -5; di <= 5; ++di)
          for (long dj = -5; dj <= 5; ++dj) sum += plane[m(long(i) + di, long(h)) * w + m(long(j) + dj, long(w))];
        EXPECT_NEAR(out[i * w + j], sum / 121.0, 1e-6);
      }
  }
}

TEST(SsimScore, WindowedEqualsTheWholePlaneComputationAcrossBands) {
  // Wide enough that the filters work in several bands of rows; the two images are correlated noise.
  const std::size_t w = 9000, h = 45;
  Bytes b = noise(w, h, 1), c = b;
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < c.size(); i += 3) c[i] = static_cast<uint8_t>(c[i] + rng() % 40);
  const double expected = full_plane_ssim(b, c, w, h);
  EXPECT_GT(expected, 0.1);
  EXPECT_LT(expected, 1.0);
  EXPECT_EQ(score(b, c, w, h), expected);
  auto via_planes = ssim_luma(luma_plane(b), luma_plane(c), w, h);
  ASSERT_TRUE(via_planes.ok());
  EXPECT_EQ(*via_planes, expected);
}

TEST(SsimScore, OneWorkerAndManyAgreeBitForBit) {
  const std::size_t w = 300, h = 517;
  Bytes b = noise(w, h, 3), c = noise(w, h, 4);
  for (std::size_t i = 0; i < b.size(); i += 2) c[i] = b[i];
  double many = score(b, c, w, h);
  double one;
  {
    par::ThreadLimit limit(1);
    one = score(b, c, w, h);
  }
  EXPECT_EQ(one, many);
}

TEST(SsimScore, GlobalMethodBelowElevenOnEitherSide) {
  // Ten columns: the global formula, deviations from the mean in a second pass, population statistics.
  const std::size_t w = 10, h = 500;
  Bytes b = noise(w, h, 9), c = noise(w, h, 10);
  for (std::size_t i = 0; i < b.size(); i += 5) c[i] = b[i];
  auto x = luma_plane(b), y = luma_plane(c);
  double sx = 0, sy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) sx += x[i], sy += y[i];
  const double n = double(x.size()), ux = sx / n, uy = sy / n;
  double vx = 0, vy = 0, cxy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    vx += (x[i] - ux) * (x[i] - ux);
    vy += (y[i] - uy) * (y[i] - uy);
    cxy += (x[i] - ux) * (y[i] - uy);
  }
  const double expected =
      (2 * ux * uy + SSIM_C1) * (2 * (cxy / n) + SSIM_C2) / ((ux * ux + uy * uy + SSIM_C1) * (vx / n + vy / n + SSIM_C2));
  EXPECT_EQ(score(b, c, w, h), std::max(0.0, expected));
  EXPECT_NE(score(b, c, w, h), full_plane_ssim(b, c, w, h));  // and not the windowed value
}

TEST(SsimScore, SizeAndLengthErrorsInOrder) {
  auto overflow = ssim_rgba({}, {}, std::size_t{1} << 32, std::size_t{1} << 32);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error().kind, ErrorKind::DimensionsOverflow);
  auto too_many = ssim_rgba({}, {}, std::size_t{1} << 31, std::size_t{1} << 31);  // fits, but × 4 does not
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().kind, ErrorKind::DimensionsOverflow);

  Bytes good(48), short_one(47);
  auto both = ssim_rgba(short_one, Bytes(46), 4, 3);
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.error().message, "invalid RGBA buffer length: expected 48 bytes for 4x3, got 47");
  auto current = ssim_rgba(good, Bytes(49), 4, 3);
  ASSERT_FALSE(current.ok());
  EXPECT_EQ(current.error().message, "invalid RGBA buffer length: expected 48 bytes for 4x3, got 49");
  auto planes = ssim_luma(std::vector<double>(12), std::vector<double>(11), 4, 3);
  ASSERT_FALSE(planes.ok());
  EXPECT_EQ(planes.error().kind, ErrorKind::InvalidBufferLength);
}
