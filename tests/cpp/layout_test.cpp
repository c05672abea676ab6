#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/parallel.hpp"
#include "layout/layout.hpp"
#include "layout/regions.hpp"
#include "pixeldiff/pixeldiff.hpp"

using namespace qf;

namespace {

constexpr uint32_t BANNER = 1;  // a line of one solid colour, repeated wherever it appears

// A column stripe of a page: its columns and one content id per row (every id draws a distinct row).
struct Stripe {
  std::size_t x0, x1;
  std::vector<uint32_t> lines;
};

std::vector<uint32_t> lines(uint32_t first, std::size_t count) {
  std::vector<uint32_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = first + static_cast<uint32_t>(i);
  return v;
}

// `count` banner lines inserted before index `at` (or `count` lines removed from `at` when remove is true).
std::vector<uint32_t> with_banner(std::vector<uint32_t> v, std::size_t at, std::size_t count) {
  v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), count, BANNER);
  return v;
}
std::vector<uint32_t> without(std::vector<uint32_t> v, std::size_t at, std::size_t count) {
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + count));
  return v;
}
// Keeps the first `h` lines, padding with blank lines (id 0) when shorter: a viewport-sized capture.
std::vector<uint32_t> fit(std::vector<uint32_t> v, std::size_t h) {
  v.resize(h, 0);
  return v;
}

struct Page {
  std::size_t w = 0, h = 0;
  Bytes px;
};

// Row content: id 0 is white, BANNER one solid red, any other id a pattern of colours no other id repeats.
void draw_pixel(uint8_t* p, uint32_t id, std::size_t x) {
  if (id == 0) {
    p[0] = p[1] = p[2] = 255;
  } else if (id == BANNER) {
    p[0] = 200, p[1] = 30, p[2] = 30;
  } else {
    uint32_t v = id * 2654435761u ^ static_cast<uint32_t>(x) * 40503u;
    v ^= v >> 15;
    v *= 2246822519u;
    v ^= v >> 13;
    p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8), p[2] = static_cast<uint8_t>(v >> 16);
  }
  p[3] = 255;
}

Page page(std::size_t w, const std::vector<Stripe>& stripes) {
  Page pg;
  pg.w = w;
  for (const Stripe& s : stripes) pg.h = std::max(pg.h, s.lines.size());
  pg.px.assign(w * pg.h * 4, 255);
  for (const Stripe& s : stripes)
    for (std::size_t y = 0; y < pg.h; ++y)
      for (std::size_t x = s.x0; x < s.x1; ++x)
        draw_pixel(pg.px.data() + (y * w + x) * 4, y < s.lines.size() ? s.lines[y] : 0, x);
  return pg;
}

void fill(Page& pg, std::size_t x0, std::size_t x1, std::size_t y0, std::size_t y1, Rgb c) {
  for (std::size_t y = y0; y < y1; ++y)
    for (std::size_t x = x0; x < x1; ++x) {
      uint8_t* p = pg.px.data() + (y * pg.w + x) * 4;
      p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 255;
    }
}

ImagePair pair_of(const Page& a, const Page& b) {
  return std::move(make_image_pair(a.px, a.w, a.h, b.px, b.w, b.h).value());
}

LayoutRecord analyze(const ImagePair& p, AlignOptions align = {}) {
  auto r = analyze_layout(p, {}, align);
  if (!r) throw std::runtime_error(r.error().message);
  return std::move(r).value();
}

std::vector<ColumnRegion> moved_regions(const LayoutRecord& r) {
  std::vector<ColumnRegion> out;
  for (const ColumnRegion& c : r.regions)
    if (c.moved) out.push_back(c);
  return out;
}

ColumnBand inserted(std::size_t y, std::size_t rows, std::size_t x0, std::size_t x1) { return {false, y, rows, x0, x1}; }
ColumnBand deleted(std::size_t y, std::size_t rows, std::size_t x0, std::size_t x1) { return {true, y, rows, x0, x1}; }

uint64_t set_count(const Bytes& mask) { return static_cast<uint64_t>(std::count_if(mask.begin(), mask.end(), [](uint8_t b) { return b != 0; })); }

}  // namespace

