#include "clusters/clusters.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

#include "core/error.hpp"
#include "core/size.hpp"

namespace qf {

namespace {

// Root of v, halving the path on the way.
inline uint32_t find(std::vector<uint32_t>& parent, uint32_t v) {
  while (parent[v] != v) {
    parent[v] = parent[parent[v]];
    v = parent[v];
  }
  return v;
}

// a is the pixel's provisional label, b the neighbour's: on equal ranks a's root wins.
inline void unite(std::vector<uint32_t>& parent, std::vector<uint8_t>& rank, uint32_t a, uint32_t b) {
  const uint32_t ra = find(parent, a), rb = find(parent, b);
  if (ra == rb) return;
  if (rank[ra] < rank[rb]) {
    parent[ra] = rb;
  } else if (rank[ra] > rank[rb]) {
    parent[rb] = ra;
  } else {
    parent[rb] = ra;
    ++rank[ra];
  }
}

struct ComponentStats {
  uint64_t count = 0, sum_x = 0, sum_y = 0;
  uint64_t min_x = std::numeric_limits<uint64_t>::max(), max_x = 0;
  uint64_t min_y = std::numeric_limits<uint64_t>::max(), max_y = 0;
  // The same for the mask's own set pixels.
  uint64_t own = 0;
  uint64_t own_min_x = std::numeric_limits<uint64_t>::max(), own_max_x = 0;
  uint64_t own_min_y = std::numeric_limits<uint64_t>::max(), own_max_y = 0;
};

// Overlap of the half-open ranges [a, a + la) and [b, b + lb) divided by the shorter length; 0.0 if disjoint.
inline double overlap_ratio(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  const std::size_t lo = std::max(a, b), hi = std::min(a + la, b + lb);
  if (lo < hi) return static_cast<double>(hi - lo) / static_cast<double>(std::min(la, lb));
  return 0.0;
}

// Positions strictly between the two ranges; 0 when they overlap or touch.
inline std::size_t range_gap(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  if (a + la < b) return b - (a + la);
  if (b + lb < a) return a - (b + lb);
  return 0;
}

inline bool ranges_overlap(std::size_t a, std::size_t la, std::size_t b, std::size_t lb) {
  return std::max(a, b) < std::min(a + la, b + lb);
}

bool qualify(const ClusterRecord& a, const ClusterRecord& b, std::size_t gap, double min_overlap) {
  if (ranges_overlap(a.x, a.width, b.x, b.width) && ranges_overlap(a.y, a.height, b.y, b.height)) return true;
  if (overlap_ratio(a.x, a.width, b.x, b.width) >= min_overlap && range_gap(a.y, a.height, b.y, b.height) <= gap)
    return true;
  return overlap_ratio(a.y, a.height, b.y, b.height) >= min_overlap && range_gap(a.x, a.width, b.x, b.width) <= gap;
}

void merge_into(ClusterRecord& a, const ClusterRecord& b) {
  const std::size_t x = std::min(a.x, b.x), y = std::min(a.y, b.y);
  const std::size_t right = std::max(a.x + a.width, b.x + b.width), bottom = std::max(a.y + a.height, b.y + b.height);
  const double na = static_cast<double>(a.pixel_count), nb = static_cast<double>(b.pixel_count);
  const double total = static_cast<double>(a.pixel_count + b.pixel_count);
  a.centroid_x = (a.centroid_x * na + b.centroid_x * nb) / total;
  a.centroid_y = (a.centroid_y * na + b.centroid_y * nb) / total;
  a.x = x;
  a.y = y;
  a.width = right - x;
  a.height = bottom - y;
  a.pixel_count += b.pixel_count;
  a.merged_from += b.merged_from;
  if (b.own_pixels > 0) {
    if (a.own_pixels == 0) {
      a.own_x = b.own_x, a.own_y = b.own_y, a.own_width = b.own_width, a.own_height = b.own_height;
    } else {
      const std::size_t ox = std::min(a.own_x, b.own_x), oy = std::min(a.own_y, b.own_y);
      a.own_width = std::max(a.own_x + a.own_width, b.own_x + b.own_width) - ox;
      a.own_height = std::max(a.own_y + a.own_height, b.own_y + b.own_height) - oy;
      a.own_x = ox, a.own_y = oy;
    }
    a.own_pixels += b.own_pixels;
  }
}

void sort_by_size(std::vector<ClusterRecord>& list) {
  std::stable_sort(list.begin(), list.end(),
                   [](const ClusterRecord& a, const ClusterRecord& b) { return a.pixel_count > b.pixel_count; });
}

void check_mask(ByteView mask, std::size_t width, std::size_t height) {
  auto n = pixel_count(width, height);
  if (!n || mask.size() != *n) throw InternalFault("mask does not match its size");
}

}  // namespace

Bytes dilate_mask(ByteView mask, std::size_t width, std::size_t height, std::size_t radius) {
  check_mask(mask, width, height);
  if (width == 0 || height == 0) return Bytes(mask.size(), 0);
  // A distance never exceeds the side, so a larger radius means the same.
  const std::size_t rh = std::min(radius, width), rv = std::min(radius, height);
  // Along each row, a running count of the set pixels within rh columns.
  Bytes horizontal(mask.size(), 0);
  for (std::size_t y = 0; y < height; ++y) {
    const uint8_t* in = mask.data() + y * width;
    uint8_t* out = horizontal.data() + y * width;
    std::size_t count = 0;
    for (std::size_t x = 0; x < std::min(rh, width - 1) + 1; ++x) count += in[x] != 0;
    for (std::size_t x = 0; x < width; ++x) {
      out[x] = count > 0;
      if (x + 1 + rh < width) count += in[x + 1 + rh] != 0;
      if (x >= rh) count -= in[x - rh] != 0;
    }
  }
  // Down the columns, a running count per column of the rows within rv that are set, all columns at once.
  Bytes vertical(mask.size(), 0);
  std::vector<uint32_t> count(width, 0);
  const auto add_row = [&](std::size_t y) {
    const uint8_t* in = horizontal.data() + y * width;
    for (std::size_t x = 0; x < width; ++x) count[x] += in[x];
  };
  const auto remove_row = [&](std::size_t y) {
    const uint8_t* in = horizontal.data() + y * width;
    for (std::size_t x = 0; x < width; ++x) count[x] -= in[x];
  };
  for (std::size_t y = 0; y < std::min(rv, height - 1) + 1; ++y) add_row(y);
  for (std::size_t y = 0; y < height; ++y) {
    uint8_t* out = vertical.data() + y * width;
    for (std::size_t x = 0; x < width; ++x) out[x] = count[x] > 0;
    if (y + 1 + rv < height) add_row(y + 1 + rv);
    if (y >= rv) remove_row(y - rv);
  }
  return vertical;
}

Labeling label_components(ByteView mask, std::size_t width, std::size_t height, uint32_t max_label) {
  check_mask(mask, width, height);
  Labeling out;
  out.labels.assign(mask.size(), 0);
  out.parent = {0};
  out.rank = {0};
  auto& parent = out.parent;
  auto& rank = out.rank;
  uint32_t* labels = out.labels.data();
  for (std::size_t y = 0; y < height; ++y) {
    const uint8_t* row = mask.data() + y * width;
    uint32_t* lab = labels + y * width;
    const uint32_t* up = y > 0 ? lab - width : nullptr;
    for (std::size_t x = 0; x < width; ++x) {
      if (!row[x]) continue;
      uint32_t e = 0;
      auto visit = [&](uint32_t h) {
        if (h == 0) return;
        if (e == 0) {
          e = h;
        } else if (h != e) {  // equal labels share a root: union would do nothing
          unite(parent, rank, e, h);
          e = std::min(e, h);
        }
      };
      if (up) {
        if (x > 0) visit(up[x - 1]);
        visit(up[x]);
        if (x + 1 < width) visit(up[x + 1]);
      }
      if (x > 0) visit(lab[x - 1]);
      if (e == 0) {
        if (parent.size() > max_label)
          throw InternalFault("too many provisional cluster labels for 32 bits");
        e = static_cast<uint32_t>(parent.size());
        parent.push_back(e);
        rank.push_back(0);
      }
      lab[x] = e;
    }
  }
  return out;
}

namespace {

// One pass as written: each record, in list order, absorbs every later record that qualifies with it, later
// records tested against the box as it has grown. Quadratic; the grid pass below gives the same result.
bool pairwise_pass(std::vector<ClusterRecord>& list, std::size_t merge_gap, double merge_overlap) {
  bool changed = false;
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::size_t j = i + 1;
    while (j < list.size()) {
      if (qualify(list[i], list[j], merge_gap, merge_overlap)) {
        merge_into(list[i], list[j]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(j));
        changed = true;
      } else {
        ++j;
      }
    }
  }
  return changed;
}

inline std::size_t saturating_add(std::size_t a, std::size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

// The same pass with a uniform grid over the boxes. With a positive overlap ratio (or NaN) two records can
// only qualify when their gaps are at most merge_gap in both directions, so the candidates of a box are the
// records in the grid cells its box widened by merge_gap + 1 reaches. Records are still visited in list order,
// and a record's candidates in index order (a min-heap), so every merge happens as in the plain pass: a
// candidate that fails is not tested again until the box grows past a later merge, and when the box grows
// only the newly reached cells are read (their records below the current position could not have qualified
// with the smaller box, which the plain pass tested them against).
bool grid_pass(std::vector<ClusterRecord>& list, std::size_t merge_gap, double merge_overlap) {
  const std::size_t n = list.size();
  std::size_t right = 1, bottom = 1;
  for (const ClusterRecord& r : list) {
    right = std::max(right, r.x + r.width);
    bottom = std::max(bottom, r.y + r.height);
  }
  // About one cell per record.
  const double area = static_cast<double>(right) * static_cast<double>(bottom);
  const auto side = static_cast<std::size_t>(std::max(4.0, std::ceil(std::sqrt(area / static_cast<double>(n)))));
  const std::size_t cols = (right + side - 1) / side, rows = (bottom + side - 1) / side;

  // Cells of every box; far more entries than records means boxes spread over much of the page (they will
  // merge soon or never), where the plain pass is as good.
  const std::size_t budget = 64 * n + (std::size_t{1} << 20);
  if (cols > budget || rows > budget || cols * rows > budget) return pairwise_pass(list, merge_gap, merge_overlap);
  std::size_t entries = 0;
  for (const ClusterRecord& r : list) {
    entries += ((r.x + r.width - 1) / side - r.x / side + 1) * ((r.y + r.height - 1) / side - r.y / side + 1);
    if (entries > budget) return pairwise_pass(list, merge_gap, merge_overlap);
  }

  // Cell lists in one array (counting sort), each list in index order.
  std::vector<std::size_t> start(cols * rows + 1, 0);
  std::vector<uint32_t> cell_records(entries);
  for (int fill = 0; fill < 2; ++fill) {
    std::vector<std::size_t> next;
    if (fill) next.assign(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < n; ++k) {
      const ClusterRecord& r = list[k];
      for (std::size_t cy = r.y / side; cy <= (r.y + r.height - 1) / side; ++cy)
        for (std::size_t cx = r.x / side; cx <= (r.x + r.width - 1) / side; ++cx) {
          if (fill)
            cell_records[next[cy * cols + cx]++] = static_cast<uint32_t>(k);
          else
            ++start[cy * cols + cx + 1];
        }
    }
    if (!fill)
      for (std::size_t c = 0; c < cols * rows; ++c) start[c + 1] += start[c];
  }

  struct CellRect {
    std::size_t x0 = 1, x1 = 0, y0 = 1, y1 = 0;  // inclusive; empty when x0 > x1
    bool empty() const { return x0 > x1; }
  };
  const auto reach = [&](const ClusterRecord& r) {
    // Pixels a qualifying box may occupy: within merge_gap + 1 of r on every side.
    const std::size_t reach_gap = saturating_add(merge_gap, 1);
    const std::size_t px0 = r.x > reach_gap ? r.x - reach_gap : 0, py0 = r.y > reach_gap ? r.y - reach_gap : 0;
    const std::size_t px1 = saturating_add(r.x + r.width - 1, reach_gap);
    const std::size_t py1 = saturating_add(r.y + r.height - 1, reach_gap);
    CellRect c;
    c.x0 = px0 / side;
    c.y0 = py0 / side;
    c.x1 = std::min(px1 / side, cols - 1);
    c.y1 = std::min(py1 / side, rows - 1);
    return c;
  };

  std::vector<uint8_t> alive(n, 1);
  std::vector<uint64_t> seen(n, 0);
  uint64_t visit = 0;
  bool changed = false;
  std::vector<uint32_t> heap;
  const auto later = std::greater<uint32_t>();
  for (std::size_t i = 0; i < n; ++i) {
    if (!alive[i]) continue;
    ++visit;
    heap.clear();
    std::size_t position = i;  // records up to here have been dealt with for this box
    CellRect covered;
    const auto add_rect = [&](std::size_t x0, std::size_t x1, std::size_t y0, std::size_t y1) {
      for (std::size_t cy = y0; cy <= y1; ++cy)
        for (std::size_t cx = x0; cx <= x1; ++cx) {
          const std::size_t c = cy * cols + cx;
          for (std::size_t e = start[c]; e < start[c + 1]; ++e) {
            const uint32_t j = cell_records[e];
            if (j <= position || !alive[j] || seen[j] == visit) continue;
            seen[j] = visit;
            heap.push_back(j);
            std::push_heap(heap.begin(), heap.end(), later);
          }
        }
    };
    // Reads the cells of `now` outside `covered` (the box only grows, so `now` contains `covered`): the rows
    // above and below it, then the columns left and right of it.
    const auto add_cells = [&](const CellRect& now) {
      if (covered.empty()) {
        add_rect(now.x0, now.x1, now.y0, now.y1);
      } else {
        if (now.y0 < covered.y0) add_rect(now.x0, now.x1, now.y0, covered.y0 - 1);
        if (now.y1 > covered.y1) add_rect(now.x0, now.x1, covered.y1 + 1, now.y1);
        if (now.x0 < covered.x0) add_rect(now.x0, covered.x0 - 1, covered.y0, covered.y1);
        if (now.x1 > covered.x1) add_rect(covered.x1 + 1, now.x1, covered.y0, covered.y1);
      }
      covered = now;
    };
    add_cells(reach(list[i]));
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      const uint32_t j = heap.back();
      heap.pop_back();
      position = j;
      if (!alive[j] || !qualify(list[i], list[j], merge_gap, merge_overlap)) continue;
      merge_into(list[i], list[j]);
      alive[j] = 0;
      changed = true;
      const CellRect grown = reach(list[i]);
      if (grown.x0 != covered.x0 || grown.x1 != covered.x1 || grown.y0 != covered.y0 || grown.y1 != covered.y1)
        add_cells(grown);
    }
  }
  if (changed) {
    std::size_t out = 0;
    for (std::size_t k = 0; k < n; ++k)
      if (alive[k]) list[out++] = list[k];
    list.resize(out);
  }
  return changed;
}

}  // namespace

