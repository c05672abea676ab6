#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image_io/png.hpp"
#include "ssim/ssim.hpp"
#include "verdict/steps.hpp"
#include "verdict/verdict.hpp"

using namespace qf;

namespace {

constexpr std::size_t W = 64;

// One row of a page per id: 0 is a blank row, any other id a row of its own (dark marks where its bits say).
Bytes page(const std::vector<uint32_t>& ids, std::size_t w = W) {
  Bytes out(ids.size() * w * 4, 255);
  for (std::size_t y = 0; y < ids.size(); ++y) {
    std::mt19937 rng(ids[y]);
    for (std::size_t x = 0; ids[y] != 0 && x < w; ++x)
      if (rng() % 3 == 0) std::memset(out.data() + (y * w + x) * 4, 30, 3);
  }
  return out;
}

// Column stripes [x0, x1) of a page, each with its own rows.
struct Stripe {
  std::size_t x0, x1;
  std::vector<uint32_t> ids;
};
Bytes striped(std::size_t w, std::size_t h, const std::vector<Stripe>& stripes) {
  Bytes out(w * h * 4, 255);
  for (const Stripe& s : stripes) {
    const Bytes rows = page(s.ids, w);
    for (std::size_t y = 0; y < h && y < s.ids.size(); ++y)
      std::memcpy(out.data() + (y * w + s.x0) * 4, rows.data() + (y * w + s.x0) * 4, (s.x1 - s.x0) * 4);
  }
  return out;
}

std::vector<uint32_t> lines(uint32_t first, std::size_t count) {
  std::vector<uint32_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = first + static_cast<uint32_t>(i);
  return v;
}

// `ids` with `block` inserted before row `at`, cut to the first `keep` rows when given.
std::vector<uint32_t> inserted(std::vector<uint32_t> ids, std::size_t at, const std::vector<uint32_t>& block,
                               std::size_t keep = 0) {
  ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(at), block.begin(), block.end());
  if (keep) ids.resize(keep);
  return ids;
}

ImagePair pair_of(const Bytes& b, std::size_t bh, const Bytes& c, std::size_t ch, std::size_t bw = W,
                  std::size_t cw = 0) {
  auto p = make_image_pair(b, bw, bh, c, cw ? cw : bw, ch);
  EXPECT_TRUE(p.ok());
  return std::move(*p);
}

Verdict verdict(const ImagePair& p, const VerdictOptions& o = {}) {
  auto v = verdict_of_pair(p, o);
  EXPECT_TRUE(v.ok()) << (v.ok() ? "" : v.error().message);
  return std::move(*v);
}

VerdictOptions allowing_no_pixels() {
  VerdictOptions o;
  o.max_diff_pixels = 0;
  return o;
}

TEST(Verdict, SamePixelsAreUnchangedWithoutCounting) {
  const Bytes a = page(lines(1, 40));
  const Verdict v = verdict(pair_of(a, 40, a, 40));
  EXPECT_EQ(v.status, VerdictStatus::Unchanged);
  EXPECT_TRUE(v.passed);
  EXPECT_EQ(v.diff_pixels, 0u);
  EXPECT_EQ(v.ssim, 1.0);
  EXPECT_TRUE(v.clusters.empty());
  EXPECT_FALSE(v.shifted_rows);
}

TEST(Verdict, ChangedPixelsAreCountedAndClustered) {
  const Bytes a = page(lines(1, 40));
  Bytes b = a;
  for (std::size_t y = 10; y < 14; ++y) std::memset(b.data() + (y * W + 20) * 4, 0, 4 * 8);  // 4 x 8 black
  const Verdict v = verdict(pair_of(a, 40, b, 40), allowing_no_pixels());
  EXPECT_EQ(v.status, VerdictStatus::Changed);
  EXPECT_FALSE(v.passed);
  EXPECT_GT(v.diff_pixels, 0u);
  EXPECT_LE(v.diff_pixels, 32u);
  EXPECT_DOUBLE_EQ(v.diff_ratio, static_cast<double>(v.diff_pixels) / (W * 40));
  ASSERT_EQ(v.clusters.size(), 1u);
  EXPECT_LE(v.clusters[0].x, 20u);
  EXPECT_GE(v.clusters[0].x + v.clusters[0].width, 28u);
  EXPECT_LT(v.ssim, 1.0);
  // The engine's own SSIM of the same canvases.
  auto p = pair_of(a, 40, b, 40);
  EXPECT_EQ(v.ssim, *ssim_rgba(p.baseline, p.current, W, 40));
}

