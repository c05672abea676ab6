// A row pairing built from anchors, for columns whose shortest script is out of the budget only because many
// moved rows differ slightly: a chart or a gradient re-rasterised after a move is a few levels off in some pixels,
// which no exact row key forgives. Rows whose content occurs exactly once in each image are anchors; the longest
// chain of anchors in order on both sides fixes how the rows moved, and the rows between two anchors are paired
// one to one (the shorter side's rows), with the surplus inserted or deleted where the most pairs stay equal.
// Pairs that differ become replaced rows, whose pixels the residual judges with the threshold.
#include <algorithm>
#include <unordered_map>

#include "layout/regions.hpp"

namespace qf {

namespace {

class ScriptBuilder {
 public:
  void equal(std::size_t b, std::size_t c) {
    flush();
    append(RunKind::Equal, b, c, 1);
  }
  // A pair of rows that differ: deleted and inserted, as the search scripts a changed block (deletions first).
  void differing(std::size_t b, std::size_t c) {
    if (pending_ == 0) pending_b_ = b, pending_c_ = c;
    ++pending_;
  }
  void moved(RunKind kind, std::size_t b, std::size_t c, std::size_t len) {
    flush();
    append(kind, b, c, len);
    distance_ += len;
  }
  EditScript take() {
    flush();
    return {distance_, std::move(runs_)};
  }

 private:
  void flush() {
    if (pending_ == 0) return;
    const std::size_t len = pending_;
    pending_ = 0;
    append(RunKind::Delete, pending_b_, pending_c_, len);
    append(RunKind::Insert, pending_b_ + len, pending_c_, len);
    distance_ += 2 * len;
  }
  void append(RunKind kind, std::size_t b, std::size_t c, std::size_t len) {
    if (!runs_.empty() && runs_.back().kind == kind) runs_.back().len += len;
    else runs_.push_back({b, c, len, kind});
  }

  std::vector<EditRun> runs_;
  std::size_t pending_ = 0, pending_b_ = 0, pending_c_ = 0;
  uint64_t distance_ = 0;
};

}  // namespace

std::optional<EditScript> anchored_script(KeyView a, KeyView b, std::size_t max_moved_rows) {
  const std::size_t n = a.size(), m = b.size();
  std::unordered_map<RowKey, std::size_t> count_a, count_b, where_b;
  count_a.reserve(n);
  count_b.reserve(m);
  for (RowKey k : a) ++count_a[k];
  for (std::size_t j = 0; j < m; ++j) {
    ++count_b[b[j]];
    where_b[b[j]] = j;
  }
  std::vector<std::pair<std::size_t, std::size_t>> anchors;
  for (std::size_t i = 0; i < n; ++i) {
    auto cb = count_b.find(a[i]);
    if (count_a[a[i]] == 1 && cb != count_b.end() && cb->second == 1) anchors.push_back({i, where_b[a[i]]});
  }
  if (anchors.empty()) return std::nullopt;

  // The longest chain increasing on both sides (patience sorting over the current-image rows).
  std::vector<std::size_t> tails, prev(anchors.size(), SIZE_MAX);
  for (std::size_t k = 0; k < anchors.size(); ++k) {
    auto it = std::lower_bound(tails.begin(), tails.end(), anchors[k].second,
                               [&](std::size_t t, std::size_t j) { return anchors[t].second < j; });
    const auto pos = static_cast<std::size_t>(it - tails.begin());
    if (pos > 0) prev[k] = tails[pos - 1];
    if (it == tails.end()) tails.push_back(k);
    else *it = k;
  }
  std::vector<std::pair<std::size_t, std::size_t>> chain;
  for (std::size_t k = tails.back(); k != SIZE_MAX; k = prev[k]) chain.push_back(anchors[k]);
  std::reverse(chain.begin(), chain.end());
  chain.push_back({n, m});  // the end, not a pair

  ScriptBuilder out;
  std::size_t x = 0, y = 0, moved = 0, equal = 0, paired = 0;
  auto pair_rows = [&](std::size_t i, std::size_t j) {
    ++paired;
    if (a[i] == b[j]) {
      out.equal(i, j);
      ++equal;
    } else {
      out.differing(i, j);
    }
  };
  for (const auto& [i, j] : chain) {
    const std::size_t db = i - x, dc = j - y, len = std::min(db, dc), extra = std::max(db, dc) - len;
    // Split the gap: pairs above the split keep the offset of the rows above, pairs below take the offset of
    // the anchor; the surplus rows sit at the split, placed where the most pairs are equal.
    std::size_t split = 0;
    if (extra > 0 && len > 0) {
      std::vector<std::size_t> top(len + 1, 0), bottom(len + 1, 0);
      for (std::size_t q = 0; q < len; ++q) top[q + 1] = top[q] + (a[x + q] == b[y + q]);
      for (std::size_t q = len; q-- > 0;) bottom[q] = bottom[q + 1] + (a[i - len + q] == b[j - len + q]);
      std::size_t best = 0;
      for (std::size_t p = 0; p <= len; ++p)
        if (top[p] + bottom[p] > best || p == 0) best = top[p] + bottom[p], split = p;
    }
    for (std::size_t q = 0; q < split; ++q) pair_rows(x + q, y + q);
    if (extra > 0) {
      out.moved(db > dc ? RunKind::Delete : RunKind::Insert, x + split, y + split, extra);
      moved += extra;
    }
    for (std::size_t q = split; q < len; ++q) pair_rows(i - len + q, j - len + q);
    if (i < n && j < m) pair_rows(i, j);
    x = i + 1;
    y = j + 1;
  }
  // A pairing is only worth reporting when it moved rows within the budget and most paired rows are equal.
  if (moved > max_moved_rows || 2 * equal < paired) return std::nullopt;
  return out.take();
}

}  // namespace qf
