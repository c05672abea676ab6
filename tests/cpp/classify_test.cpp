#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "classify/classify.hpp"
#include "classify/shifted.hpp"
#include "core/error.hpp"

using namespace qf;

namespace {

constexpr uint32_t WHITE = 0xffffffff, BLACK = 0xff000000, RED = 0xff0000ff, BLUE = 0xffff0000, GREEN = 0xff00a000;

uint32_t rgba(uint8_t r, uint8_t g, uint8_t b) { return 0xff000000u | uint32_t{b} << 16 | uint32_t{g} << 8 | r; }

struct Canvas {
  std::size_t w, h;
  std::vector<uint32_t> px;
  Bytes bytes;
  Canvas(std::size_t w_, std::size_t h_, uint32_t fill = WHITE) : w(w_), h(h_), px(w_ * h_, fill) {}
  Canvas& rect(std::size_t x, std::size_t y, std::size_t rw, std::size_t rh, uint32_t c) {
    for (std::size_t v = y; v < y + rh && v < h; ++v)
      for (std::size_t u = x; u < x + rw && u < w; ++u) px[v * w + u] = c;
    return *this;
  }
  // A block of pseudo-random greys (like a photo or dense text), the same for the same seed and size.
  Canvas& texture(std::size_t x, std::size_t y, std::size_t rw, std::size_t rh, uint32_t seed) {
    for (std::size_t v = 0; v < rh; ++v)
      for (std::size_t u = 0; u < rw; ++u) {
        uint32_t s = seed * 2654435761u ^ static_cast<uint32_t>(v * 7919 + u * 104729);
        s ^= s >> 13, s *= 0x5bd1e995u, s ^= s >> 15;
        const auto g = static_cast<uint8_t>(s & 0xff);
        if (x + u < w && y + v < h) px[(y + v) * w + x + u] = rgba(g, g, g);
      }
    return *this;
  }
  // Glyph-like strokes in `ink` on whatever is there, with anti-aliased sides blended towards white.
  Canvas& strokes(std::size_t x, std::size_t y, std::size_t rw, std::size_t rh, uint32_t ink) {
    const auto blend = [&](uint8_t a) {
      uint32_t out = 0xff000000u;
      for (int s = 0; s < 24; s += 8) {
        const int c = static_cast<int>((ink >> s) & 0xff);
        out |= static_cast<uint32_t>((c * a + 255 * (255 - a) + 127) / 255) << s;
      }
      return out;
    };
    // Short strokes at pseudo-random places, as glyphs are: no small move maps them onto themselves.
    for (std::size_t v = y; v + 3 <= y + rh; v += 3)
      for (std::size_t u = x; u + 3 <= x + rw; u += 3) {
        uint64_t k = (uint64_t{u} << 32 | v) + 0x9e3779b97f4a7c15u;
        k = (k ^ (k >> 30)) * 0xbf58476d1ce4e5b9u;
        k = (k ^ (k >> 27)) * 0x94d049bb133111ebu;
        if ((k ^ (k >> 31)) % 3 == 0) continue;
        rect(u, v, 2, 2, ink);
        rect(u + 2, v, 1, 2, blend(96));
      }
    return *this;
  }
  RgbaView view() {
    bytes.assign(reinterpret_cast<const uint8_t*>(px.data()), reinterpret_cast<const uint8_t*>(px.data()) + px.size() * 4);
    return {bytes, w, h};
  }
};

ChangeClass classify(Canvas& b, Canvas& c, PixelBox box, const ClassifyOptions& o = {}) {
  return classify_change(b.view(), c.view(), box, o);
}

}  // namespace

