#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "core/parallel.hpp"
#include "pixeldiff/pixeldiff.hpp"

using namespace qf;

namespace {

struct Img {
  std::size_t w, h;
  Bytes px;
  Img(std::size_t w_, std::size_t h_, uint8_t r = 255, uint8_t g = 255, uint8_t b = 255, uint8_t a = 255)
      : w(w_), h(h_), px(w_ * h_ * 4) {
    for (std::size_t i = 0; i < w * h; ++i) set_index(i, r, g, b, a);
  }
  void set_index(std::size_t i, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    px[4 * i] = r;
    px[4 * i + 1] = g;
    px[4 * i + 2] = b;
    px[4 * i + 3] = a;
  }
  void set(std::size_t x, std::size_t y, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    set_index(y * w + x, r, g, b, a);
  }
  void grey(std::size_t x, std::size_t y, uint8_t v) { set(x, y, v, v, v); }
};

DiffOptions opts(double threshold, bool include_aa = false) {
  DiffOptions o;
  o.threshold = threshold;
  o.include_aa = include_aa;
  return o;
}

uint64_t count(const Img& a, const Img& b, DiffOptions o = opts(0.1), std::optional<uint64_t> cap = {}) {
  auto r = count_diffs(a.px, b.px, a.w, a.h, o, cap);
  EXPECT_TRUE(r) << (r ? "" : r.error().message);
  return r ? *r : ~0ull;
}

double delta_of(const Img& a, const Img& b, std::size_t i) { return color_delta(a.px.data(), b.px.data(), 4 * i, 4 * i, false); }

// A vertical edge: black columns [0, edge), one grey column at `edge`, white after it.
Img edge_image(std::size_t w, std::size_t h, std::size_t edge) {
  Img img(w, h);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) img.grey(x, y, x < edge ? 0 : x == edge ? 128 : 255);
  return img;
}

// A screenshot-like canvas with text-like blocks, large enough for the parallel paths.
Img busy_image(std::size_t w, std::size_t h, unsigned seed) {
  Img img(w, h);
  std::mt19937 rng(seed);
  for (int block = 0; block < 400; ++block) {
    std::size_t x0 = rng() % (w - 20), y0 = rng() % (h - 10), bw = 3 + rng() % 15, bh = 2 + rng() % 8;
    uint8_t v = static_cast<uint8_t>(rng() % 256), a = rng() % 4 == 0 ? static_cast<uint8_t>(rng() % 256) : 255;
    for (std::size_t y = y0; y < y0 + bh; ++y)
      for (std::size_t x = x0; x < x0 + bw; ++x) img.set(x, y, v, static_cast<uint8_t>(255 - v), v / 2, a);
  }
  return img;
}

}  // namespace

TEST(ColorDelta, BlackAgainstWhite) {
  Img black(1, 1, 0, 0, 0), white(1, 1);
  const double d = delta_of(black, white, 0);
  EXPECT_GT(d, 0.0);  // the current pixel is brighter
  EXPECT_NEAR(d, 0.5053 * 255.0 * 255.0, 0.1);
  EXPECT_DOUBLE_EQ(delta_of(white, black, 0), -d);
  EXPECT_EQ(count(black, white, opts(0.9659)), 1u);
  EXPECT_EQ(count(black, white, opts(0.966)), 0u);
  EXPECT_EQ(count(black, white, opts(1.0)), 0u);
  EXPECT_LT(std::fabs(d), MAX_YIQ_DELTA);
}

TEST(ColorDelta, AlphaIsBlendedOverAPositionDependentBackground) {
  Img opaque(2, 1, 0, 0, 0, 255), clear(2, 1, 0, 0, 0, 0);
  EXPECT_NEAR(std::fabs(delta_of(opaque, clear, 0)), 1164.2, 0.05);
  EXPECT_NEAR(std::fabs(delta_of(opaque, clear, 1)), 3476.4, 0.05);
  EXPECT_EQ(count(opaque, clear), 2u);  // both above 352.15
  // Identical bytes give exactly 0, also when transparent; luma only gives the signed luma difference.
  EXPECT_EQ(delta_of(clear, clear, 1), 0.0);
  Img dark(1, 1, 10, 10, 10), light(1, 1, 20, 20, 20);
  EXPECT_NEAR(color_delta(dark.px.data(), light.px.data(), 0, 0, true), -10.0, 1e-6);
}

