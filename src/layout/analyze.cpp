// Finding the column regions of a pair: which columns stay in place, which moved and how their rows align.
//
// Every column is scored against a few row pairings ("scripts"): the identity (row y against row y) and the
// scripts that the edit search finds on narrow strips of columns that the scripts so far do not explain. A
// column's score under a script is the number of paired rows that differ in that column. Each column goes to
// the script that explains it best; columns that no pairing can tell apart (blank margins, gutters) join the
// moved region beside them. Each moved region is then aligned on its own columns with the edit search, which
// gives its exact segments; its Replace rows and the differing rows of the static regions are the residual.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/parallel.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "layout/layout.hpp"
#include "layout/regions.hpp"

namespace qf {

namespace {

bool words_differ(const uint8_t* a, const uint8_t* b) {
  if (std::memcmp(a, b, 4) == 0) return false;
  return !(a[3] == 0 && b[3] == 0);  // fully transparent pixels are equal whatever their colour, as in row keys
}

std::vector<EditRun> identity_runs(std::size_t n, std::size_t m) {
  const std::size_t common = std::min(n, m);
  if (common == 0) return {};
  return {EditRun{0, 0, common, RunKind::Equal}};
}

std::vector<EditRun> equal_runs(const std::vector<EditRun>& runs) {
  std::vector<EditRun> out;
  for (const EditRun& r : runs)
    if (r.kind == RunKind::Equal) out.push_back(r);
  return out;
}

bool has_shift(const std::vector<SegmentRecord>& segments) {
  return std::any_of(segments.begin(), segments.end(), [](const SegmentRecord& s) {
    return s.kind == SegmentKind::Insert || s.kind == SegmentKind::Delete;
  });
}

// The region's own alignment: its rows keyed on its columns, searched within the budget.
struct RegionAlignment {
  bool found = false;
  std::vector<SegmentRecord> segments;
  std::vector<BandRecord> bands;
};

RegionAlignment align_region(const ImagePair& pair, std::size_t x0, std::size_t x1, std::size_t budget,
                             std::size_t& searches, std::size_t max_searches) {
  if (searches >= max_searches) return {};
  const std::size_t w = pair.canvas_width;
  const std::vector<RowKey> kb = layout_row_keys(pair.baseline, w, pair.baseline_height, x0, x1);
  const std::vector<RowKey> kc = layout_row_keys(pair.current, w, pair.current_height, x0, x1);
  ++searches;
  auto script = search_edit_runs(kb, kc, budget);
  if (!script) script = anchored_script(kb, kc, budget);
  if (!script) return {};
  AlignmentRecord record = record_from_script(std::move(*script), kb, kc);
  return {true, std::move(record.resolved_segments), std::move(record.bands)};
}

struct Run {
  std::size_t x0, x1, label;
};

std::vector<Run> label_runs(const std::vector<std::size_t>& label) {
  std::vector<Run> runs;
  for (std::size_t x = 0; x < label.size(); ++x) {
    if (!runs.empty() && runs.back().label == label[x]) runs.back().x1 = x + 1;
    else runs.push_back({x, x + 1, label[x]});
  }
  return runs;
}

}  // namespace

bool LayoutRecord::any_moved() const {
  return std::any_of(regions.begin(), regions.end(), [](const ColumnRegion& r) { return r.moved; });
}

std::vector<ColumnBand> column_bands(const LayoutRecord& record) {
  std::vector<ColumnBand> out;
  for (const ColumnRegion& r : record.regions)
    for (const BandRecord& b : r.bands) out.push_back({b.deleted, b.y, b.rows, r.x0, r.x1});
  return out;
}

std::vector<uint64_t> column_mismatches(const ImagePair& pair, const std::vector<EditRun>& runs) {
  const std::size_t w = pair.canvas_width;
  std::vector<uint64_t> total(w, 0);
  std::vector<EditRun> equal;
  std::vector<std::size_t> starts;  // index of each run's first pair among all pairs
  std::size_t pairs = 0;
  for (const EditRun& r : runs) {
    if (r.kind != RunKind::Equal || r.len == 0) continue;
    if (r.baseline_start > pair.baseline_height || r.len > pair.baseline_height - r.baseline_start ||
        r.current_start > pair.current_height || r.len > pair.current_height - r.current_start)
      throw InternalFault("column_mismatches: run outside the images");
    equal.push_back(r);
    starts.push_back(pairs);
    pairs += r.len;
  }
  if (w == 0 || pairs == 0) return total;
  const std::size_t row_bytes = w * 4;
  // Fixed chunks, each counting into its own vector, summed in chunk order: the same totals for any number of
  // threads, and at most 64 vectors alive.
  const std::size_t chunk = std::max<std::size_t>(64, (pairs + 63) / 64);
  std::vector<std::vector<uint32_t>> parts((pairs + chunk - 1) / chunk);
  par::for_each_chunk(pairs, chunk, [&](std::size_t begin, std::size_t end) {
    std::vector<uint32_t>& counts = parts[begin / chunk];
    counts.assign(w, 0);
    std::size_t run = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
    for (std::size_t i = begin; i < end; ++i) {
      while (run + 1 < starts.size() && starts[run + 1] <= i) ++run;
      const std::size_t k = i - starts[run];
      const uint8_t* a = pair.baseline.data() + (equal[run].baseline_start + k) * row_bytes;
      const uint8_t* b = pair.current.data() + (equal[run].current_start + k) * row_bytes;
      if (std::memcmp(a, b, row_bytes) == 0) continue;
      for (std::size_t x = 0; x < w; ++x) counts[x] += words_differ(a + 4 * x, b + 4 * x);
    }
  });
  for (const auto& part : parts)
    for (std::size_t x = 0; x < w; ++x) total[x] += part[x];
  return total;
}

Result<LayoutRecord> analyze_layout(const ImagePair& pair, const DiffOptions& diff, const AlignOptions& align,
                                    const LayoutOptions& options) {
  if (auto e = check_diff_options(diff)) return *e;
  if (!std::isfinite(align.max_edit_ratio) || !in_unit_range(align.max_edit_ratio))
    return err::invalid_argument(EDIT_RATIO_RANGE_MESSAGE);

  LayoutRecord record;
  record.width = pair.canvas_width;
  record.baseline_height = pair.baseline_height;
  record.current_height = pair.current_height;
  if (pair.baseline_width != pair.current_width) return record;

  const std::size_t w = pair.canvas_width, n = pair.baseline_height, m = pair.current_height;
  if (w == 0) {
    record.verdict = LayoutVerdict::Unchanged;
    return record;
  }
  const std::size_t budget = edit_budget(n, m, align);

  // Scripts: 0 is the identity; the others are found on strips of columns nothing explains yet.
  std::vector<std::vector<uint64_t>> score{column_mismatches(pair, identity_runs(n, m))};
  auto best_score = [&](std::size_t x) {
    uint64_t best = score[0][x];
    for (const auto& s : score) best = std::min(best, s[x]);
    return best;
  };
  // Candidate strips: the groups of columns the identity does not explain, apart by more than a gutter's width
  // of columns it does (a changed link in a sidebar and the pane beside it are searched apart); a strip whose
  // search fails (it may hold two panes that moved differently) is tried again as its two halves. A strip is
  // keyed on its unexplained columns only, so static content inside it does not hide the shift of the rest.
  struct Strip {
    std::size_t x0, x1;
  };
  std::vector<Strip> strips;
  for (std::size_t x = 0; x < w; ++x) {
    if (score[0][x] == 0) continue;
    if (!strips.empty() && x - strips.back().x1 < options.strip_gap) strips.back().x1 = x + 1;
    else strips.push_back({x, x + 1});
  }
  std::size_t failed = 0;
  std::vector<uint8_t> keep(w, 0);
  while (score.size() - 1 < options.max_candidates && failed < options.max_failed &&
         record.searches < options.max_searches) {
    std::size_t pick = strips.size(), pick_count = 0;
    for (std::size_t t = 0; t < strips.size(); ++t) {
      std::size_t count = 0;
      for (std::size_t x = strips[t].x0; x < strips[t].x1; ++x) count += best_score(x) > 0;
      if (count > pick_count) pick = t, pick_count = count;
    }
    if (pick == strips.size()) break;
    const Strip strip = strips[pick];
    strips.erase(strips.begin() + static_cast<std::ptrdiff_t>(pick));
    std::size_t x0 = w, x1 = 0;
    for (std::size_t x = strip.x0; x < strip.x1; ++x) {
      keep[x] = best_score(x) > 0;
      if (keep[x]) x0 = std::min(x0, x), x1 = x + 1;
    }
    const std::vector<RowKey> kb = layout_row_keys(pair.baseline, w, n, x0, x1, &keep);
    const std::vector<RowKey> kc = layout_row_keys(pair.current, w, m, x0, x1, &keep);
    ++record.searches;
    auto script = search_edit_runs(kb, kc, budget);
    if (!script) script = anchored_script(kb, kc, budget);
    if (!script) {
      ++failed;
      if (x1 - x0 >= 2) {
        const std::size_t mid = x0 + (x1 - x0) / 2;
        strips.push_back({x0, mid});
        strips.push_back({mid, x1});
      }
      continue;
    }
    score.push_back(column_mismatches(pair, equal_runs(script->runs)));
  }

  // Each column to the script with the lowest score (the identity, then the earliest script, on ties).
  std::vector<std::size_t> label(w, 0);
  for (std::size_t x = 0; x < w; ++x) {
    if (score[0][x] == 0) continue;
    for (std::size_t s = 1; s < score.size(); ++s)
      if (score[s][x] < score[label[x]][x]) label[x] = s;
  }
  // Columns that both stay in place and fit a moved run's script (blank margins, gutters) join that run when
  // they lie between two parts of it, or between it and the canvas edge; beside static content (a sidebar's
  // padding, a border line) they stay static, so that a band ends where the pane's own content ends.
  {
    std::vector<uint8_t> free(w);
    for (std::size_t x = 0; x < w; ++x) free[x] = label[x] == 0 && score[0][x] == 0;
    std::size_t x = 0;
    while (x < w) {
      if (!free[x]) {
        ++x;
        continue;
      }
      std::size_t end = x;
      while (end < w && free[end]) ++end;
      constexpr std::size_t EDGE = SIZE_MAX;
      const std::size_t left = x > 0 ? label[x - 1] : EDGE, right = end < w ? label[end] : EDGE;
      std::size_t into = 0;
      if (left != EDGE && left != 0 && (right == left || right == EDGE)) into = left;
      else if (right != EDGE && right != 0 && left == EDGE) into = right;
      if (into != 0 && std::all_of(score[into].begin() + static_cast<std::ptrdiff_t>(x),
                                   score[into].begin() + static_cast<std::ptrdiff_t>(end),
                                   [](uint64_t v) { return v == 0; }))
        std::fill(label.begin() + static_cast<std::ptrdiff_t>(x), label.begin() + static_cast<std::ptrdiff_t>(end), into);
      x = end;
    }
  }

  std::vector<Run> moved;
  for (const Run& r : label_runs(label))
    if (r.label != 0) moved.push_back(r);
  if (moved.size() > options.max_moved) {
    std::stable_sort(moved.begin(), moved.end(), [](const Run& a, const Run& b) { return a.x1 - a.x0 > b.x1 - b.x0; });
    moved.resize(options.max_moved);
    std::sort(moved.begin(), moved.end(), [](const Run& a, const Run& b) { return a.x0 < b.x0; });
  }

  std::vector<ColumnRegion> found;
  for (const Run& r : moved) {
    RegionAlignment a = align_region(pair, r.x0, r.x1, budget, record.searches, options.max_searches);
    if (!a.found || !has_shift(a.segments)) continue;
    // A few columns keyed on their own repeat few distinct rows, and their search can pair them in many ways:
    // a narrow region whose rows moved in many places is noise, not a pane.
    if (r.x1 - r.x0 < options.strip_gap && a.bands.size() > options.max_narrow_bands) continue;
    found.push_back({r.x0, r.x1, true, std::move(a.segments), std::move(a.bands)});
  }
  // Neighbouring regions that moved the same way are one region (a real change inside a pane makes its columns
  // prefer a script of their own); aligned together they give one set of segments.
  for (std::size_t i = 0; i + 1 < found.size();) {
    ColumnRegion& a = found[i];
    const ColumnRegion& b = found[i + 1];
    if (a.x1 == b.x0 && a.bands == b.bands) {
      RegionAlignment joined = align_region(pair, a.x0, b.x1, budget, record.searches, options.max_searches);
      if (joined.found && joined.bands == a.bands) {
        a = {a.x0, b.x1, true, std::move(joined.segments), std::move(joined.bands)};
        found.erase(found.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        continue;
      }
    }
    ++i;
  }

  // Static regions fill the gaps.
  std::size_t x = 0;
  for (ColumnRegion& r : found) {
    if (r.x0 > x) record.regions.push_back(static_region(x, r.x0, n, m));
    x = r.x1;
    record.regions.push_back(std::move(r));
  }
  if (x < w) record.regions.push_back(static_region(x, w, n, m));

  if (record.any_moved()) {
    auto mask = layout_residual_mask(pair, record, diff);
    if (!mask) return std::move(mask).error();
    for (uint8_t bit : *mask) record.residual_count += bit != 0;
  } else {
    // Nothing moved: the residual is every pixel that differs over the common rows, counted in one pass.
    const std::size_t common = std::min(n, m), bytes = common * w * 4;
    // A capped count stops once it reaches its cap; this one must go past the caller's cap to say it exceeds it.
    std::optional<uint64_t> cap = options.static_residual_cap;
    if (cap && *cap < UINT64_MAX) ++*cap;
    auto count = count_diffs(ByteView(pair.baseline).first(bytes), ByteView(pair.current).first(bytes), w, common,
                             diff, cap);
    if (!count) return std::move(count).error();
    record.residual_count = *count;
  }
  const bool bands = !column_bands(record).empty();
  record.verdict = record.residual_count > 0 ? LayoutVerdict::Changed
                   : bands                   ? LayoutVerdict::Shifted
                                             : LayoutVerdict::Unchanged;
  return record;
}

}  // namespace qf