void merge_clusters(std::vector<ClusterRecord>& list, std::size_t merge_gap, double merge_overlap) {
  // Without a positive overlap ratio, records a whole page apart may qualify across a band; then the plain
  // passes. Few records: the same.
  const bool local = merge_overlap > 0.0 || std::isnan(merge_overlap);
  bool changed = true;
  while (changed)
    changed = local && list.size() > 32 && list.size() < UINT32_MAX ? grid_pass(list, merge_gap, merge_overlap)
                                                                    : pairwise_pass(list, merge_gap, merge_overlap);
}

ClusterList cluster_mask(ByteView mask, std::size_t width, std::size_t height, const ClusterOptions& options) {
  ClusterList result;
  if (width == 0 || height == 0) return result;
  check_mask(mask, width, height);

  Labeling labeling;
  if (options.dilation > 0) {
    Bytes working = dilate_mask(mask, width, height, options.dilation);
    labeling = label_components(working, width, height);
  } else {
    labeling = label_components(mask, width, height);
  }

  auto& parent = labeling.parent;
  std::vector<ComponentStats> stats(parent.size());
  uint32_t last_label = 0, last_root = 0;
  for (std::size_t y = 0; y < height; ++y) {
    const uint32_t* lab = labeling.labels.data() + y * width;
    const uint8_t* own = mask.data() + y * width;
    for (std::size_t x = 0; x < width; ++x) {
      const uint32_t l = lab[x];
      if (l == 0) continue;
      if (l != last_label) {  // runs of one label are common; their root is the same
        last_label = l;
        last_root = find(parent, l);
      }
      ComponentStats& s = stats[last_root];
      ++s.count;
      s.sum_x += x;
      s.sum_y += y;
      s.min_x = std::min<uint64_t>(s.min_x, x);
      s.max_x = std::max<uint64_t>(s.max_x, x);
      s.min_y = std::min<uint64_t>(s.min_y, y);
      s.max_y = std::max<uint64_t>(s.max_y, y);
      if (own[x]) {
        ++s.own;
        s.own_min_x = std::min<uint64_t>(s.own_min_x, x);
        s.own_max_x = std::max<uint64_t>(s.own_max_x, x);
        s.own_min_y = std::min<uint64_t>(s.own_min_y, y);
        s.own_max_y = std::max<uint64_t>(s.own_max_y, y);
      }
    }
  }
  labeling = Labeling{};

  auto& list = result.clusters;
  for (const ComponentStats& s : stats) {
    if (s.count == 0 || s.count < options.min_pixels) continue;
    const std::size_t w = s.max_x - s.min_x + 1, h = s.max_y - s.min_y + 1;
    if (options.min_side != 0 && std::min(w, h) < options.min_side) continue;
    ClusterRecord r;
    r.x = s.min_x;
    r.y = s.min_y;
    r.width = w;
    r.height = h;
    r.centroid_x = static_cast<double>(s.sum_x) / static_cast<double>(s.count);
    r.centroid_y = static_cast<double>(s.sum_y) / static_cast<double>(s.count);
    r.pixel_count = s.count;
    r.merged_from = 1;
    r.own_pixels = s.own;
    if (s.own > 0) {
      r.own_x = s.own_min_x;
      r.own_y = s.own_min_y;
      r.own_width = s.own_max_x - s.own_min_x + 1;
      r.own_height = s.own_max_y - s.own_min_y + 1;
    }
    list.push_back(r);
  }
  result.total_clusters = list.size();

  sort_by_size(list);
  if (options.max_clusters && list.size() > *options.max_clusters) {
    list.resize(*options.max_clusters);
    result.truncated = true;
  }
  if (options.merge_gap > 0 && !list.empty()) {
    merge_clusters(list, options.merge_gap, options.merge_overlap);
    if (list.size() >= 2) sort_by_size(list);
  }
  return result;
}

}  // namespace qf