TEST(ColorDelta, MaxDeltaAndTheLimitIsExclusive) {
  EXPECT_DOUBLE_EQ(max_delta(0.1), (35215.0 * 0.1) * 0.1);
  Img a(1, 1, 0, 0, 0), b(1, 1, 0, 0, 1);
  const double d = std::fabs(delta_of(a, b, 0));
  // A threshold whose limit is exactly |d| is not exceeded.
  DiffOptions o = opts(0.0, true);
  o.threshold = std::sqrt(d / 35215.0);
  if (max_delta(o.threshold) == d) {
    EXPECT_EQ(count(a, b, o), 0u);
  }
  o.threshold = std::nextafter(o.threshold, 0.0);
  while (max_delta(o.threshold) >= d) o.threshold = std::nextafter(o.threshold, 0.0);
  EXPECT_EQ(count(a, b, o), 1u);
}

TEST(CountDiffs, ChecksInOrder) {
  Img a(2, 2);
  DiffOptions o = opts(2.0);
  o.alpha = -1;
  EXPECT_EQ(count_diffs(a.px, a.px, 2, 2, o).error().message, "threshold must be in the range [0.0, 1.0]");
  o.threshold = NAN;
  EXPECT_EQ(count_diffs(a.px, a.px, 2, 2, o).error().message, "threshold must be in the range [0.0, 1.0]");
  o.threshold = 0.5;
  EXPECT_EQ(count_diffs(a.px, a.px, 2, 2, o).error().message, "alpha must be in the range [0.0, 1.0]");
  o.alpha = 0.5;
  EXPECT_EQ(count_diffs(a.px, a.px, 1ull << 32, 1ull << 32, o).error().message, "image dimensions overflowed");
  EXPECT_EQ(count_diffs(Bytes(15), a.px, 2, 2, o).error().message,
            "invalid RGBA buffer length: expected 16 bytes for 2x2, got 15");
  EXPECT_EQ(count_diffs(a.px, Bytes(12), 2, 2, o).error().message,
            "invalid RGBA buffer length: expected 16 bytes for 2x2, got 12");
  EXPECT_EQ(render_diff(a.px, Bytes(12), 2, 2, o).error().kind, ErrorKind::InvalidBufferLength);
  EXPECT_EQ(build_diff_mask(a.px, a.px, 2, 2, opts(-0.5)).error().kind, ErrorKind::InvalidArgument);
}

TEST(CountDiffs, EmptyCanvases) {
  // Zero-sized canvases have empty (possibly null) buffers; every pass must accept them.
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{0, 5}, {5, 0}, {0, 0}}) {
    EXPECT_EQ(*count_diffs(Bytes(), Bytes(), w, h, opts(0.0)), 0u);
    EXPECT_EQ(*count_diffs(Bytes(), Bytes(), w, h, opts(0.1), 3), 0u);
    EXPECT_EQ(render_diff(Bytes(), Bytes(), w, h, opts(0.1))->count, 0u);
    EXPECT_EQ(build_diff_mask(Bytes(), Bytes(), w, h, opts(0.1))->bits.size(), 0u);
  }
}

TEST(CountDiffs, ExactModeCountsEveryByteDifference) {
  Img a(3, 1, 10, 20, 30, 0), b(3, 1, 10, 20, 30, 0);
  b.set(0, 0, 200, 100, 0, 0);  // transparent, other colour: delta 0
  b.set(2, 0, 10, 20, 31, 0);
  EXPECT_EQ(count(a, b, opts(0.0)), 2u);
  EXPECT_EQ(count(a, b, opts(0.0, true)), 0u);
  EXPECT_EQ(count(a, a, opts(0.0)), 0u);
  EXPECT_EQ(count(a, a, opts(0.0, true)), 0u);
}

