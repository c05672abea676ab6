#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "alignment/alignment.hpp"
#include "core/parallel.hpp"

using namespace qf;

namespace {

// Rows written as letters: one letter per distinct row content.
std::vector<RowKey> keys(std::string_view rows) { return {rows.begin(), rows.end()}; }

constexpr auto EQ = SegmentKind::Equal, REP = SegmentKind::Replace, INS = SegmentKind::Insert,
               DEL = SegmentKind::Delete;

SegmentRecord seg(SegmentKind kind, std::size_t b, std::size_t c, std::size_t len) { return {b, c, len, kind}; }
EditRun run(RunKind kind, std::size_t b, std::size_t c, std::size_t len) { return {b, c, len, kind}; }

AlignmentRecord align_letters(std::string_view baseline, std::string_view current) {
  auto b = keys(baseline), c = keys(current);
  auto script = search_edit_runs(b, c, b.size() + c.size());
  if (!script) throw std::runtime_error("no script within the full budget");
  return record_from_script(std::move(*script), b, c);
}

// Edit distance from the longest common subsequence, computed independently of the search.
std::size_t lcs_distance(const std::vector<RowKey>& a, const std::vector<RowKey>& b) {
  std::vector<std::vector<std::size_t>> t(a.size() + 1, std::vector<std::size_t>(b.size() + 1, 0));
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j)
      t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
  return a.size() + b.size() - 2 * t[a.size()][b.size()];
}

Bytes rgba_row(std::initializer_list<std::array<uint8_t, 4>> pixels) {
  Bytes row;
  for (auto& p : pixels) row.insert(row.end(), p.begin(), p.end());
  return row;
}

}  // namespace

// Zero-key vectors of the same hash as the interpreter's bytes hash (bytes i*7+3 of each length).
TEST(AlignmentSipHash, MatchesKnownZeroKeyVectors) {
  const std::pair<std::size_t, uint64_t> vectors[] = {
      {1, 0x486b06067755d7c9ull},  {2, 0x068a8ca3bf74c2ebull},  {3, 0x711b47561b9b33e2ull},
      {4, 0x22090e1d03fbbf1cull},  {7, 0x8a715eaaf55549aaull},  {8, 0x36c186f0aa4cdbebull},
      {9, 0x5176191e3d24cbffull},  {15, 0x19ed3f1b38f7e4e2ull}, {16, 0xd1c94d62751d7b7bull},
      {17, 0xbe5161a723042d60ull}, {31, 0xf8d992129081807bull}, {32, 0x1d94f92ad87f271dull},
      {33, 0x71e3dcba331c4dd7ull}, {63, 0x42ed5c087e0bfe5dull}, {64, 0x65134a36595a21fbull},
  };
  for (auto [n, expected] : vectors) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(siphash13(SipKey{}, data), expected) << "length " << n;
  }
}

TEST(AlignmentRowKey, TransparentPixelsHashAsZeroBytes) {
  // Colour under alpha 0 is ignored...
  EXPECT_EQ(row_key(rgba_row({{9, 8, 7, 0}, {1, 2, 3, 255}})), row_key(rgba_row({{0, 0, 0, 0}, {1, 2, 3, 255}})));
  // ...but alpha 1 is fed as stored.
  EXPECT_NE(row_key(rgba_row({{0, 0, 0, 1}})), row_key(rgba_row({{0, 0, 0, 0}})));
  // A wholly transparent row is the key of W × 4 zero bytes; an opaque row is hashed byte for byte.
  EXPECT_EQ(row_key(rgba_row({{5, 5, 5, 0}, {6, 6, 6, 0}})), siphash13(ROW_HASH_KEY, Bytes(8, 0)));
  Bytes opaque = rgba_row({{1, 2, 3, 4}, {5, 6, 7, 8}});
  EXPECT_EQ(row_key(opaque), siphash13(ROW_HASH_KEY, opaque));
  // One unit in one channel is a different row: matching has no tolerance.
  EXPECT_NE(row_key(rgba_row({{10, 10, 10, 255}})), row_key(rgba_row({{10, 10, 11, 255}})));
}

TEST(AlignmentRowKey, ParallelKeysAreInRowOrderWhateverTheThreadCount) {
  const std::size_t w = 300, h = 2000;
  Bytes canvas(w * h * 4);
  std::mt19937 rng(7);
  for (auto& byte : canvas) byte = static_cast<uint8_t>(rng() % 4);  // many alpha-0 pixels too
  std::vector<RowKey> many = row_keys(canvas, w, h), one;
  {
    par::ThreadLimit limit(1);
    one = row_keys(canvas, w, h);
  }
  ASSERT_EQ(many.size(), h);
  EXPECT_EQ(many, one);
  for (std::size_t r : {std::size_t{0}, std::size_t{977}, h - 1})
    EXPECT_EQ(many[r], row_key(ByteView(canvas).subspan(r * w * 4, w * 4)));
  EXPECT_EQ(row_keys(canvas, w, 10).size(), 10u);  // only the first rows asked for
  EXPECT_TRUE(row_keys(canvas, 0, h).empty());
}