TEST(BandRowKeys, FullWidthIsTheRowKeyAndABandKeysItsOwnColumnsOnly) {
  const Page a = page(40, {{0, 40, lines(10, 30)}});
  EXPECT_EQ(band_row_keys(a.px, 40, 30, 0, 40), row_keys(a.px, 40, 30));
  const auto keys = band_row_keys(a.px, 40, 30, 7, 8);
  for (std::size_t y = 0; y < 30; ++y)
    EXPECT_EQ(keys[y], row_key(ByteView(a.px).subspan((y * 40 + 7) * 4, 4))) << y;
  // Changing a pixel outside the band leaves its keys alone.
  Page b = a;
  fill(b, 20, 21, 3, 4, {1, 2, 3});
  EXPECT_EQ(band_row_keys(b.px, 40, 30, 0, 20), band_row_keys(a.px, 40, 30, 0, 20));
  EXPECT_NE(band_row_keys(b.px, 40, 30, 0, 21)[3], band_row_keys(a.px, 40, 30, 0, 21)[3]);
  EXPECT_THROW(band_row_keys(a.px, 40, 30, 5, 5), InternalFault);
  EXPECT_THROW(band_row_keys(a.px, 40, 30, 0, 41), InternalFault);
}

TEST(ColumnMismatches, CountsDifferingRowPairsPerColumnAndTransparentPixelsMatch) {
  Page a = page(6, {{0, 6, lines(10, 8)}});
  Page b = a;
  fill(b, 2, 4, 1, 4, {9, 9, 9});           // columns 2 and 3 differ in 3 rows
  std::memset(a.px.data() + (5 * 6 + 5) * 4, 0, 4);  // transparent in one, transparent other colour in the other
  b.px[(5 * 6 + 5) * 4] = 77, b.px[(5 * 6 + 5) * 4 + 3] = 0;
  const ImagePair p = pair_of(a, b);
  EXPECT_EQ(column_mismatches(p, {{0, 0, 8, RunKind::Equal}}), (std::vector<uint64_t>{0, 0, 3, 3, 0, 0}));
  // Pairing rows 0..3 of the baseline with rows 4..7 of the current image: everything but... every column
  // differs in every pair, except where the pair is equal.
  auto shifted = column_mismatches(p, {{0, 4, 4, RunKind::Equal}, {4, 0, 1, RunKind::Insert}});
  EXPECT_EQ(shifted[0], 4u);
  EXPECT_THROW(column_mismatches(p, {{5, 0, 4, RunKind::Equal}}), InternalFault);
}

TEST(Layout, FixedLeftSidebarBesideAPaneWithABannerInserted) {
  // Full-page captures: the page grows by the banner.
  const std::size_t w = 120, s = 30;
  const Page a = page(w, {{0, s, lines(1000, 200)}, {s, w, lines(5000, 200)}});
  const Page b = page(w, {{0, s, with_banner(lines(1000, 200), 200, 12)}, {s, w, with_banner(lines(5000, 200), 40, 12)}});
  const ImagePair p = pair_of(a, b);
  const LayoutRecord r = analyze(p);
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(r.residual_count, 0u);
  // The sidebar column grew at the bottom (its banner rows there are new rows in the taller image).
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(200, 12, 0, s), inserted(40, 12, s, w)}));
  // Whole-row alignment cannot pair these rows.
  auto whole = align_rows(p, {}, {});
  ASSERT_TRUE(whole);
  EXPECT_FALSE(whole->aligned && whole->residual_count == 0 && whole->changed_rows == 0);
  EXPECT_LE(r.searches, 6u);

  // Viewport captures of one height: the pane's last rows leave at the bottom.
  const Page c = page(w, {{0, s, lines(1000, 200)}, {s, w, fit(with_banner(lines(5000, 200), 40, 12), 200)}});
  const LayoutRecord v = analyze(pair_of(a, c));
  EXPECT_EQ(v.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(v), (std::vector<ColumnBand>{inserted(40, 12, s, w), deleted(200, 12, s, w)}));
}

