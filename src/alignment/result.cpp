// From the raw edit runs to the segments, resolved segments, shift bands and counts of an alignment.
#include <algorithm>

#include "alignment/alignment.hpp"

namespace qf {

namespace {

// The one key shared by rows [start, start + len) of `keys`, or nullopt when they differ or leave the vector.
std::optional<RowKey> uniform_key(KeyView keys, std::size_t start, std::size_t len) {
  if (start >= keys.size() || len > keys.size() - start || len == 0) return std::nullopt;
  const RowKey k = keys[start];
  for (std::size_t i = start + 1; i < start + len; ++i)
    if (keys[i] != k) return std::nullopt;
  return k;
}

bool same_uniform_rows(KeyView keys, const EditRun& e, const EditRun& b, bool baseline_side) {
  auto ke = baseline_side ? uniform_key(keys, e.baseline_start, e.len) : uniform_key(keys, e.current_start, e.len);
  if (!ke) return false;
  auto kb = baseline_side ? uniform_key(keys, b.baseline_start, b.len) : uniform_key(keys, b.current_start, b.len);
  return kb && *ke == *kb;
}

SegmentKind segment_kind(RunKind kind) {
  switch (kind) {
    case RunKind::Equal: return SegmentKind::Equal;
    case RunKind::Insert: return SegmentKind::Insert;
    case RunKind::Delete: return SegmentKind::Delete;
  }
  throw InternalFault("unknown run kind");
}

// Replace of the common part, then the rest of the longer side as a Delete or Insert.
void emit_replacement(std::vector<SegmentRecord>& out, std::size_t b, std::size_t c, std::size_t bspan,
                      std::size_t cspan) {
  const std::size_t m = std::min(bspan, cspan);
  out.push_back({b, c, m, SegmentKind::Replace});
  if (bspan != cspan)
    out.push_back({b + m, c + m, std::max(bspan, cspan) - m, cspan < bspan ? SegmentKind::Delete : SegmentKind::Insert});
}

}  // namespace

void slide_runs(std::vector<EditRun>& runs, KeyView baseline_keys, KeyView current_keys) {
  if (runs.size() < 3) return;
  RunKind prev = runs[0].kind;
  for (std::size_t x = 0; x + 2 < runs.size(); ++x) {
    EditRun& e = runs[x + 1];
    EditRun& b = runs[x + 2];
    if (e.kind != RunKind::Equal) {
      prev = e.kind;
      continue;
    }
    if (prev == RunKind::Equal) continue;
    bool holds = false;
    if (prev == RunKind::Insert) holds = b.kind == RunKind::Delete && same_uniform_rows(baseline_keys, e, b, true);
    else holds = b.kind == RunKind::Insert && same_uniform_rows(current_keys, e, b, false);
    if (!holds) {
      prev = RunKind::Equal;
      continue;
    }
    // Every moved row has the same content, so the edit moves in front of the matched rows unchanged.
    const EditRun old_e = e, old_b = b;
    e = EditRun{old_e.baseline_start, old_e.current_start, old_b.len, old_b.kind};
    const bool deletes = old_b.kind == RunKind::Delete;
    b = EditRun{old_e.baseline_start + (deletes ? old_b.len : 0), old_e.current_start + (deletes ? 0 : old_b.len),
                old_e.len, RunKind::Equal};
    prev = old_b.kind;
  }
}

std::vector<SegmentRecord> pair_replacements(const std::vector<EditRun>& runs) {
  std::vector<SegmentRecord> out;
  out.reserve(runs.size());
  std::size_t i = 0;
  while (i < runs.size()) {
    const EditRun& r = runs[i];
    if (r.kind != RunKind::Equal && i + 1 < runs.size()) {
      const EditRun& s = runs[i + 1];
      if (s.kind != RunKind::Equal && s.kind != r.kind) {
        const EditRun& ins = r.kind == RunKind::Insert ? r : s;
        const EditRun& del = r.kind == RunKind::Delete ? r : s;
        emit_replacement(out, std::min(r.baseline_start, s.baseline_start), std::min(r.current_start, s.current_start),
                         del.len, ins.len);
        i += 2;
        continue;
      }
    }
    out.push_back({r.baseline_start, r.current_start, r.len, segment_kind(r.kind)});
    ++i;
  }
  return out;
}

KeySet repeated_keys(KeyView baseline_keys, KeyView current_keys) {
  KeySet repeated;
  for (KeyView keys : {baseline_keys, current_keys}) {
    KeySet seen;
    seen.reserve(keys.size());
    for (RowKey k : keys)
      if (!seen.insert(k).second) repeated.insert(k);
  }
  return repeated;
}

std::vector<SegmentRecord> resolve_shift_groups(const std::vector<SegmentRecord>& segments, KeyView baseline_keys,
                                                KeyView current_keys, const KeySet& repeated) {
  auto absorbable = [&](const SegmentRecord& s) {
    auto k = uniform_key(baseline_keys, s.baseline_start, s.len);
    return k && repeated.contains(*k);
  };
  std::vector<SegmentRecord> out;
  out.reserve(segments.size());
  std::size_t i = 0;
  while (i < segments.size()) {
    if (segments[i].kind == SegmentKind::Equal) {
      out.push_back(segments[i++]);
      continue;
    }
    std::size_t end = i + 1;
    for (std::size_t j = i + 1; j < segments.size(); ++j) {
      if (segments[j].kind != SegmentKind::Equal) end = j + 1;
      else if (!absorbable(segments[j])) break;
    }
    bool inserts = false, deletes = false;
    KeySet deleted;
    for (std::size_t j = i; j < end; ++j) {
      const SegmentRecord& s = segments[j];
      if (s.kind == SegmentKind::Delete) {
        deletes = true;
        for (std::size_t r = s.baseline_start; r < s.baseline_start + s.len; ++r) deleted.insert(baseline_keys[r]);
      } else if (s.kind == SegmentKind::Insert) {
        inserts = true;
      }
    }
    bool moved = false;
    for (std::size_t j = i; j < end && !moved && inserts && deletes; ++j) {
      const SegmentRecord& s = segments[j];
      if (s.kind != SegmentKind::Insert) continue;
      for (std::size_t r = s.current_start; r < s.current_start + s.len && !moved; ++r)
        moved = deleted.contains(current_keys[r]);
    }
    if (inserts && deletes && !moved) {
      const SegmentRecord& first = segments[i];
      const SegmentRecord& last = segments[end - 1];
      const std::size_t baseline_end = last.baseline_start + (last.kind == SegmentKind::Insert ? 0 : last.len);
      const std::size_t current_end = last.current_start + (last.kind == SegmentKind::Delete ? 0 : last.len);
      emit_replacement(out, first.baseline_start, first.current_start, baseline_end - first.baseline_start,
                       current_end - first.current_start);
    } else {
      out.insert(out.end(), segments.begin() + i, segments.begin() + end);
    }
    i = end;
  }
  return out;
}

std::vector<BandRecord> extract_bands(const std::vector<SegmentRecord>& segments) {
  std::vector<BandRecord> bands;
  for (const SegmentRecord& s : segments) {
    if (s.kind == SegmentKind::Insert) bands.push_back({s.current_start, s.len, false});
    else if (s.kind == SegmentKind::Delete) bands.push_back({s.current_start, s.len, true});
  }
  return bands;
}

AlignmentRecord record_from_script(EditScript script, KeyView baseline_keys, KeyView current_keys) {
  AlignmentRecord record;
  slide_runs(script.runs, baseline_keys, current_keys);
  record.segments = pair_replacements(script.runs);
  const KeySet repeated = repeated_keys(baseline_keys, current_keys);
  record.resolved_segments = resolve_shift_groups(record.segments, baseline_keys, current_keys, repeated);
  record.bands = extract_bands(record.resolved_segments);
  record.edit_distance = script.distance;
  for (const SegmentRecord& s : record.segments) {
    if (s.kind == SegmentKind::Insert) record.inserted_rows += s.len;
    else if (s.kind == SegmentKind::Delete) record.deleted_rows += s.len;
    else if (s.kind == SegmentKind::Replace) record.changed_rows += s.len;
  }
  record.aligned = true;
  return record;
}

}  // namespace qf