TEST(ClassifyFlat, ContentOnAFlatBackgroundIsAddedOrRemoved) {
  Canvas plain(120, 80), with(120, 80);
  with.strokes(30, 20, 40, 24, BLACK);
  const PixelBox box{22, 12, 56, 40};
  EXPECT_EQ(classify(plain, with, box), ChangeClass{ChangeKind::Added});
  EXPECT_EQ(classify(with, plain, box), ChangeClass{ChangeKind::Removed});
  // On a coloured page as much as on white: the background is the frame's colour, not white.
  Canvas tinted(120, 80, rgba(240, 236, 250)), tinted_with(120, 80, rgba(240, 236, 250));
  tinted_with.strokes(30, 20, 40, 24, BLUE);
  EXPECT_EQ(classify(tinted, tinted_with, box).kind, ChangeKind::Added);
}

TEST(ClassifyFlat, ATexturedBackgroundIsNeverFlat) {
  Canvas b(120, 80), c(120, 80);
  b.texture(0, 0, 120, 80, 3);
  c.texture(0, 0, 120, 80, 3).rect(40, 30, 30, 10, BLACK);
  EXPECT_EQ(classify(b, c, {32, 22, 46, 26}).kind, ChangeKind::Content);
}

TEST(ClassifyFlat, TheFlatShareIsABoundOnStrayPixels) {
  // 20 x 20 box: 0.5 % is two pixels. Two stray pixels in the baseline keep it flat, a third does not.
  const PixelBox box{10, 10, 20, 20};
  for (int strays : {2, 3}) {
    Canvas b(40, 40), c(40, 40);
    c.strokes(14, 14, 12, 12, BLACK);
    for (int k = 0; k < strays; ++k) {
      b.rect(12 + 7 * k, 27, 1, 1, BLACK);
      c.rect(12 + 7 * k, 27, 1, 1, BLACK);
    }
    EXPECT_EQ(classify(b, c, box).kind, strays == 2 ? ChangeKind::Added : ChangeKind::Content) << strays;
  }
  // A faint tint within the flat tolerance still reads as background.
  Canvas b(40, 40), c(40, 40);
  b.rect(12, 12, 16, 16, rgba(235, 235, 235));
  c.rect(12, 12, 16, 16, rgba(235, 235, 235)).strokes(14, 14, 12, 12, BLACK);
  EXPECT_EQ(classify(b, c, box).kind, ChangeKind::Added);
}

TEST(ClassifyRecolour, SameShapesInOtherColours) {
  Canvas b(120, 80), c(120, 80);
  b.strokes(30, 20, 40, 24, BLACK);
  c.strokes(30, 20, 40, 24, RED);
  const PixelBox box{22, 12, 56, 40};
  EXPECT_EQ(classify(b, c, box).kind, ChangeKind::Recoloured);
  // A button whose fill changed under the same white label.
  Canvas bb(120, 80), bc(120, 80);
  bb.rect(20, 20, 60, 30, BLUE).rect(30, 30, 30, 4, WHITE);
  bc.rect(20, 20, 60, 30, GREEN).rect(30, 30, 30, 4, WHITE);
  EXPECT_EQ(classify(bb, bc, {16, 16, 68, 38}).kind, ChangeKind::Recoloured);
  // A flat area that changed colour as a whole (a box clipped to the image, no frame of background left).
  Canvas fb(30, 30, BLUE), fc(30, 30, GREEN);
  EXPECT_EQ(classify(fb, fc, {0, 0, 30, 30}).kind, ChangeKind::Recoloured);
}

TEST(ClassifyRecolour, ManyToOneMapsPassOneToManyDoNot) {
  const PixelBox box{6, 6, 108, 48};
  // Red and blue shapes apart from each other both become green: one map explains it.
  Canvas b(120, 60), c(120, 60);
  b.rect(10, 10, 40, 40, RED).rect(70, 10, 40, 40, BLUE);
  c.rect(10, 10, 40, 40, GREEN).rect(70, 10, 40, 40, GREEN);
  EXPECT_EQ(classify(b, c, box).kind, ChangeKind::Recoloured);
  // One red square becomes half green, half blue: red would need two images, and a new edge appears.
  Canvas b2(120, 60), c2(120, 60);
  b2.rect(10, 10, 100, 40, RED);
  c2.rect(10, 10, 50, 40, GREEN).rect(60, 10, 50, 40, BLUE);
  EXPECT_EQ(classify(b2, c2, box).kind, ChangeKind::Content);
  // Same edges, but where one colour had a single image on one side of the box and another on the other side
  // (two labels with the same colour recoloured differently), no one map explains the pixels.
  Canvas b3(120, 60), c3(120, 60);
  b3.rect(10, 10, 40, 40, RED).rect(70, 10, 40, 40, RED);
  c3.rect(10, 10, 40, 40, GREEN).rect(70, 10, 40, 40, BLUE);
  EXPECT_EQ(classify(b3, c3, box).kind, ChangeKind::Content);
}