TEST(Layout, RightColumnBothSidesAndAStickyHeader) {
  const std::size_t w = 150, h = 180;
  // Fixed right-hand table of contents.
  {
    const Page a = page(w, {{0, 110, lines(5000, h)}, {110, w, lines(1000, h)}});
    const Page b = page(w, {{0, 110, fit(with_banner(lines(5000, h), 5, 9), h)}, {110, w, lines(1000, h)}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(5, 9, 0, 110), deleted(h, 9, 0, 110)}));
  }
  // Sidebar and table of contents, a sticky header of 20 rows over the whole width, a paragraph of 7 rows
  // removed from the pane.
  {
    auto header = lines(9000, 20);
    auto cat = [&](std::vector<uint32_t> body) {
      body.insert(body.begin(), header.begin(), header.end());
      return fit(body, h);
    };
    const Page a = page(w, {{0, 25, cat(lines(1000, h))}, {25, 120, cat(lines(5000, h))}, {120, w, cat(lines(3000, h))}});
    const Page b = page(w, {{0, 25, cat(lines(1000, h))}, {25, 120, cat(without(lines(5000, h), 30, 7))},
                            {120, w, cat(lines(3000, h))}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    ASSERT_EQ(moved_regions(r).size(), 1u);
    EXPECT_EQ(moved_regions(r)[0].x0, 25u);
    EXPECT_EQ(moved_regions(r)[0].x1, 120u);
    EXPECT_EQ(moved_regions(r)[0].bands, (std::vector<BandRecord>{{50, 7, true}, {h - 7, 7, false}}));
    ASSERT_EQ(r.regions.size(), 3u);
    EXPECT_FALSE(r.regions[0].moved);
    EXPECT_FALSE(r.regions[2].moved);
  }
}

TEST(Layout, TwoPanesMovingIndependentlyWithNoGapBetweenThem) {
  const std::size_t w = 200, h = 160;
  const Page a = page(w, {{0, 20, lines(1000, h)}, {20, 110, lines(5000, h)}, {110, w, lines(7000, h)}});
  const Page b = page(w, {{0, 20, lines(1000, h)},
                          {20, 110, fit(with_banner(lines(5000, h), 10, 6), h)},
                          {110, w, fit(without(lines(7000, h), 90, 15), h)}});
  const LayoutRecord r = analyze(pair_of(a, b));
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(10, 6, 20, 110), deleted(h, 6, 20, 110),
                                                      deleted(90, 15, 110, w), inserted(h - 15, 15, 110, w)}));
}

TEST(Layout, BandsAtTheCanvasEdgesOneColumnWideAndShiftsAtTheTopAndBottom) {
  const std::size_t h = 90;
  // A one-column pane at the left edge, shifted at the very top.
  {
    const Page a = page(40, {{0, 1, lines(5000, h)}, {1, 40, lines(1000, h)}});
    const Page b = page(40, {{0, 1, fit(with_banner(lines(5000, h), 0, 4), h)}, {1, 40, lines(1000, h)}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(0, 4, 0, 1), deleted(h, 4, 0, 1)}));
  }
  // A one-column pane at the right edge, rows inserted at the bottom of a taller capture.
  {
    const Page a = page(40, {{0, 39, lines(1000, h)}, {39, 40, lines(5000, h)}});
    Page b = page(40, {{0, 39, lines(1000, h)}, {39, 40, with_banner(lines(5000, h), 60, 3)}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    // The static columns grew by white rows at the bottom; the pane moved from row 60 down.
    EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(h, 3, 0, 39), inserted(60, 3, 39, 40)}));
  }
  // A pane in the middle, one column wide, with rows removed near its end.
  {
    const Page a = page(40, {{0, 17, lines(1000, h)}, {17, 18, lines(5000, h)}, {18, 40, lines(3000, h)}});
    const Page b = page(40, {{0, 17, lines(1000, h)}, {17, 18, fit(without(lines(5000, h), h - 10, 5), h)},
                             {18, 40, lines(3000, h)}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{deleted(h - 10, 5, 17, 18), inserted(h - 5, 5, 17, 18)}));
    // Rows removed at the very end of a capture of the same height cannot be told from changed rows.
    const Page c = page(40, {{0, 17, lines(1000, h)}, {17, 18, fit(without(lines(5000, h), h - 5, 5), h)},
                             {18, 40, lines(3000, h)}});
    EXPECT_EQ(analyze(pair_of(a, c)).verdict, LayoutVerdict::Changed);
  }
  // Rows appended at the bottom of every column: a plain taller capture, one band over the whole width.
  {
    const Page a = page(40, {{0, 20, lines(1000, h)}, {20, 40, lines(5000, h)}});
    const Page b = page(40, {{0, 20, with_banner(lines(1000, h), h, 4)}, {20, 40, with_banner(lines(5000, h), h, 4)}});
    const LayoutRecord r = analyze(pair_of(a, b));
    EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
    EXPECT_FALSE(r.any_moved());
    EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(h, 4, 0, 40)}));
  }
}