TEST(Verdict, RowsInsertedAreAShiftWithFullWidthBands) {
  const auto ids = lines(1, 60);
  const Bytes a = page(ids), b = page(inserted(ids, 20, lines(500, 5)));
  const Verdict v = verdict(pair_of(a, 60, b, 65), allowing_no_pixels());
  EXPECT_EQ(v.status, VerdictStatus::Shifted);
  EXPECT_FALSE(v.passed);
  ASSERT_EQ(v.bands.size(), 1u);
  EXPECT_EQ(v.bands[0], (VerdictBand{false, 20, 5, 0, W, false}));
  EXPECT_EQ(v.ssim, 1.0);  // the matched rows are the same
  VerdictOptions allow = allowing_no_pixels();
  allow.allow_shift = true;
  EXPECT_TRUE(verdict(pair_of(a, 60, b, 65), allow).passed);
}

TEST(Verdict, SizesThatDifferWithoutAShiftAreSizeChanged) {
  const Bytes a = page(lines(1, 30), 40), b = page(lines(100, 30), 50);
  const Verdict v = verdict(pair_of(a, 30, b, 30, 40, 50));
  EXPECT_EQ(v.status, VerdictStatus::SizeChanged);
  EXPECT_FALSE(v.passed);
  EXPECT_EQ(v.width, 50u);
  EXPECT_EQ(v.baseline_width, 40u);
  EXPECT_FALSE(v.clusters.empty());
}

TEST(Verdict, ImagesWithoutPixelsHaveNoPicture) {
  VerdictOptions o;
  o.diff = DiffRequest::Always;
  o.thumbnails = 16;
  const Verdict same = verdict(pair_of(Bytes(), 0, Bytes(), 0, 0), o);
  EXPECT_EQ(same.status, VerdictStatus::Unchanged);
  EXPECT_FALSE(same.diff_png || same.baseline_thumbnail || same.current_thumbnail);
  const Bytes a = page(lines(1, 8));
  const Verdict gone = verdict(pair_of(a, 8, Bytes(), 0), o);
  EXPECT_EQ(gone.status, VerdictStatus::SizeChanged);
  EXPECT_TRUE(gone.diff_png && gone.baseline_thumbnail);
  EXPECT_FALSE(gone.current_thumbnail);
}

TEST(Verdict, DiffImageOnRequest) {
  const Bytes a = page(lines(1, 20));
  Bytes b = a;
  for (std::size_t y = 4; y < 8; ++y) std::memset(b.data() + (y * W + 4) * 4, 0, 4 * 4);
  VerdictOptions o;
  o.diff = DiffRequest::Changes;
  EXPECT_FALSE(verdict(pair_of(a, 20, a, 20), o).diff_png);
  const Verdict v = verdict(pair_of(a, 20, b, 20), o);
  ASSERT_TRUE(v.diff_png);
  auto image = decode_png(*v.diff_png);
  ASSERT_TRUE(image.ok());
  EXPECT_EQ(image->width, W);
  EXPECT_EQ(image->height, 20u);
}

// ---- the pair as given ----------------------------------------------------------------------------------------

VerdictImage png_image(const Bytes& file) { return {file, true, 0, 0}; }
VerdictImage rgba_image(const Bytes& px, std::size_t w, std::size_t h) { return {px, false, w, h}; }