TEST(AntiAliasing, NeighbourhoodRules) {
  Img one(1, 1, 0, 0, 0), other(1, 1);
  EXPECT_FALSE(is_antialiased(one.px.data(), 0, 0, 1, 1, {one.px.data()}, {other.px.data()}));
  EXPECT_EQ(count(one, other), 1u);

  // Only darker neighbours: never anti-aliased.
  Img dark(3, 3, 0, 0, 0);
  dark.grey(1, 1, 128);
  EXPECT_FALSE(is_antialiased(dark.px.data(), 1, 1, 3, 3, {dark.px.data()}, {dark.px.data()}));

  // A black one-pixel line drawn into white: Different.
  Img base(9, 9), cur(9, 9);
  for (std::size_t y = 0; y < 9; ++y) cur.grey(4, y, 0);
  EXPECT_EQ(count(base, cur), 9u);

  // Siblings: at least three equal neighbours inside, two on the border (which starts its count at 1).
  Img s(3, 3, 9, 9, 9);
  s.grey(1, 1, 200);
  s.grey(0, 0, 200);
  s.grey(2, 0, 200);
  EXPECT_FALSE(has_many_siblings({s.px.data()}, 1, 1, 3, 3));
  s.grey(2, 2, 200);
  EXPECT_TRUE(has_many_siblings({s.px.data()}, 1, 1, 3, 3));
  EXPECT_FALSE(has_many_siblings({s.px.data()}, 2, 0, 3, 3));  // one equal neighbour: (1, 1)
  s.grey(2, 1, 200);
  EXPECT_TRUE(has_many_siblings({s.px.data()}, 2, 0, 3, 3));
}

TEST(AntiAliasing, MovedEdgeIsAntiAliased) {
  Img base = edge_image(12, 8, 5), cur = edge_image(12, 8, 6);
  // Columns 5 and 6 change (grey→white... black→grey): above the threshold, but anti-aliased.
  EXPECT_EQ(count(base, cur, opts(0.1, true)), 16u);
  EXPECT_EQ(count(base, cur, opts(0.1)), 0u);
  auto mask = build_diff_mask(base.px, cur.px, 12, 8, opts(0.1));
  ASSERT_TRUE(mask);
  EXPECT_EQ(mask->count, 0u);
  auto image = render_diff(base.px, cur.px, 12, 8, opts(0.1));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->count, 0u);
  const uint8_t* px = &image->rgba[4 * (3 * 12 + 5)];
  EXPECT_EQ((std::vector<int>{px[0], px[1], px[2], px[3]}), (std::vector<int>{255, 255, 0, 255}));
  // Exact mode counts them anyway; render_diff has no exact mode and keeps them yellow.
  EXPECT_EQ(count(base, cur, opts(0.0)), 16u);
  EXPECT_EQ(render_diff(base.px, cur.px, 12, 8, opts(0.0))->count, 0u);
}

TEST(AntiAliasing, FlatAreaStopsAtTheThirdZero) {
  // The centre has a brighter and a darker neighbour, but three neighbours of its own luma.
  Img img(3, 3, 128, 128, 128);
  img.grey(0, 0, 0);
  img.grey(2, 2, 255);
  EXPECT_FALSE(is_antialiased(img.px.data(), 1, 1, 3, 3, {img.px.data()}, {img.px.data()}));
}

TEST(DiffImage, GreyAndColours) {
  EXPECT_EQ(grey_value(0, 0, 0, 255, 0.1), 229);
  EXPECT_EQ(grey_value(255, 255, 255, 255, 0.1), 255);
  EXPECT_EQ(grey_value(0, 0, 0, 0, 0.1), 255);
  EXPECT_EQ(grey_value(0, 0, 0, 255, 0.0), 255);
  EXPECT_EQ(grey_value(100, 100, 100, 255, 1.0), 100);

  Img base(3, 1, 128, 128, 128), cur(3, 1, 128, 128, 128);
  cur.grey(0, 0, 0);    // darker
  cur.grey(1, 0, 255);  // brighter
  DiffOptions o = opts(0.1, true);
  auto plain = render_diff(base.px, cur.px, 3, 1, o);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->count, 2u);
  EXPECT_EQ(plain->rgba, (Bytes{255, 0, 0, 255, 255, 0, 0, 255, 242, 242, 242, 255}));
  o.diff_color_alt = Rgb{0, 0, 255};
  auto alt = render_diff(base.px, cur.px, 3, 1, o);
  EXPECT_EQ(alt->rgba, (Bytes{0, 0, 255, 255, 255, 0, 0, 255, 242, 242, 242, 255}));
  // Identical inputs are a plain grey conversion of the baseline.
  Img black(2, 1, 0, 0, 0);
  EXPECT_EQ(render_diff(black.px, black.px, 2, 1, opts(0.1))->rgba, (Bytes{229, 229, 229, 255, 229, 229, 229, 255}));
}