TEST(Layout, RealChangesBesideAndInsideTheShiftAreTheResidual) {
  const std::size_t w = 120, s = 30, h = 200;
  const Page a = page(w, {{0, s, lines(1000, h)}, {s, w, lines(5000, h)}});
  Page b = page(w, {{0, s, lines(1000, h)}, {s, w, fit(with_banner(lines(5000, h), 40, 12), h)}});
  fill(b, 5, 15, 100, 106, {0, 0, 255});  // a button recoloured in the sidebar: 60 pixels
  const ImagePair p = pair_of(a, b);
  LayoutRecord r = analyze(p);
  EXPECT_EQ(r.verdict, LayoutVerdict::Changed);
  EXPECT_EQ(r.residual_count, 60u);
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(40, 12, s, w), deleted(h, 12, s, w)}));
  ClusterOptions co;
  co.dilation = 0;
  auto clusters = layout_clusters(p, r, {}, co);
  ASSERT_TRUE(clusters);
  ASSERT_EQ(clusters->clusters.size(), 1u);
  const ClusterRecord& c = clusters->clusters[0];
  EXPECT_EQ((std::vector<std::size_t>{c.x, c.y, c.width, c.height, c.pixel_count}),
            (std::vector<std::size_t>{5, 100, 10, 6, 60}));

  // A change inside the moved pane, in current-image coordinates, beside the banner.
  Page d = page(w, {{0, s, lines(1000, h)}, {s, w, fit(with_banner(lines(5000, h), 40, 12), h)}});
  fill(d, 70, 80, 120, 124, {0, 0, 255});
  const ImagePair q = pair_of(a, d);
  r = analyze(q);
  EXPECT_EQ(r.verdict, LayoutVerdict::Changed);
  EXPECT_EQ(r.residual_count, 40u);
  ASSERT_EQ(moved_regions(r).size(), 1u);
  EXPECT_EQ(moved_regions(r)[0].x0, s);
  auto mask = layout_residual_mask(q, r, {});
  ASSERT_TRUE(mask);
  EXPECT_EQ(set_count(*mask), 40u);
  EXPECT_EQ((*mask)[122 * w + 75], 1);
}

TEST(Layout, NoShiftAtAllBudgetAndWidths) {
  const std::size_t w = 60, h = 100;
  const Page a = page(w, {{0, 20, lines(1000, h)}, {20, w, lines(5000, h)}});
  // Identical.
  LayoutRecord r = analyze(pair_of(a, a));
  EXPECT_EQ(r.verdict, LayoutVerdict::Unchanged);
  ASSERT_EQ(r.regions.size(), 1u);
  EXPECT_FALSE(r.regions[0].moved);
  EXPECT_EQ(r.searches, 0u);
  // A real change only: the residual is every differing pixel, no band.
  Page b = a;
  fill(b, 30, 40, 10, 20, {0, 0, 0});
  const ImagePair p = pair_of(a, b);
  r = analyze(p);
  EXPECT_EQ(r.verdict, LayoutVerdict::Changed);
  EXPECT_TRUE(column_bands(r).empty());
  EXPECT_EQ(r.residual_count, count_diffs(p.baseline, p.current, w, h, {}).value());

  // A shift larger than the budget is not found; the pair is reported changed quickly, after a bounded
  // number of searches.
  const Page c = page(w, {{0, 20, lines(1000, h)}, {20, w, fit(with_banner(lines(5000, h), 10, 30), h)}});
  const ImagePair q = pair_of(a, c);
  r = analyze(q, {0.25, 20});
  EXPECT_FALSE(r.any_moved());
  EXPECT_EQ(r.verdict, LayoutVerdict::Changed);
  EXPECT_EQ(r.residual_count, count_diffs(q.baseline, q.current, w, h, {}).value());
  EXPECT_LE(r.searches, LayoutOptions{}.max_candidates + LayoutOptions{}.max_failed);
  // Exactly at the budget it is found: 30 inserted and 30 deleted rows.
  r = analyze(q, {1.0, 60});
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  r = analyze(q, {1.0, 59});
  EXPECT_FALSE(r.any_moved());

  // Two unrelated pages: every candidate fails, the searches stay within their cap, the residual is the whole
  // difference.
  const Page other = page(w, {{0, 30, lines(20000, h)}, {30, w, lines(30000, h)}});
  const ImagePair u = pair_of(a, other);
  r = analyze(u);
  EXPECT_FALSE(r.any_moved());
  EXPECT_LE(r.searches, LayoutOptions{}.max_searches);
  EXPECT_EQ(r.residual_count, count_diffs(u.baseline, u.current, w, h, {}).value());
  // A caller that has the plain count lets it stop once it exceeds its cap; 0 still tells changed from unchanged.
  LayoutOptions capped;
  capped.static_residual_cap = 0;
  auto quick = analyze_layout(u, {}, {}, capped);
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->verdict, LayoutVerdict::Changed);
  EXPECT_GE(quick->residual_count, 1u);
  EXPECT_LE(quick->residual_count, r.residual_count);

  // Widths differ: nothing can be paired, and the outputs refuse the record.
  const Page narrow = page(w - 1, {{0, w - 1, lines(1000, h)}});
  const ImagePair d = pair_of(a, narrow);
  r = analyze(d);
  EXPECT_EQ(r.verdict, LayoutVerdict::Unaligned);
  EXPECT_TRUE(r.regions.empty());
  EXPECT_FALSE(layout_residual_mask(d, r, {}));
  // Bad options give the alignment's errors.
  auto bad = analyze_layout(p, {}, {1.5, 10});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "max_edit_ratio must be in the range [0.0, 1.0]");
  // A record of a pair of other sizes is refused.
  const Page taller = page(w, {{0, w, lines(1000, h + 1)}});
  EXPECT_FALSE(layout_residual_mask(pair_of(a, taller), analyze(p), {}));
}

