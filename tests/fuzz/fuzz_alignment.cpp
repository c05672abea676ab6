// The alignment search and its clean-ups on fuzzed row keys, checked against a plain dynamic-programming edit
// distance and against the invariants every record keeps.
//
// Byte 0 picks the budget, byte 1 the baseline length; every further byte is one row key. Keys come from a
// small alphabet (with one value standing for a blank row that repeats), so that runs, repeats and shifts are
// common.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "alignment/alignment.hpp"

namespace {

constexpr uint64_t TRACE_LIMIT = 64u << 20;

void check(bool condition) {
  if (!condition) std::abort();
}

// Fewest single-row insertions and deletions turning a into b: n + m − 2 × longest common subsequence.
std::size_t edit_distance(qf::KeyView a, qf::KeyView b) {
  std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < b.size(); ++j)
      next[j + 1] = a[i] == b[j] ? row[j] + 1 : std::max(row[j + 1], next[j]);
    std::swap(row, next);
  }
  return a.size() + b.size() - 2 * row[b.size()];
}

// The runs walk both key vectors from the start to the end without gaps, matched rows have equal keys, and
// neighbouring runs differ in kind.
void check_runs(const qf::EditScript& s, qf::KeyView a, qf::KeyView b) {
  std::size_t x = 0, y = 0, edits = 0;
  for (std::size_t i = 0; i < s.runs.size(); ++i) {
    const qf::EditRun& r = s.runs[i];
    check(r.len >= 1 && r.baseline_start == x && r.current_start == y);
    check(i == 0 || s.runs[i - 1].kind != r.kind);
    if (r.kind == qf::RunKind::Equal) {
      for (std::size_t k = 0; k < r.len; ++k) check(a[x + k] == b[y + k]);
      x += r.len;
      y += r.len;
    } else {
      (r.kind == qf::RunKind::Delete ? x : y) += r.len;
      edits += r.len;
    }
    check(x <= a.size() && y <= b.size());
  }
  check(x == a.size() && y == b.size() && edits == s.distance);
}

// Segments cover both images in order; counts agree with them; bands are the shifts of the resolved list.
void check_segments(const std::vector<qf::SegmentRecord>& segments, std::size_t n, std::size_t m) {
  std::size_t x = 0, y = 0;
  for (const qf::SegmentRecord& s : segments) {
    check(s.len >= 1 && s.baseline_start == x && s.current_start == y);
    if (s.kind != qf::SegmentKind::Insert) x += s.len;
    if (s.kind != qf::SegmentKind::Delete) y += s.len;
  }
  check(x == n && y == m);
}

void check_record(const qf::AlignmentRecord& r, uint64_t distance, std::size_t n, std::size_t m) {
  check_segments(r.segments, n, m);
  check_segments(r.resolved_segments, n, m);
  uint64_t inserted = 0, deleted = 0, changed = 0;
  for (const qf::SegmentRecord& s : r.segments) {
    if (s.kind == qf::SegmentKind::Insert) inserted += s.len;
    if (s.kind == qf::SegmentKind::Delete) deleted += s.len;
    if (s.kind == qf::SegmentKind::Replace) changed += s.len;
  }
  check(r.edit_distance == distance && r.inserted_rows == inserted && r.deleted_rows == deleted &&
        r.changed_rows == changed && distance == inserted + deleted + 2 * changed);
  std::size_t band = 0;
  for (const qf::SegmentRecord& s : r.resolved_segments) {
    if (s.kind != qf::SegmentKind::Insert && s.kind != qf::SegmentKind::Delete) continue;
    check(band < r.bands.size());
    const qf::BandRecord& b = r.bands[band++];
    check(b.y == s.current_start && b.rows == s.len && b.deleted == (s.kind == qf::SegmentKind::Delete));
  }
  check(band == r.bands.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2 || size > 1024) return 0;
  const std::size_t budget = data[0] == 255 ? SIZE_MAX : data[0];
  std::vector<qf::RowKey> keys;
  for (std::size_t i = 2; i < size; ++i) keys.push_back(data[i] % 16 == 0 ? 0 : data[i] % 32);
  const std::size_t n = std::min<std::size_t>(data[1], keys.size());
  const qf::KeyView a(keys.data(), n), b(keys.data() + n, keys.size() - n);

  const std::size_t shortest = edit_distance(a, b);
  auto script = qf::search_edit_runs(a, b, budget, TRACE_LIMIT);
  if (!script) {
    check(shortest > budget);
    return 0;
  }
  check(script->distance == shortest);
  check_runs(*script, a, b);
  const uint64_t distance = script->distance;
  check_record(qf::record_from_script(std::move(*script), a, b), distance, a.size(), b.size());
  return 0;
}