TEST(CountDiffs, CapRules) {
  Img base(10, 10), cur(10, 10);
  for (std::size_t i = 0; i < 100; i += 3) cur.set_index(i, 0, 0, 0);  // 34 pixels, rows of 3 or 4
  EXPECT_EQ(count(base, cur, opts(0.0), 1), 1u);
  EXPECT_EQ(count(base, cur, opts(0.0), 10), 10u);
  EXPECT_EQ(count(base, cur, opts(0.0), 1000), 34u);
  EXPECT_EQ(count(base, cur, opts(0.1), 0), 0u);
  // General path: the total up to and including the row where the cap was reached.
  const uint64_t capped = count(base, cur, opts(0.1, true), 5);
  EXPECT_GE(capped, 5u);
  EXPECT_LE(capped, 8u);
  EXPECT_EQ(count(base, cur, opts(0.1, true), 1000), 34u);
}

TEST(Parallel, ResultsDoNotDependOnTheNumberOfThreads) {
  const std::size_t w = 640, h = 480;  // above the parallel threshold
  Img base = busy_image(w, h, 1), cur = base;
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) cur.set_index(rng() % (w * h), rng() % 256, rng() % 256, rng() % 256, rng() % 256);
  Img moved = edge_image(w, h, 300), edge = edge_image(w, h, 301);

  struct Outcome {
    std::vector<uint64_t> counts;
    Bytes mask, image;
  };
  auto run = [&] {
    Outcome o;
    for (auto [a, b] : {std::pair{&base, &cur}, std::pair{&moved, &edge}})
      for (double t : {0.0, 0.1, 0.5})
        for (bool aa : {false, true}) {
          o.counts.push_back(count(*a, *b, opts(t, aa)));
          auto m = build_diff_mask(a->px, b->px, w, h, opts(t, aa));
          EXPECT_EQ(m->count, o.counts.back());
          o.mask.insert(o.mask.end(), m->bits.begin(), m->bits.end());
          auto r = render_diff(a->px, b->px, w, h, opts(t, aa));
          if (t > 0.0 || aa) {
            EXPECT_EQ(r->count, o.counts.back());
          }
          o.image.insert(o.image.end(), r->rgba.begin(), r->rgba.end());
        }
    return o;
  };
  Outcome many = run();
  Outcome one;
  {
    par::ThreadLimit limit(1);
    one = run();
  }
  EXPECT_EQ(many.counts, one.counts);
  EXPECT_EQ(many.mask, one.mask);
  EXPECT_EQ(many.image, one.image);
  EXPECT_GT(many.counts[0], 4000u);

  // Capped: below the cap the exact count, else at least the cap.
  for (bool exact : {true, false}) {
    DiffOptions o = exact ? opts(0.0) : opts(0.1);
    const uint64_t full = count(base, cur, o);
    EXPECT_EQ(count(base, cur, o, full + 1), full);
    EXPECT_GE(count(base, cur, o, 100), 100u);
    EXPECT_LT(count(base, cur, o, 100), full);
  }
}