TEST(VerdictInput, PngFilesAndPixelsGiveTheSameVerdict) {
  const Bytes a = page(lines(1, 30)), b = page(inserted(lines(1, 30), 3, lines(90, 4), 30));
  auto pa = encode_png(a, W, 30), pb = encode_png(b, W, 30);
  ASSERT_TRUE(pa.ok() && pb.ok());
  auto from_png = verdict_of(png_image(*pa), png_image(*pb), {});
  auto from_rgba = verdict_of(rgba_image(a, W, 30), rgba_image(b, W, 30), {});
  ASSERT_TRUE(std::holds_alternative<Verdict>(from_png) && std::holds_alternative<Verdict>(from_rgba));
  const Verdict &x = std::get<Verdict>(from_png), &y = std::get<Verdict>(from_rgba);
  EXPECT_EQ(x.status, y.status);
  EXPECT_EQ(x.diff_pixels, y.diff_pixels);
  EXPECT_EQ(x.ssim, y.ssim);
  EXPECT_EQ(x.bands, y.bands);
  // The same file twice is decoded once and unchanged.
  auto same = verdict_of(png_image(*pa), png_image(*pa), {});
  ASSERT_TRUE(std::holds_alternative<Verdict>(same));
  EXPECT_EQ(std::get<Verdict>(same).status, VerdictStatus::Unchanged);
}

TEST(VerdictInput, ErrorsNameTheSide) {
  const Bytes a = page(lines(1, 10));
  auto pa = encode_png(a, W, 10);
  ASSERT_TRUE(pa.ok());
  const Bytes broken(pa->begin(), pa->begin() + 40);
  auto e = verdict_of(png_image(*pa), png_image(broken), {});
  ASSERT_TRUE(std::holds_alternative<VerdictError>(e));
  EXPECT_EQ(std::get<VerdictError>(e).failed_side, "current");
  // Both broken: the baseline's error.
  e = verdict_of(png_image(broken), png_image(broken), {});
  ASSERT_TRUE(std::holds_alternative<VerdictError>(e));
  EXPECT_EQ(std::get<VerdictError>(e).failed_side, "baseline");
  // A buffer that does not hold its size.
  e = verdict_of(rgba_image(a, W, 10), rgba_image(Bytes(a.begin(), a.end() - 4), W, 10), {});
  ASSERT_TRUE(std::holds_alternative<VerdictError>(e));
  EXPECT_EQ(std::get<VerdictError>(e).failed_side, "current");
}

TEST(VerdictInput, ImagesOverTheLimitAreRefusedBeforeDecoding) {
  // A header that claims 100000 x 100000 pixels and nothing else: refused by its size, not by its data.
  auto tiny = encode_png(page(lines(1, 2)), W, 2);
  ASSERT_TRUE(tiny.ok());
  Bytes huge = *tiny;
  for (std::size_t at : {16u, 20u}) {
    huge[at] = 0;
    huge[at + 1] = 0x01;
    huge[at + 2] = 0x86;
    huge[at + 3] = 0xa0;
  }
  auto e = verdict_of(png_image(*tiny), png_image(huge), {});
  ASSERT_TRUE(std::holds_alternative<VerdictError>(e));
  EXPECT_EQ(std::get<VerdictError>(e).failed_side, "current");
  EXPECT_NE(std::get<VerdictError>(e).error.message.find("max_pixels"), std::string::npos);
  VerdictOptions small;
  small.max_pixels = W * 2 - 1;
  e = verdict_of(rgba_image(page(lines(1, 2)), W, 2), rgba_image(page(lines(1, 2)), W, 2), small);
  ASSERT_TRUE(std::holds_alternative<VerdictError>(e));
  EXPECT_EQ(std::get<VerdictError>(e).failed_side, "baseline");
}