TEST(ClassifyRecolour, EditedTextInTheSameColourIsNotARecolour) {
  Canvas b(120, 80), c(120, 80);
  b.strokes(30, 20, 40, 24, BLACK);
  c.strokes(30, 20, 40, 24, BLACK).rect(41, 21, 9, 5, WHITE).rect(52, 30, 3, 12, BLACK);
  EXPECT_EQ(classify(b, c, {22, 12, 56, 40}).kind, ChangeKind::Content);
}

TEST(ClassifyMove, FindsTheOffsetUpToTheSearchLimit) {
  const auto moved = [](int dx, int dy) {
    Canvas b(200, 140), c(200, 140);
    b.texture(80, 60, 30, 20, 9);
    c.texture(static_cast<std::size_t>(80 + dx), static_cast<std::size_t>(60 + dy), 30, 20, 9);
    const PixelBox box{static_cast<std::size_t>(80 + std::min(dx, 0) - 4),
                       static_cast<std::size_t>(60 + std::min(dy, 0) - 4),
                       static_cast<std::size_t>(38 + std::abs(dx)), static_cast<std::size_t>(28 + std::abs(dy))};
    return classify(b, c, box);
  };
  EXPECT_EQ(moved(5, -3), (ChangeClass{ChangeKind::Moved, 5, -3}));
  EXPECT_EQ(moved(-1, 0), (ChangeClass{ChangeKind::Moved, -1, 0}));
  EXPECT_EQ(moved(16, 16), (ChangeClass{ChangeKind::Moved, 16, 16}));
  EXPECT_EQ(moved(-16, 0), (ChangeClass{ChangeKind::Moved, -16, 0}));
  EXPECT_EQ(moved(17, 0).kind, ChangeKind::Content);
  EXPECT_EQ(moved(0, -17).kind, ChangeKind::Content);
  ClassifyOptions wider;
  wider.search = 17;
  Canvas b(200, 140), c(200, 140);
  b.texture(80, 60, 30, 20, 9);
  c.texture(97, 60, 30, 20, 9);
  EXPECT_EQ(classify(b, c, {76, 56, 55, 28}, wider), (ChangeClass{ChangeKind::Moved, 17, 0}));
}

TEST(ClassifyMove, ABoxHoldingOnlyAnEdgeOfWhatMovedIsAMove) {
  // A flat button moved 5 pixels left: its two side strips are clusters of their own, and inside each box the
  // button's colour covers a different share of the pixels before and after. The shortest explaining move wins.
  Canvas b(120, 60), c(120, 60);
  b.rect(40, 20, 40, 20, BLUE);
  c.rect(35, 20, 40, 20, BLUE);
  EXPECT_EQ(classify(b, c, {31, 16, 13, 28}), (ChangeClass{ChangeKind::Moved, -5, 0}));
  EXPECT_EQ(classify(b, c, {71, 16, 13, 28}), (ChangeClass{ChangeKind::Moved, -5, 0}));
}

TEST(ClassifyMove, ContentThatGrewOrChangedIsNotAMove) {
  // The block moved but also gained a strip of new content: more ink than a move keeps.
  Canvas b(200, 140), c(200, 140);
  b.texture(80, 60, 30, 20, 9);
  c.texture(84, 60, 30, 20, 9).texture(84, 80, 30, 8, 2);
  EXPECT_EQ(classify(b, c, {76, 56, 42, 36}).kind, ChangeKind::Content);
  // A picture swapped for another of the same size.
  Canvas b2(200, 140), c2(200, 140);
  b2.texture(80, 60, 30, 20, 9);
  c2.texture(80, 60, 30, 20, 10);
  EXPECT_EQ(classify(b2, c2, {76, 56, 38, 28}).kind, ChangeKind::Content);
}