TEST(AlignmentRowKey, PairKeysReuseOnlyIdenticalRows) {
  const std::size_t w = 40, hb = 300, hc = 350;
  Bytes b(w * hb * 4), c(w * hc * 4);
  std::mt19937 rng(5);
  for (auto& byte : b) byte = static_cast<uint8_t>(rng() % 3);
  for (auto& byte : c) byte = static_cast<uint8_t>(rng() % 3);
  std::copy(b.begin(), b.begin() + 200 * w * 4, c.begin());  // rows 0-199 equal, the rest not
  c[150 * w * 4 + 7] ^= 1;  // row 150 differs in one byte, under alpha 0 or not
  auto pair = make_image_pair(b, w, hb, c, w, hc);
  ASSERT_TRUE(pair);
  PairKeys keys = pair_row_keys(*pair);
  EXPECT_EQ(keys.baseline, row_keys(pair->baseline, w, hb));
  EXPECT_EQ(keys.current, row_keys(pair->current, w, hc));
}

TEST(AlignmentFingerprint, CoversLengthsOrderAndSplit) {
  EXPECT_EQ(pair_fingerprint({}, {}), siphash13(ROW_HASH_KEY, Bytes(16, 0)));
  auto ab = keys("ab"), ba = keys("ba"), abc = keys("abc"), c = keys("c"), cab = keys("cab"), ab_ = keys("ab");
  EXPECT_EQ(pair_fingerprint(ab, ba), pair_fingerprint(ab_, ba));
  EXPECT_NE(pair_fingerprint(ab, ba), pair_fingerprint(ba, ab));  // swapped images
  // The last baseline row moved to the start of the current image: same key stream, different split.
  EXPECT_NE(pair_fingerprint(abc, ab), pair_fingerprint(ab, cab));
  EXPECT_NE(pair_fingerprint(abc, {}), pair_fingerprint(ab, c));
}

TEST(AlignmentFingerprint, ConcurrentFirstUseComputesOneValue) {
  const std::size_t w = 64, h = 400;
  Bytes b(w * h * 4, 200), c(w * h * 4, 100);
  auto pair = make_image_pair(b, w, h, c, w, h);
  ASSERT_TRUE(pair);
  const uint64_t expected = pair_fingerprint(row_keys(b, w, h), row_keys(c, w, h));
  std::vector<uint64_t> seen(16, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] { seen[t] = fingerprint_of(*pair); });
  for (auto& t : threads) t.join();
  for (uint64_t v : seen) EXPECT_EQ(v, expected);
  seed_fingerprint(*pair, expected + 1);  // a filled cell is never overwritten
  EXPECT_EQ(fingerprint_of(*pair), expected);
}

TEST(AlignmentBudget, ShareOfBothHeightsCappedTwice) {
  EXPECT_EQ(edit_budget(0, 5, {}), 2u);  // ceil(0.25 × 5)
  EXPECT_EQ(edit_budget(0, 5, {1.0, 2048}), 5u);
  EXPECT_EQ(edit_budget(4000, 4000, {}), 2000u);
  EXPECT_EQ(edit_budget(8000, 8000, {}), 2048u);
  EXPECT_EQ(edit_budget(10, 10, {1.0, 3}), 3u);
  EXPECT_EQ(edit_budget(10, 10, {0.0, 2048}), 0u);
  EXPECT_EQ(edit_budget(10, 10, {1.0, SIZE_MAX}), 20u);
  EXPECT_EQ(edit_budget(0, 0, {}), 0u);
  EXPECT_EQ(edit_budget(3, 0, {0.01, 2048}), 1u);  // rounds up
}