TEST(Layout, SizesThatDifferInHeightAndEmptyCanvases) {
  const std::size_t w = 80;
  // A paragraph removed: the current capture is shorter.
  const Page a = page(w, {{0, 20, lines(1000, 150)}, {20, w, lines(5000, 150)}});
  const Page b = page(w, {{0, 20, lines(1000, 140)}, {20, w, without(lines(5000, 150), 70, 10)}});
  const LayoutRecord r = analyze(pair_of(a, b));
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{deleted(140, 10, 0, 20), deleted(70, 10, 20, w)}));
  // Zero-height and zero-width pairs.
  const Page e{w, 0, {}};
  EXPECT_EQ(analyze(pair_of(e, e)).verdict, LayoutVerdict::Unchanged);
  const Page z{0, 5, {}};
  EXPECT_EQ(analyze(pair_of(z, z)).verdict, LayoutVerdict::Unchanged);
  const LayoutRecord grown = analyze(pair_of(e, a));
  EXPECT_EQ(grown.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(grown), (std::vector<ColumnBand>{inserted(0, 150, 0, w)}));
}

TEST(Layout, DiffImagePaintsInsertedRowsOnlyOverTheBandAndTheResidualAsChanges) {
  const std::size_t w = 50, s = 10, h = 60;
  const Page a = page(w, {{0, s, lines(1000, h)}, {s, w, lines(5000, h)}});
  Page b = page(w, {{0, s, lines(1000, h)}, {s, w, fit(with_banner(lines(5000, h), 20, 3), h)}});
  fill(b, 2, 6, 40, 44, {0, 0, 0});
  const ImagePair p = pair_of(a, b);
  const LayoutRecord r = analyze(p);
  DiffOptions o;
  o.diff_color_alt = Rgb{0, 255, 0};
  auto img = render_layout_diff(p, r, o);
  ASSERT_TRUE(img);
  auto at = [&](std::size_t x, std::size_t y) {
    const uint8_t* q = img->data() + (y * w + x) * 4;
    return Rgb{q[0], q[1], q[2]};
  };
  EXPECT_EQ(at(s, 20), (Rgb{255, 0, 0}));       // inserted row inside the band
  EXPECT_EQ(at(w - 1, 22), (Rgb{255, 0, 0}));
  EXPECT_NE(at(s - 1, 20), (Rgb{255, 0, 0}));   // the sidebar beside it is not painted
  EXPECT_EQ(at(3, 41), (Rgb{0, 255, 0}));        // the real change, darker in the current image
  EXPECT_NE(at(s, 30), (Rgb{255, 0, 0}));        // moved rows are grey
  const uint8_t* q = img->data() + (30 * w + s) * 4;
  EXPECT_TRUE(q[0] == q[1] && q[1] == q[2]);
  // The same answers with one worker thread.
  par::ThreadLimit one(1);
  const LayoutRecord again = analyze(p);
  EXPECT_EQ(again.regions, r.regions);
  EXPECT_EQ(render_layout_diff(p, again, o).value(), *img);
}