TEST(ClassifyBorder, BoxesAtTheImageEdgesAndPastThem) {
  // A block at the top-left corner moved down along the edge; the box reaches past the image.
  Canvas b(100, 80), c(100, 80);
  b.texture(0, 0, 24, 20, 4);
  c.texture(0, 3, 24, 20, 4);
  EXPECT_EQ(classify(b, c, {0, 0, 400, 27}), (ChangeClass{ChangeKind::Moved, 0, 3}));
  // Moved up and out of the image: the rows that left are not found anywhere, which no move explains.
  Canvas b2(100, 80), c2(100, 80);
  b2.texture(10, 0, 24, 20, 4);
  c2.texture(10, 0, 24, 12, 4);
  for (std::size_t y = 0; y < 12; ++y)
    for (std::size_t x = 10; x < 34; ++x) c2.px[y * 100 + x] = b2.px[(y + 8) * 100 + x];
  EXPECT_EQ(classify(b2, c2, {6, 0, 32, 24}).kind, ChangeKind::Content);
  // Added in the bottom-right corner, the box clipped there.
  Canvas b3(100, 80), c3(100, 80);
  c3.strokes(80, 64, 20, 16, BLACK);
  EXPECT_EQ(classify(b3, c3, {76, 60, 30, 30}).kind, ChangeKind::Added);
}

TEST(ClassifyBox, DegenerateBoxesAndMismatchedImages) {
  Canvas b(10, 10), c(10, 10);
  c.rect(5, 5, 1, 1, BLACK);
  EXPECT_EQ(classify(b, c, {0, 0, 0, 5}).kind, ChangeKind::Content);   // empty
  EXPECT_EQ(classify(b, c, {10, 3, 5, 5}).kind, ChangeKind::Content);  // wholly outside
  EXPECT_EQ(classify(b, c, {0, 0, 4, 4}).kind, ChangeKind::Content);   // nothing differs inside
  // One pixel: it is its own frame, so both crops are flat in their own colour.
  EXPECT_EQ(classify(b, c, {5, 5, 1, 1}).kind, ChangeKind::Recoloured);
  EXPECT_EQ(classify(b, c, {SIZE_MAX - 2, SIZE_MAX - 2, SIZE_MAX, SIZE_MAX}).kind, ChangeKind::Content);
  Canvas small(9, 10);
  EXPECT_THROW(classify(b, small, {0, 0, 5, 5}), InternalFault);
}

TEST(ClassifyBox, LargeBoxesAreReadOnAGridAndStillClassified) {
  Canvas b(1280, 720), c(1280, 720);
  b.texture(100, 100, 600, 400, 5);
  c.texture(106, 100, 600, 400, 5);
  ClassifyOptions o;
  EXPECT_EQ(classify(b, c, {96, 96, 614, 408}, o), (ChangeClass{ChangeKind::Moved, 6, 0}));
  Canvas d(1280, 720);
  d.strokes(100, 100, 600, 400, BLACK);
  Canvas e(1280, 720);
  e.strokes(100, 100, 600, 400, RED);
  EXPECT_EQ(classify(d, e, {96, 96, 608, 408}).kind, ChangeKind::Recoloured);
  EXPECT_EQ(classify(b, d, {96, 96, 614, 408}).kind, ChangeKind::Content);
}