TEST(VerdictInput, IgnoredRegionsTakeTheBaselinesPixels) {
  const Bytes a = page(lines(1, 20));
  Bytes b = a;
  for (std::size_t y = 4; y < 6; ++y) std::memset(b.data() + (y * W + 10) * 4, 0, 4 * 4);
  VerdictOptions o;
  o.thumbnails = 8;
  o.ignore_rects = {{8, 3, 10, 4}};
  auto v = verdict_of(rgba_image(a, W, 20), rgba_image(b, W, 20), o);
  ASSERT_TRUE(std::holds_alternative<Verdict>(v));
  EXPECT_EQ(std::get<Verdict>(v).status, VerdictStatus::Unchanged);
  // The current image's thumbnail shows it as given, not with the baseline's pixels.
  EXPECT_NE(*std::get<Verdict>(v).current_thumbnail, *std::get<Verdict>(v).baseline_thumbnail);

  Bytes mask(W * 20, 0);
  for (std::size_t y = 4; y < 6; ++y) std::memset(mask.data() + y * W + 10, 1, 4);
  VerdictOptions m;
  m.has_mask = true;
  m.ignore_mask = mask;
  m.mask_width = W;
  m.mask_height = 20;
  v = verdict_of(rgba_image(a, W, 20), rgba_image(b, W, 20), m);
  ASSERT_TRUE(std::holds_alternative<Verdict>(v));
  EXPECT_EQ(std::get<Verdict>(v).status, VerdictStatus::Unchanged);
  std::memset(mask.data() + 4 * W + 10, 0, 4);  // a row of the change left uncovered
  v = verdict_of(rgba_image(a, W, 20), rgba_image(b, W, 20), m);
  EXPECT_EQ(std::get<Verdict>(v).status, VerdictStatus::Changed);
  m.mask_height = 19;  // not the canvas
  m.ignore_mask = ByteView(mask).first(W * 19);
  EXPECT_TRUE(std::holds_alternative<VerdictError>(verdict_of(rgba_image(a, W, 20), rgba_image(b, W, 20), m)));
}

TEST(VerdictOptions, RangesComeFromTheDeclarations) {
  VerdictOptions o;
  EXPECT_FALSE(check_verdict_options(o));
  o.threshold = 1.5;
  EXPECT_EQ(check_verdict_options(o)->message, "threshold must be in the range [0.0, 1.0]");
  o = {};
  o.max_diff_ratio = -0.1;
  EXPECT_EQ(check_verdict_options(o)->message, "max_diff_ratio must be in the range [0.0, 1.0]");
  o = {};
  o.max_pixels = 0;
  EXPECT_EQ(check_verdict_options(o)->message, "max_pixels must be >= 1");
  o = {};
  o.thumbnails = 0;
  EXPECT_EQ(check_verdict_options(o)->message, "thumbnails must be >= 1");
  o = {};
  o.threshold = std::nan("");
  EXPECT_TRUE(check_verdict_options(o));
  // The record's defaults are the table's.
  const VerdictOptions d;
  EXPECT_EQ(d.threshold, std::get<double>(verdict_option("threshold").default_value));
  EXPECT_EQ(d.max_pixels, 100'000'000u);
  EXPECT_FALSE(d.max_diff_pixels || d.max_diff_ratio || d.thumbnails);
}

}  // namespace