TEST(AlignmentSearch, TieRulesFixTheScript) {
  struct Case {
    const char *baseline, *current;
    uint64_t distance;
    std::vector<EditRun> runs;
  };
  using R = RunKind;
  const Case cases[] = {
      {"", "", 0, {}},
      {"abcd", "abcd", 0, {run(R::Equal, 0, 0, 4)}},
      {"A", "B", 2, {run(R::Delete, 0, 0, 1), run(R::Insert, 1, 0, 1)}},
      {"XY", "PQ", 4, {run(R::Delete, 0, 0, 2), run(R::Insert, 2, 0, 2)}},
      {"AB", "BA", 2, {run(R::Delete, 0, 0, 1), run(R::Equal, 1, 0, 1), run(R::Insert, 2, 1, 1)}},
      {"abcdef", "aXbcdef", 1, {run(R::Equal, 0, 0, 1), run(R::Insert, 1, 1, 1), run(R::Equal, 1, 2, 5)}},
      {"", "abcde", 5, {run(R::Insert, 0, 0, 5)}},
      {"abc", "", 3, {run(R::Delete, 0, 0, 3)}},
  };
  for (const Case& c : cases) {
    auto b = keys(c.baseline), k = keys(c.current);
    auto script = search_edit_runs(b, k, b.size() + k.size());
    ASSERT_TRUE(script) << c.baseline << " / " << c.current;
    EXPECT_EQ(script->distance, c.distance) << c.baseline << " / " << c.current;
    EXPECT_EQ(script->runs, c.runs) << c.baseline << " / " << c.current;
  }
}

TEST(AlignmentSearch, BudgetBoundary) {
  auto b = keys("abcXYZdef"), c = keys("abcPQRdef");  // needs exactly 6 edits
  EXPECT_TRUE(search_edit_runs(b, c, 6));
  EXPECT_FALSE(search_edit_runs(b, c, 5));
  EXPECT_TRUE(search_edit_runs(b, b, 0));  // identical keys need no budget
  EXPECT_FALSE(search_edit_runs(keys(""), keys("abcde"), edit_budget(0, 5, {})));
}

TEST(AlignmentSearch, TraceBeyondItsMemoryLimitIsUnaligned) {
  auto b = keys("abcXYZdef"), c = keys("abcPQRdef");  // stops at iteration 6: 7² trace values
  EXPECT_TRUE(search_edit_runs(b, c, 100, 49 * sizeof(int64_t)));
  EXPECT_FALSE(search_edit_runs(b, c, 100, 49 * sizeof(int64_t) - 1));
  EXPECT_TRUE(search_edit_runs(b, b, 100, sizeof(int64_t)));  // identical rows need one snapshot value
  EXPECT_TRUE(search_edit_runs(b, c, SIZE_MAX));  // more budget than rows is the same as N + M
}

TEST(AlignmentSearch, ScriptIsShortestAndConsistent) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 400; ++trial) {
    std::string sb, sc;
    const std::size_t n = rng() % 14, m = rng() % 14;
    for (std::size_t i = 0; i < n; ++i) sb += "ab-c"[rng() % 4];
    for (std::size_t i = 0; i < m; ++i) sc += "ab-d"[rng() % 4];
    auto b = keys(sb), c = keys(sc);
    auto script = search_edit_runs(b, c, n + m);
    ASSERT_TRUE(script);
    ASSERT_EQ(script->distance, lcs_distance(b, c)) << sb << " / " << sc;
    if (script->distance > 0) {
      EXPECT_FALSE(search_edit_runs(b, c, script->distance - 1));
    }

    // Runs replay the two images: equal rows match, starts follow on, neighbours differ in kind.
    std::size_t x = 0, y = 0, edits = 0;
    for (std::size_t i = 0; i < script->runs.size(); ++i) {
      const EditRun& r = script->runs[i];
      ASSERT_GE(r.len, 1u);
      ASSERT_EQ(r.baseline_start, x);
      ASSERT_EQ(r.current_start, y);
      if (i > 0) {
        ASSERT_NE(r.kind, script->runs[i - 1].kind);
      }
      for (std::size_t j = 0; j < r.len && r.kind == RunKind::Equal; ++j) {
        ASSERT_EQ(b[x + j], c[y + j]);
      }
      if (r.kind != RunKind::Insert) x += r.len;
      if (r.kind != RunKind::Delete) y += r.len;
      if (r.kind != RunKind::Equal) edits += r.len;
    }
    EXPECT_EQ(x, n);
    EXPECT_EQ(y, m);
    EXPECT_EQ(edits, script->distance);

    // The clean-ups keep the counts and the coverage of both images.
    AlignmentRecord rec = record_from_script(std::move(*script), b, c);
    EXPECT_EQ(rec.edit_distance, rec.inserted_rows + rec.deleted_rows + 2 * rec.changed_rows);
    for (const auto* list : {&rec.segments, &rec.resolved_segments}) {
      std::size_t nb = 0, nc = 0;
      for (const SegmentRecord& s : *list) {
        if (s.kind != INS) nb += s.len;
        if (s.kind != DEL) nc += s.len;
      }
      EXPECT_EQ(nb, n) << sb << " / " << sc;
      EXPECT_EQ(nc, m) << sb << " / " << sc;
    }
    EXPECT_EQ(rec.bands, extract_bands(rec.resolved_segments));
  }
}