TEST(AnchoredScript, PairsTheRowsBetweenRowsThatOccurOnceOnEachSide) {
  auto keys = [](std::vector<uint32_t> v) { return std::vector<RowKey>(v.begin(), v.end()); };
  const auto a = keys(lines(100, 60));
  // 5 rows inserted at 20, and rows 30..39 (current 35..44) slightly different: replaced, not moved.
  auto c = with_banner(lines(100, 60), 20, 5);
  for (std::size_t i = 35; i < 45; ++i) c[i] += 1000;
  const auto b = keys(c);
  auto script = anchored_script(a, b, 5);
  ASSERT_TRUE(script);
  const AlignmentRecord r = record_from_script(*script, a, b);
  EXPECT_EQ(r.bands, (std::vector<BandRecord>{{20, 5, false}}));
  EXPECT_EQ(r.changed_rows, 10u);
  EXPECT_EQ(r.segments[2], (SegmentRecord{20, 25, 10, SegmentKind::Equal}));
  EXPECT_EQ(r.segments[3], (SegmentRecord{30, 35, 10, SegmentKind::Replace}));
  // Every baseline row and every current row is accounted for.
  std::size_t nb = 0, nc = 0;
  for (const SegmentRecord& s : r.segments) {
    if (s.kind != SegmentKind::Insert) nb += s.len;
    if (s.kind != SegmentKind::Delete) nc += s.len;
  }
  EXPECT_EQ(nb, a.size());
  EXPECT_EQ(nc, b.size());
  // More moved rows than allowed, no row occurring once on both sides, or mostly differing pairs: none.
  EXPECT_FALSE(anchored_script(a, b, 4));
  EXPECT_FALSE(anchored_script(keys({7, 7, 7}), keys({7, 7}), 10));
  auto mostly = lines(100, 60);
  for (std::size_t i = 5; i < 40; ++i) mostly[i] += 1000;
  EXPECT_FALSE(anchored_script(a, keys(mostly), 10));
}

TEST(Layout, SlightlyRedrawnRowsBeyondTheBudgetStillShiftWithoutResidual) {
  // A chart in the pane is drawn a few levels lighter after the move, in more rows than the budget allows the
  // search to pair as changed; below the threshold, those are not changes.
  const std::size_t w = 80, s = 20, h = 200;
  const Page a = page(w, {{0, s, lines(1000, h)}, {s, w, lines(5000, h)}});
  Page b = page(w, {{0, s, lines(1000, h)}, {s, w, fit(with_banner(lines(5000, h), 30, 12), h)}});
  for (std::size_t y = 60; y < 130; ++y)
    for (std::size_t x = s; x < w; ++x) b.px[(y * w + x) * 4] ^= 1;
  const ImagePair p = pair_of(a, b);
  EXPECT_FALSE(search_edit_runs(band_row_keys(p.baseline, w, h, s, w), band_row_keys(p.current, w, h, s, w),
                                edit_budget(h, h, {})));
  const LayoutRecord r = analyze(p);
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(30, 12, s, w), deleted(h, 12, s, w)}));
}

TEST(Layout, BlankColumnsJoinABandOnlyInsideItOrTowardsTheCanvasEdge) {
  // Sidebar, a blank gap, the pane with a blank gutter inside, a blank margin to the right edge.
  const std::size_t w = 120, h = 120;
  auto blank = std::vector<uint32_t>(h, 0);
  auto stripes = [&](std::vector<uint32_t> left, std::vector<uint32_t> right) {
    return page(w, {{0, 30, lines(1000, h)}, {30, 40, blank}, {40, 70, left}, {70, 75, blank}, {75, 110, right},
                    {110, w, blank}});
  };
  const Page a = stripes(lines(5000, h), lines(7000, h));
  const Page b = stripes(fit(with_banner(lines(5000, h), 20, 8), h), fit(with_banner(lines(7000, h), 20, 8), h));
  const LayoutRecord r = analyze(pair_of(a, b));
  EXPECT_EQ(r.verdict, LayoutVerdict::Shifted);
  EXPECT_EQ(column_bands(r), (std::vector<ColumnBand>{inserted(20, 8, 40, w), deleted(h, 8, 40, w)}));
}