namespace {

// ---- the rules of the product layer ---------------------------------------------------------------------------

TEST(VerdictRules, TolerancesGivenAloneDecideAndNoneGivenFails) {
  const Bytes a = page(lines(1, 40));
  Bytes b = a;
  for (std::size_t y = 10; y < 14; ++y) std::memset(b.data() + (y * W + 20) * 4, 0, 4 * 8);
  const ImagePair p = pair_of(a, 40, b, 40);
  const Verdict none = verdict(p);
  ASSERT_EQ(none.status, VerdictStatus::Changed);
  EXPECT_FALSE(none.passed);
  VerdictOptions o;
  o.max_diff_ratio = 0.05;  // on its own: no pixel count applies
  EXPECT_TRUE(verdict(p, o).passed);
  o.max_diff_pixels = none.diff_pixels - 1;  // both given: both must hold
  EXPECT_FALSE(verdict(p, o).passed);
  o.max_diff_pixels = none.diff_pixels;
  EXPECT_TRUE(verdict(p, o).passed);
  o.max_diff_ratio = 0.0;
  EXPECT_FALSE(verdict(p, o).passed);
  // A shifted pair passes by allow_shift, and not without it when no tolerance is given.
  const auto ids = lines(1, 60);
  const ImagePair shifted = pair_of(page(ids), 60, page(inserted(ids, 20, lines(500, 5))), 65);
  EXPECT_FALSE(verdict(shifted).passed);
  VerdictOptions allow;
  allow.allow_shift = true;
  EXPECT_TRUE(verdict(shifted, allow).passed);
}

TEST(VerdictRules, PaneShiftScoresTheBaselineAgainstTheShiftUndone) {
  // A sidebar that stays, beside a pane whose rows a banner pushes down, in a capture of fixed height.
  const std::size_t w = 120, side = 30, h = 150;
  const auto pane = lines(5000, h);
  const Bytes a = striped(w, h, {{0, side, lines(1000, h)}, {side, w, pane}});
  const Bytes b = striped(w, h, {{0, side, lines(1000, h)}, {side, w, inserted(pane, 40, lines(9000, 12), h)}});
  const ImagePair p = pair_of(a, h, b, h, w);
  const Verdict v = verdict(p);
  ASSERT_EQ(v.status, VerdictStatus::Shifted);
  EXPECT_EQ(v.bands, (std::vector<VerdictBand>{{false, 40, 12, side, w, false}, {true, h, 12, side, w, true}}));
  EXPECT_EQ(v.ssim, 1.0);
  EXPECT_LT(*ssim_rgba(p.baseline, p.current, w, h), 0.9);

  // With a real change beside the shift the score is that of the change alone: the undone image differs from
  // the baseline only there.
  Bytes c = b;
  for (std::size_t y = 100; y < 104; ++y) std::memset(c.data() + (y * w + 5) * 4, 0, 4 * 10);
  const ImagePair q = pair_of(a, h, c, h, w);
  const Verdict changed = verdict(q);
  ASSERT_EQ(changed.status, VerdictStatus::Changed);
  ASSERT_TRUE(changed.shifted_rows);
  Bytes undone = a;
  for (std::size_t y = 100; y < 104; ++y) std::memset(undone.data() + (y * w + 5) * 4, 0, 4 * 10);
  EXPECT_EQ(changed.ssim, *ssim_rgba(a, undone, w, h));
}

TEST(VerdictRules, ABlockSplitByRowsThatOnlyHappenToMatchIsOneBand) {
  // A banner with blank rows inside, inserted where the page has blank rows: an alignment may pair the banner's
  // blank rows with the page's and split the banner around them.
  const std::vector<uint32_t> base = {1, 2, 3, 4, 0, 0, 5, 6, 7, 8, 9, 10};
  const std::vector<uint32_t> banner = {900, 901, 0, 0, 902};
  const auto cur = inserted(base, 4, banner);  // 1 2 3 4 | 900 901 0 0 902 | 0 0 5 ...
  const ImagePair p = pair_of(page(base), base.size(), page(cur), cur.size());
  const std::vector<SegmentRecord> split = {
      {0, 0, 4, SegmentKind::Equal},  {4, 4, 2, SegmentKind::Insert},  {4, 6, 2, SegmentKind::Equal},
      {6, 8, 3, SegmentKind::Insert}, {6, 11, 6, SegmentKind::Equal}};
  const auto merged = verdict::merge_split_blocks(split, p, 0, W);
  EXPECT_EQ(merged, (std::vector<SegmentRecord>{{0, 0, 4, SegmentKind::Equal},
                                                {4, 4, 5, SegmentKind::Insert},
                                                {4, 9, 8, SegmentKind::Equal}}));
  // Deleted the same way: the banner leaves.
  const ImagePair q = pair_of(page(cur), cur.size(), page(base), base.size());
  const std::vector<SegmentRecord> split_deleted = {
      {0, 0, 4, SegmentKind::Equal},  {4, 4, 2, SegmentKind::Delete},  {6, 4, 2, SegmentKind::Equal},
      {8, 6, 3, SegmentKind::Delete}, {11, 6, 6, SegmentKind::Equal}};
  EXPECT_EQ(verdict::merge_split_blocks(split_deleted, q, 0, W),
            (std::vector<SegmentRecord>{{0, 0, 4, SegmentKind::Equal},
                                        {4, 4, 5, SegmentKind::Delete},
                                        {9, 4, 8, SegmentKind::Equal}}));
  // Rows that do not repeat after the block are content of their own: nothing merges.
  const std::vector<uint32_t> other = {1, 2, 3, 4, 0, 0, 5, 6, 7, 8, 9, 10};
  auto lone = inserted(other, 4, {900, 901, 0, 0, 902});
  lone[9] = 77;
  lone[10] = 78;  // the page's blank rows replaced: the banner's blank rows now match nothing after it
  const ImagePair r = pair_of(page(other), other.size(), page(lone), lone.size());
  EXPECT_EQ(verdict::merge_split_blocks(split, r, 0, W), split);
  // End to end: the alignment's own answer keeps the split, the verdict reports one band.
  auto engine = align_rows(p, {}, {});
  ASSERT_TRUE(engine.ok());
  EXPECT_EQ(engine->bands, (std::vector<BandRecord>{{4, 2, false}, {8, 3, false}}));
  const Verdict v = verdict(p);
  ASSERT_EQ(v.status, VerdictStatus::Shifted);
  EXPECT_EQ(v.bands, (std::vector<VerdictBand>{{false, 4, 5, 0, W, false}}));
}

TEST(VerdictRules, RowsPushedOutOfAFixedHeightCaptureAreAtTheEdge) {
  const auto ids = lines(1, 60);
  // Inserted above, pushed out at the bottom.
  const Verdict bottom = verdict(pair_of(page(ids), 60, page(inserted(ids, 20, lines(500, 5), 60)), 60));
  ASSERT_EQ(bottom.status, VerdictStatus::Shifted);
  EXPECT_EQ(bottom.bands, (std::vector<VerdictBand>{{false, 20, 5, 0, W, false}, {true, 60, 5, 0, W, true}}));
  // A capture of the page's end: inserted below, pushed out at the top.
  auto longer = inserted(ids, 40, lines(500, 5));
  const Verdict top = verdict(pair_of(page(ids), 60, page({longer.begin() + 5, longer.end()}), 60));
  ASSERT_EQ(top.status, VerdictStatus::Shifted);
  EXPECT_EQ(top.bands, (std::vector<VerdictBand>{{true, 0, 5, 0, W, true}, {false, 35, 5, 0, W, false}}));
  // Removed for real: a taller page losing its last rows, or rows deleted inside the page.
  const Verdict cut = verdict(pair_of(page(ids), 60, page({ids.begin(), ids.begin() + 55}), 55));
  ASSERT_EQ(cut.status, VerdictStatus::Shifted);
  EXPECT_EQ(cut.bands, (std::vector<VerdictBand>{{true, 55, 5, 0, W, false}}));
  auto pulled = ids;
  pulled.erase(pulled.begin() + 10, pulled.begin() + 15);
  pulled.insert(pulled.end(), {700, 701, 702, 703, 704});
  const Verdict inside = verdict(pair_of(page(ids), 60, page(pulled), 60));
  ASSERT_EQ(inside.status, VerdictStatus::Shifted);
  EXPECT_EQ(inside.bands, (std::vector<VerdictBand>{{true, 10, 5, 0, W, false}, {false, 55, 5, 0, W, false}}));
}

}  // namespace