TEST(Property, MaskCountEqualsCountAndCapsHold) {
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    const std::size_t w = 1 + rng() % 20, h = 1 + rng() % 20;
    // Few distinct colours so that flat areas and siblings occur, one of them translucent.
    uint8_t palette[4][4];
    for (auto& c : palette)
      for (int k = 0; k < 4; ++k) c[k] = static_cast<uint8_t>(rng());
    for (int c = 0; c < 3; ++c) palette[c][3] = 255;
    Img a(w, h), b(w, h);
    for (std::size_t i = 0; i < w * h; ++i) {
      const auto* p = palette[rng() % 4];
      a.set_index(i, p[0], p[1], p[2], p[3]);
      const auto* q = rng() % 3 == 0 ? palette[rng() % 4] : p;
      b.set_index(i, q[0], q[1], q[2], q[3]);
    }
    for (double t : {0.0, 0.05, 0.1, 0.4})
      for (bool aa : {false, true}) {
        const DiffOptions o = opts(t, aa);
        const uint64_t full = count(a, b, o);
        auto mask = build_diff_mask(a.px, b.px, w, h, o);
        ASSERT_TRUE(mask);
        uint64_t ones = 0;
        for (uint8_t bit : mask->bits) ones += bit;
        EXPECT_EQ(mask->count, full);
        EXPECT_EQ(ones, full);
        auto image = render_diff(a.px, b.px, w, h, o);
        if (t > 0.0 || aa) {
          EXPECT_EQ(image->count, full);
        } else {
          EXPECT_LE(image->count, full);
        }
        const uint64_t cap = 1 + rng() % 40;
        const uint64_t capped = count(a, b, o, cap);
        if (capped < cap) {
          EXPECT_EQ(capped, full);
        } else {
          EXPECT_GE(full, cap);
          EXPECT_LE(capped, full);
        }
      }
  }
}

namespace {
// The anti-aliasing test written plainly, neighbour by neighbour in the order the rules give (columns left to
// right, each top to bottom), with the first strictly smallest and largest deltas kept.
bool plain_siblings(const Img& img, std::size_t x, std::size_t y) {
  unsigned same = (x == 0 || y == 0 || x + 1 == img.w || y + 1 == img.h) ? 1 : 0;
  for (std::size_t nx = x ? x - 1 : 0; nx <= std::min(x + 1, img.w - 1); ++nx)
    for (std::size_t ny = y ? y - 1 : 0; ny <= std::min(y + 1, img.h - 1); ++ny)
      if ((nx != x || ny != y) && std::memcmp(&img.px[4 * (ny * img.w + nx)], &img.px[4 * (y * img.w + x)], 4) == 0)
        ++same;
  return same >= 3;
}
bool plain_antialiased(const Img& img, const Img& other, std::size_t x, std::size_t y) {
  unsigned zeroes = (x == 0 || y == 0 || x + 1 == img.w || y + 1 == img.h) ? 1 : 0;
  double min = 0, max = 0;
  std::size_t min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  for (std::size_t nx = x ? x - 1 : 0; nx <= std::min(x + 1, img.w - 1); ++nx)
    for (std::size_t ny = y ? y - 1 : 0; ny <= std::min(y + 1, img.h - 1); ++ny) {
      if (nx == x && ny == y) continue;
      const double d = color_delta(img.px.data(), img.px.data(), 4 * (y * img.w + x), 4 * (ny * img.w + nx), true);
      if (d == 0) {
        ++zeroes;
      } else if (d < min) {
        min = d, min_x = nx, min_y = ny;
      } else if (d > max) {
        max = d, max_x = nx, max_y = ny;
      }
    }
  if (zeroes >= 3 || min == 0 || max == 0) return false;
  return (plain_siblings(img, min_x, min_y) && plain_siblings(other, min_x, min_y)) ||
         (plain_siblings(img, max_x, max_y) && plain_siblings(other, max_x, max_y));
}
}  // namespace

TEST(AntiAliasing, EveryPixelAsThePlainRules) {
  // Few distinct colours, so equal deltas (ties for the darkest and brightest neighbour), flat areas and
  // siblings are common; some canvases with translucent pixels; sizes from a single row up.
  std::mt19937 rng(11);
  const std::pair<std::size_t, std::size_t> sizes[] = {{3, 3}, {1, 7}, {9, 1}, {2, 2}, {40, 30}, {17, 23}};
  for (int round = 0; round < 60; ++round) {
    const auto [w, h] = sizes[round % 6];
    const bool translucent = round % 4 == 3;
    Img a(w, h), b(w, h);
    const uint8_t palette[] = {0, 40, 41, 128, 200, 255};
    for (std::size_t i = 0; i < w * h; ++i) {
      const uint8_t v = palette[rng() % 6], g = rng() % 3 ? v : palette[rng() % 6];
      const uint8_t alpha = translucent && rng() % 5 == 0 ? uint8_t(rng() % 255) : 255;
      a.set_index(i, v, g, v, alpha);
      b.set_index(i, rng() % 4 ? v : palette[rng() % 6], g, v, alpha);
    }
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        ASSERT_EQ(is_antialiased(a.px.data(), x, y, w, h, {a.px.data()}, {b.px.data()}), plain_antialiased(a, b, x, y))
            << "round " << round << " at " << x << "," << y;
        ASSERT_EQ(is_antialiased(b.px.data(), x, y, w, h, {b.px.data()}, {a.px.data()}), plain_antialiased(b, a, x, y))
            << "round " << round << " at " << x << "," << y;
      }
  }
}