TEST(AlignmentResult, LetterExamples) {
  struct Case {
    const char *baseline, *current;
    std::vector<SegmentRecord> segments, resolved;
    std::vector<BandRecord> bands;
  };
  const Case cases[] = {
      {"P---", "PQ--", {seg(EQ, 0, 0, 1), seg(REP, 1, 1, 1), seg(EQ, 2, 2, 2)}, {}, {}},
      {"P---Z", "PQ--Z", {seg(EQ, 0, 0, 1), seg(REP, 1, 1, 1), seg(EQ, 2, 2, 2), seg(EQ, 4, 4, 1)}, {}, {}},
      {"a--Xb",
       "aQ--b",
       {seg(EQ, 0, 0, 1), seg(INS, 1, 1, 1), seg(EQ, 1, 2, 2), seg(DEL, 3, 4, 1), seg(EQ, 4, 4, 1)},
       {seg(EQ, 0, 0, 1), seg(REP, 1, 1, 3), seg(EQ, 4, 4, 1)},
       {}},
      {"abcd", "aXbcd", {seg(EQ, 0, 0, 1), seg(INS, 1, 1, 1), seg(EQ, 1, 2, 3)}, {}, {{1, 1, false}}},
      {"abcd", "abd", {seg(EQ, 0, 0, 2), seg(DEL, 2, 2, 1), seg(EQ, 3, 2, 1)}, {}, {{2, 1, true}}},
      {"AB", "BA", {seg(DEL, 0, 0, 1), seg(EQ, 1, 0, 1), seg(INS, 2, 1, 1)}, {}, {{0, 1, true}, {1, 1, false}}},
      {"XY", "PQ", {seg(REP, 0, 0, 2)}, {}, {}},
      {"XYZ", "PQ", {seg(REP, 0, 0, 2), seg(DEL, 2, 2, 1)}, {}, {{2, 1, true}}},
      {"", "", {}, {}, {}},
  };
  for (const Case& c : cases) {
    AlignmentRecord rec = align_letters(c.baseline, c.current);
    const auto& resolved = c.resolved.empty() ? c.segments : c.resolved;
    EXPECT_EQ(rec.segments, c.segments) << c.baseline << " / " << c.current;
    EXPECT_EQ(rec.resolved_segments, resolved) << c.baseline << " / " << c.current;
    EXPECT_EQ(rec.bands, c.bands) << c.baseline << " / " << c.current;
    EXPECT_TRUE(rec.aligned);
  }
  AlignmentRecord rec = align_letters("P---", "PQ--");
  EXPECT_EQ(rec.edit_distance, 2u);
  EXPECT_EQ(rec.changed_rows, 1u);
  rec = align_letters("a--Xb", "aQ--b");
  EXPECT_EQ(rec.inserted_rows, 1u);
  EXPECT_EQ(rec.deleted_rows, 1u);
  rec = align_letters("XY", "PQ");
  EXPECT_EQ(rec.edit_distance, 4u);
  EXPECT_EQ(rec.changed_rows, 2u);
}

TEST(AlignmentResult, MovedContentStaysAShift) {
  // The deleted row's content comes back among the inserted rows: a real move, not a changed block.
  auto b = keys("aX--b"), c = keys("a--Xb");
  KeySet repeated = repeated_keys(b, c);
  EXPECT_EQ(repeated, KeySet{'-'});
  std::vector<SegmentRecord> segments = {seg(EQ, 0, 0, 1), seg(DEL, 1, 1, 1), seg(EQ, 2, 1, 2), seg(INS, 4, 3, 1),
                                         seg(EQ, 4, 4, 1)};
  EXPECT_EQ(resolve_shift_groups(segments, b, c, repeated), segments);
  // A row repeated only across the two images is no filler: the group ends at it.
  auto b2 = keys("aXkb"), c2 = keys("akQb");
  std::vector<SegmentRecord> s2 = {seg(EQ, 0, 0, 1), seg(DEL, 1, 1, 1), seg(EQ, 2, 1, 1), seg(INS, 3, 2, 1),
                                   seg(EQ, 3, 3, 1)};
  EXPECT_EQ(resolve_shift_groups(s2, b2, c2, repeated_keys(b2, c2)), s2);
}

TEST(AlignmentResult, PairingTakesNeighboursOnly) {
  using R = RunKind;
  // Delete, Insert, Delete pairs the first two; an uneven pair leaves the rest of the longer side.
  std::vector<EditRun> runs = {run(R::Delete, 0, 0, 1), run(R::Insert, 1, 0, 3), run(R::Delete, 1, 3, 2)};
  EXPECT_EQ(pair_replacements(runs), (std::vector<SegmentRecord>{seg(REP, 0, 0, 1), seg(INS, 1, 1, 2),
                                                                 seg(DEL, 1, 3, 2)}));
}