TEST(ClassifyElements, TheSmallestHoldingElementNamesAChange) {
  const std::vector<PixelBox> elements{
      {0, 0, 400, 300},   // page
      {20, 20, 200, 40},  // heading
      {30, 25, 60, 30},   // a span in it
      {30, 25, 60, 30},   // the same box again: the first listed wins
      {0, 0, 0, 0},       // empty boxes never hold anything
  };
  EXPECT_EQ(naming_element({32, 26, 10, 10}, elements), 2u);
  EXPECT_EQ(naming_element({28, 23, 64, 34}, elements), 2u);  // within the 2-pixel slack
  EXPECT_EQ(naming_element({27, 23, 64, 34}, elements), 1u);  // one past it
  EXPECT_EQ(naming_element({100, 100, 10, 10}, elements), 0u);
  EXPECT_EQ(naming_element({390, 290, 20, 20}, elements), std::nullopt);
  EXPECT_EQ(naming_element({32, 26, 0, 10}, elements), std::nullopt);
  const std::vector<PixelBox> huge{{SIZE_MAX - 4, SIZE_MAX - 4, SIZE_MAX, SIZE_MAX}};
  EXPECT_EQ(naming_element({SIZE_MAX - 3, SIZE_MAX - 3, 1, 1}, huge), 0u);
}

TEST(ClassifyElements, AMoveIsNamedWhereItsContentWent) {
  const PixelBox change{100, 50, 46, 30};
  EXPECT_EQ((named_part(change, {ChangeKind::Moved, 6, -4})), (PixelBox{106, 50, 40, 26}));
  EXPECT_EQ((named_part(change, {ChangeKind::Moved, -50, 0})).width, 0u);
  const PixelBox same = named_part(change, {ChangeKind::Added});
  EXPECT_EQ(same.x, 100u);
  EXPECT_EQ(same.width, 46u);
}

TEST(ClassifyShifted, TheBaselineIsReadThroughTheShiftOfEachRegion) {
  // Two columns: the left one static, the right one with a row inserted at current row 1. Pixels are tagged
  // with their image (R), row (G) and column (B).
  const std::size_t w = 2, hb = 3, hc = 4;
  const auto image = [&](uint8_t tag, std::size_t h) {
    Bytes px(w * h * 4);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        uint8_t* p = px.data() + (y * w + x) * 4;
        p[0] = tag, p[1] = static_cast<uint8_t>(y), p[2] = static_cast<uint8_t>(x), p[3] = 255;
      }
    return px;
  };
  auto pair = make_image_pair(image(1, hb), w, hb, image(2, hc), w, hc);
  ASSERT_TRUE(pair);
  LayoutRecord record;
  ColumnRegion fixed{0, 1, false, {{0, 0, 3, SegmentKind::Equal}, {3, 3, 1, SegmentKind::Insert}}, {}};
  ColumnRegion moved{1, 2, true,
                     {{0, 0, 1, SegmentKind::Replace}, {1, 1, 1, SegmentKind::Insert}, {1, 2, 2, SegmentKind::Equal}},
                     {}};
  record.regions = {fixed, moved};
  const Bytes out = baseline_in_current_rows(*pair, record);
  ASSERT_EQ(out.size(), w * hc * 4);
  const auto at = [&](std::size_t x, std::size_t y) {
    const uint8_t* p = out.data() + (y * w + x) * 4;
    return std::array<int, 2>{p[0], p[1]};  // image, row
  };
  EXPECT_EQ(at(0, 0), (std::array<int, 2>{1, 0}));
  EXPECT_EQ(at(0, 2), (std::array<int, 2>{1, 2}));
  EXPECT_EQ(at(0, 3), (std::array<int, 2>{2, 3}));  // below the baseline: the current's own row
  EXPECT_EQ(at(1, 0), (std::array<int, 2>{1, 0}));
  EXPECT_EQ(at(1, 1), (std::array<int, 2>{2, 1}));  // inserted: the current's own row
  EXPECT_EQ(at(1, 2), (std::array<int, 2>{1, 1}));  // the baseline's row 1, one row lower
  EXPECT_EQ(at(1, 3), (std::array<int, 2>{1, 2}));
  record.regions[1].segments.push_back({2, 3, 5, SegmentKind::Equal});
  EXPECT_THROW(baseline_in_current_rows(*pair, record), InternalFault);
}