namespace {
// The class of every pixel by the rules alone (1 Different, 2 AntiAliased, else 0): word comparison, colour
// delta, then the plain anti-aliasing test of both images.
std::vector<uint8_t> plain_classes(const Img& a, const Img& b, DiffOptions o) {
  std::vector<uint8_t> classes(a.w * a.h, 0);
  const double limit = max_delta(o.threshold);
  for (std::size_t y = 0; y < a.h; ++y)
    for (std::size_t x = 0; x < a.w; ++x) {
      const std::size_t i = y * a.w + x;
      if (std::memcmp(&a.px[4 * i], &b.px[4 * i], 4) == 0) continue;
      if (limit == 0.0 && !o.include_aa) {
        classes[i] = 1;
        continue;
      }
      if (!(std::fabs(delta_of(a, b, i)) > limit)) continue;
      classes[i] = o.include_aa || !(plain_antialiased(a, b, x, y) || plain_antialiased(b, a, x, y)) ? 1 : 2;
    }
  return classes;
}

// Both ways of counting, the mask and the diff image against the plain rules, for a few thresholds.
void expect_plain(const Img& a, const Img& b, const std::string& what) {
  for (double t : {0.0, 0.02, 0.1, 0.35, 1.0})
    for (bool aa : {false, true}) {
      DiffOptions o = opts(t, aa);
      const auto classes = plain_classes(a, b, o);
      std::vector<uint8_t> want(classes.size());
      uint64_t ones = 0;
      for (std::size_t i = 0; i < classes.size(); ++i) ones += want[i] = classes[i] == 1;
      auto mask = build_diff_mask(a.px, b.px, a.w, a.h, o);
      ASSERT_TRUE(mask);
      ASSERT_EQ(mask->count, ones) << what << " threshold " << t << " include_aa " << aa;
      ASSERT_TRUE(std::equal(mask->bits.begin(), mask->bits.end(), want.begin(), want.end()))
          << what << " threshold " << t << " include_aa " << aa;
      ASSERT_EQ(count(a, b, o), ones) << what << " threshold " << t << " include_aa " << aa;
      if (t == 0.0 && !aa) continue;  // the diff image has no exact mode
      o.diff_color_alt = Rgb{0, 0, 255};
      auto image = render_diff(a.px, b.px, a.w, a.h, o);
      ASSERT_EQ(image->count, ones) << what;
      for (std::size_t i = 0; i < classes.size(); ++i) {
        const uint8_t* p = &a.px[4 * i];
        const uint8_t g = grey_value(p[0], p[1], p[2], p[3], o.alpha);
        Rgb c{g, g, g};
        if (classes[i] == 1) c = delta_of(a, b, i) < 0.0 ? *o.diff_color_alt : o.diff_color;
        if (classes[i] == 2) c = o.aa_color;
        const uint8_t* q = &image->rgba[4 * i];
        ASSERT_TRUE(q[0] == c.r && q[1] == c.g && q[2] == c.b && q[3] == 255)
            << what << " threshold " << t << " include_aa " << aa << " pixel " << i;
      }
    }
}

// Anti-aliased text-like strokes on a light page: runs of a few inks, soft edges, flat areas.
Img page(std::size_t w, std::size_t h, unsigned seed, bool translucent) {
  Img img(w, h, 250, 250, 250);
  std::mt19937 rng(seed);
  const uint8_t inks[] = {20, 60, 128, 190};
  for (std::size_t y = 1; y + 3 < h; y += 4 + rng() % 3)
    for (std::size_t x = rng() % 4; x + 4 < w; x += 3 + rng() % 5) {
      const uint8_t ink = inks[rng() % 4];
      const std::size_t len = 1 + rng() % 3;
      for (std::size_t dy = 0; dy < 3; ++dy)
        for (std::size_t dx = 0; dx < len + 2; ++dx) {
          const bool edge = dx == 0 || dx == len + 1;
          const uint8_t v = edge ? static_cast<uint8_t>((ink + 250) / 2) : ink;
          const uint8_t alpha = translucent && rng() % 7 == 0 ? static_cast<uint8_t>(rng() % 256) : 255;
          img.set(x + dx, y + dy, v, v, static_cast<uint8_t>(v + (rng() % 3 == 0)), alpha);
        }
    }
  return img;
}

// img moved by (dx, dy), the uncovered area filled with the page colour.
Img moved(const Img& img, int dx, int dy) {
  Img out(img.w, img.h, 250, 250, 250);
  for (std::size_t y = 0; y < img.h; ++y)
    for (std::size_t x = 0; x < img.w; ++x) {
      const long sx = static_cast<long>(x) - dx, sy = static_cast<long>(y) - dy;
      if (sx < 0 || sy < 0 || sx >= static_cast<long>(img.w) || sy >= static_cast<long>(img.h)) continue;
      std::memcpy(&out.px[4 * (y * img.w + x)], &img.px[4 * (sy * img.w + sx)], 4);
    }
  return out;
}
}  // namespace

TEST(HeavyRows, ShiftedPagesAsThePlainRules) {
  // Shifted pages: most changed pixels lie in a flat area of one image, many at anti-aliased edges. Widths
  // around the 64-pixel blocks, single rows and columns, a canvas on the parallel path.
  const std::pair<std::size_t, std::size_t> sizes[] = {{1, 1},  {1, 9},  {9, 1},  {2, 2},   {3, 3},  {10, 10},
                                                       {63, 7}, {64, 5}, {65, 6}, {66, 12}, {129, 9}, {200, 40}};
  unsigned seed = 1;
  for (auto [w, h] : sizes)
    for (bool translucent : {false, true}) {
      const Img base = page(w, h, seed++, translucent);
      for (auto [dx, dy] : {std::pair{0, 1}, {1, 0}, {-1, 2}, {2, -1}})
        expect_plain(base, moved(base, dx, dy), std::to_string(w) + "x" + std::to_string(h));
    }
  const Img big = page(700, 380, 5, false);
  expect_plain(big, moved(big, 0, 3), "700x380");
}

TEST(HeavyRows, ScatteredAndDenseChangesAsThePlainRules) {
  // Single changed pixels (tested the plain way) beside a shifted area (tested from the block bits), in the
  // same rows and blocks.
  std::mt19937 rng(3);
  for (int round = 0; round < 6; ++round) {
    const std::size_t w = 150 + rng() % 100, h = 30 + rng() % 20;
    const Img base = page(w, h, 100 + round, round % 3 == 2);
    const Img shifted = moved(base, round % 2, 1);
    Img cur = base;
    const std::size_t x0 = rng() % (w / 2), x1 = x0 + 20 + rng() % 80, y0 = rng() % (h / 2), y1 = y0 + 5 + rng() % 10;
    for (std::size_t y = y0; y < std::min(y1, h); ++y)
      for (std::size_t x = x0; x < std::min(x1, w); ++x)
        std::memcpy(&cur.px[4 * (y * w + x)], &shifted.px[4 * (y * w + x)], 4);
    for (int i = 0; i < 60; ++i) {
      const std::size_t k = rng() % (w * h);
      for (int c = 0; c < 3; ++c) cur.px[4 * k + c] = static_cast<uint8_t>(255 - cur.px[4 * k + c]);
    }
    expect_plain(base, cur, "round " + std::to_string(round));
  }
}

TEST(HeavyRows, WideCanvasesAsThePlainRules) {
  // Past 65536 columns the rows keep no luma keys, past 1048576 no bits either: the plain test takes over.
  for (std::size_t w : {std::size_t{70000}, (std::size_t{1} << 20) + 70}) {
    const Img base = page(w, 6, 7, false);
    const Img cur = moved(base, 1, 0);
    const DiffOptions o = opts(0.1);
    const auto classes = plain_classes(base, cur, o);
    uint64_t ones = 0;
    for (uint8_t c : classes) ones += c == 1;
    EXPECT_GT(ones, 0u);
    EXPECT_EQ(count(base, cur, o), ones) << w;
    auto mask = build_diff_mask(base.px, cur.px, w, 6, o);
    ASSERT_TRUE(mask);
    for (std::size_t i = 0; i < classes.size(); ++i) ASSERT_EQ(mask->bits[i], classes[i] == 1) << w << " " << i;
  }
}

TEST(HeavyRows, RandomPalettesAsThePlainRules) {
  // Few colours: ties between neighbours, siblings and flat areas everywhere; some translucent pixels.
  std::mt19937 rng(23);
  for (int round = 0; round < 120; ++round) {
    const std::size_t w = 1 + rng() % 140, h = 1 + rng() % 12;
    const bool translucent = round % 3 == 2;
    Img a(w, h), b(w, h);
    const uint8_t palette[] = {0, 40, 41, 128, 200, 255};
    for (std::size_t i = 0; i < w * h; ++i) {
      const uint8_t v = palette[rng() % 6], g = rng() % 3 ? v : palette[rng() % 6];
      const uint8_t alpha = translucent && rng() % 6 == 0 ? uint8_t(rng() % 256) : 255;
      a.set_index(i, v, g, v, alpha);
      if (rng() % 3 == 0) {
        b.set_index(i, palette[rng() % 6], g, v, alpha);
      } else {
        std::memcpy(&b.px[4 * i], &a.px[4 * i], 4);
      }
    }
    expect_plain(a, b, "round " + std::to_string(round));
  }
}

TEST(HeavyRows, EqualNeighboursAndTiesAsThePlainRules) {
  // Equal brightest or darkest neighbours in several places of the window (the first in the scan order wins),
  // greys of equal luma from different colours, and checkerboards where every pixel has many siblings.
  std::mt19937 rng(41);
  for (int round = 0; round < 80; ++round) {
    const std::size_t w = 3 + rng() % 70, h = 3 + rng() % 9;
    Img a(w, h), b(w, h);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        const unsigned kind = (round % 4 == 0) ? (x + y) % 2 : rng() % 4;
        const uint8_t v = kind == 0 ? 0 : kind == 1 ? 255 : kind == 2 ? 128 : 127;
        a.set(x, y, v, v, v);
        const unsigned other = rng() % 5 == 0 ? rng() % 4 : kind;
        const uint8_t u = other == 0 ? 0 : other == 1 ? 255 : other == 2 ? 128 : 127;
        b.set(x, y, u, u, u);
      }
    expect_plain(a, b, "round " + std::to_string(round));
  }
}

TEST(HeavyRows, LumaOrderOfOpaquePixelsIsExact) {
  // The keyed test orders opaque neighbours by 29889531 r + 58662247 g + 11448223 b: no two channel differences
  // within ±255 share a value, and the luma delta is that value × 1e-8 up to far less than half the spacing.
  const long kr = 29889531, kg = 58662247, kb = 11448223;
  for (long dr = -510; dr <= 510; ++dr)
    for (long dg = -510; dg <= 510; ++dg) {
      const long rest = -(kr * dr + kg * dg);
      if (rest % kb == 0 && std::labs(rest / kb) <= 510) {
        ASSERT_TRUE(dr == 0 && dg == 0) << dr << "," << dg << "," << rest / kb;
      }
    }
  Img a(1, 1), b(1, 1);
  double worst = 0.0;
  for (int dr = -255; dr <= 255; ++dr)
    for (int dg = -255; dg <= 255; ++dg)
      for (int db = -255; db <= 255; db += 7) {
        a.set(0, 0, uint8_t(std::max(dr, 0)), uint8_t(std::max(dg, 0)), uint8_t(std::max(db, 0)));
        b.set(0, 0, uint8_t(std::max(-dr, 0)), uint8_t(std::max(-dg, 0)), uint8_t(std::max(-db, 0)));
        const double d = color_delta(a.px.data(), b.px.data(), 0, 0, true);
        worst = std::max(worst, std::fabs(d - (kr * dr + kg * dg + kb * db) * 1e-8));
      }
  EXPECT_LT(worst, 1e-11);
}
