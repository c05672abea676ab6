#include "classify/classify.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/error.hpp"

namespace qf {

std::string_view change_kind_name(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Added: return "added";
    case ChangeKind::Removed: return "removed";
    case ChangeKind::Recoloured: return "recoloured";
    case ChangeKind::Moved: return "moved";
    case ChangeKind::Content: return "content";
  }
  return "content";
}

namespace {

inline uint32_t pixel(const RgbaView& image, std::size_t x, std::size_t y) {
  uint32_t v;
  std::memcpy(&v, image.data.data() + (y * image.width + x) * 4, 4);
  return v;
}

// The largest difference of the four channels.
inline int distance(uint32_t a, uint32_t b) {
  int d = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const int u = static_cast<int>((a >> shift) & 0xff), v = static_cast<int>((b >> shift) & 0xff);
    d = std::max(d, std::abs(u - v));
  }
  return d;
}

// The pixels read of a box: every pixel, or a regular grid of them when the box is large.
struct Grid {
  std::size_t x0, y0, x1, y1;  // the box, clipped: [x0, x1) × [y0, y1)
  std::size_t step;
  std::size_t count() const { return ((x1 - x0 + step - 1) / step) * ((y1 - y0 + step - 1) / step); }
  template <class F>
  void each(F&& f) const {
    for (std::size_t y = y0; y < y1; y += step)
      for (std::size_t x = x0; x < x1; x += step) f(x, y);
  }
};

// The most frequent colour of the box's outermost rows and columns; on a tie, the smallest value.
uint32_t frame_colour(const RgbaView& image, const Grid& g) {
  std::vector<uint32_t> frame;
  frame.reserve(2 * (g.x1 - g.x0 + g.y1 - g.y0));
  for (std::size_t x = g.x0; x < g.x1; ++x) {
    frame.push_back(pixel(image, x, g.y0));
    if (g.y1 - 1 > g.y0) frame.push_back(pixel(image, x, g.y1 - 1));
  }
  for (std::size_t y = g.y0 + 1; y + 1 < g.y1; ++y) {
    frame.push_back(pixel(image, g.x0, y));
    if (g.x1 - 1 > g.x0) frame.push_back(pixel(image, g.x1 - 1, y));
  }
  std::sort(frame.begin(), frame.end());
  uint32_t best = frame.front();
  std::size_t best_run = 0;
  for (std::size_t i = 0; i < frame.size();) {
    std::size_t j = i;
    while (j < frame.size() && frame[j] == frame[i]) ++j;
    if (j - i > best_run) best_run = j - i, best = frame[i];
    i = j;
  }
  return best;
}

inline bool on_edge(const RgbaView& image, const Grid& g, std::size_t x, std::size_t y, int contrast) {
  const uint32_t v = pixel(image, x, y);
  return (x + 1 < g.x1 && distance(v, pixel(image, x + 1, y)) > contrast) ||
         (y + 1 < g.y1 && distance(v, pixel(image, x, y + 1)) > contrast);
}

struct Tally {
  std::size_t n = 0, changed = 0, ink_baseline = 0, ink_current = 0, edges_either = 0, edges_both = 0;
};

// Does one map from baseline colours to current colours explain the box? Each baseline colour goes to the
// current colour most of its pixels have (the smallest value on a tie); a pixel is explained when its current
// colour is within `same` of the one its baseline colour maps to.
bool colour_map_explains(const RgbaView& b, const RgbaView& c, const Grid& g, const Tally& t,
                         const ClassifyOptions& o) {
  std::vector<uint64_t> pairs;
  pairs.reserve(t.n);
  g.each([&](std::size_t x, std::size_t y) {
    pairs.push_back(uint64_t{pixel(b, x, y)} << 32 | pixel(c, x, y));
  });
  std::sort(pairs.begin(), pairs.end());
  std::size_t explained = 0, explained_changed = 0;
  for (std::size_t i = 0; i < pairs.size();) {
    const uint32_t from = static_cast<uint32_t>(pairs[i] >> 32);
    std::size_t end = i;
    while (end < pairs.size() && static_cast<uint32_t>(pairs[end] >> 32) == from) ++end;
    // Runs of one (from, to) pair inside the group, in ascending `to`: the first longest is the image.
    uint32_t to = 0;
    std::size_t longest = 0;
    for (std::size_t k = i; k < end;) {
      std::size_t r = k;
      while (r < end && pairs[r] == pairs[k]) ++r;
      if (r - k > longest) longest = r - k, to = static_cast<uint32_t>(pairs[k]);
      k = r;
    }
    for (std::size_t k = i; k < end; ++k) {
      const uint32_t now = static_cast<uint32_t>(pairs[k]);
      if (distance(now, to) > o.same) continue;
      ++explained;
      if (distance(from, now) > o.same) ++explained_changed;
    }
    i = end;
  }
  return static_cast<double>(explained) >= o.map_all * static_cast<double>(t.n) &&
         static_cast<double>(explained_changed) >= o.map_changed * static_cast<double>(t.changed);
}

struct Offset {
  std::size_t misses;
  int32_t dx, dy;
  // The order offsets are preferred in: fewer misses, then the shorter move, then up before down and left
  // before right.
  bool operator<(const Offset& other) const {
    const auto key = [](const Offset& o) {
      return std::array<int64_t, 4>{static_cast<int64_t>(o.misses), std::abs(o.dx) + std::abs(o.dy), o.dy, o.dx};
    };
    return key(*this) < key(other);
  }
};

// Is pixel (x, y) of `from` found at (x + dx, y + dy) in `to`? Places outside the image are not.
inline bool found(const RgbaView& from, const RgbaView& to, std::size_t x, std::size_t y, int32_t dx, int32_t dy,
                  int same) {
  const int64_t u = static_cast<int64_t>(x) + dx, v = static_cast<int64_t>(y) + dy;
  if (u < 0 || v < 0 || u >= static_cast<int64_t>(to.width) || v >= static_cast<int64_t>(to.height)) return false;
  return distance(pixel(from, x, y), pixel(to, static_cast<std::size_t>(u), static_cast<std::size_t>(v))) <= same;
}

// Misses of a move at one differing pixel: the baseline pixel not found where the move takes it, and the current
// pixel not found where it came from. Both hold for every differing pixel of a real move: where the content
// left and where it arrived.
inline std::size_t misses_at(const RgbaView& b, const RgbaView& c, std::size_t x, std::size_t y, int32_t dx,
                             int32_t dy, int same) {
  return std::size_t{!found(b, c, x, y, dx, dy, same)} + std::size_t{!found(c, b, x, y, -dx, -dy, same)};
}

// Where the baseline's differing pixels went: the best offset within the search, when it leaves at most
// `move_residual` of the checks of its differing pixels (two each, one per image) missed. Every offset is tried on up to 64 of the differing pixels, evenly spread;
// the few best are then counted on all of them.
std::optional<Offset> find_move(const RgbaView& b, const RgbaView& c, const Grid& g, const Tally& t,
                                const ClassifyOptions& o) {
  constexpr std::size_t SAMPLE = 64, VERIFIED = 4;
  const std::size_t k = std::min(SAMPLE, t.changed);
  std::vector<std::pair<uint32_t, uint32_t>> probe;
  probe.reserve(k);
  std::size_t index = 0;
  g.each([&](std::size_t x, std::size_t y) {
    if (distance(pixel(b, x, y), pixel(c, x, y)) <= o.same) return;
    // The j-th probe is the differing pixel at index floor((2j + 1) * changed / (2k)).
    if (probe.size() < k && index == (2 * probe.size() + 1) * t.changed / (2 * k))
      probe.emplace_back(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    ++index;
  });
  const std::size_t probe_limit = 2 * probe.size() / 8;
  std::vector<Offset> candidates;
  const int32_t s = std::max(0, o.search);
  for (int32_t dy = -s; dy <= s; ++dy)
    for (int32_t dx = -s; dx <= s; ++dx) {
      if (dx == 0 && dy == 0) continue;
      std::size_t misses = 0;
      for (const auto& [x, y] : probe)
        if ((misses += misses_at(b, c, x, y, dx, dy, o.same)) > probe_limit) break;
      if (misses <= probe_limit) candidates.push_back({misses, dx, dy});
    }
  if (candidates.empty()) return std::nullopt;
  std::sort(candidates.begin(), candidates.end());
  candidates.resize(std::min(candidates.size(), VERIFIED));

  const auto budget = static_cast<std::size_t>(o.move_residual * static_cast<double>(2 * t.changed));
  std::optional<Offset> best;
  for (Offset cand : candidates) {
    const std::size_t limit = best ? std::min(budget, best->misses) : budget;
    std::size_t misses = 0;
    bool over = false;
    for (std::size_t y = g.y0; y < g.y1 && !over; y += g.step)
      for (std::size_t x = g.x0; x < g.x1; x += g.step) {
        if (distance(pixel(b, x, y), pixel(c, x, y)) <= o.same) continue;
        if ((misses += misses_at(b, c, x, y, cand.dx, cand.dy, o.same)) > limit) {
          over = true;
          break;
        }
      }
    if (over) continue;
    cand.misses = misses;
    if (!best || cand < *best) best = cand;
  }
  return best;
}

}  // namespace

ChangeClass classify_change(const RgbaView& baseline, const RgbaView& current, PixelBox box,
                            const ClassifyOptions& o) {
  if (baseline.width != current.width || baseline.height != current.height)
    throw InternalFault("classified images differ in size");
  if (baseline.data.size() != baseline.width * baseline.height * 4 || current.data.size() != baseline.data.size())
    throw InternalFault("classified image does not match its size");
  const std::size_t w = baseline.width, h = baseline.height;
  Grid g{std::min(box.x, w), std::min(box.y, h), 0, 0, 1};
  g.x1 = g.x0 + std::min(box.width, w - g.x0);
  g.y1 = g.y0 + std::min(box.height, h - g.y0);
  if (g.x1 == g.x0 || g.y1 == g.y0) return {};
  const std::size_t area = (g.x1 - g.x0) * (g.y1 - g.y0);
  if (area > o.max_samples && o.max_samples > 0)
    g.step = static_cast<std::size_t>(
        std::ceil(std::sqrt(static_cast<double>(area) / static_cast<double>(o.max_samples))));

  const uint32_t bg_b = frame_colour(baseline, g), bg_c = frame_colour(current, g);
  Tally t;
  g.each([&](std::size_t x, std::size_t y) {
    const uint32_t pb = pixel(baseline, x, y), pc = pixel(current, x, y);
    ++t.n;
    t.changed += distance(pb, pc) > o.same;
    t.ink_baseline += distance(pb, bg_b) > o.flat_tolerance;
    t.ink_current += distance(pc, bg_c) > o.flat_tolerance;
    const bool eb = on_edge(baseline, g, x, y, o.edge_contrast), ec = on_edge(current, g, x, y, o.edge_contrast);
    t.edges_either += eb || ec;
    t.edges_both += eb && ec;
  });
  if (t.changed == 0) return {};

  const double flat_limit = o.flat_share * static_cast<double>(t.n);
  const bool flat_b = static_cast<double>(t.ink_baseline) <= flat_limit;
  const bool flat_c = static_cast<double>(t.ink_current) <= flat_limit;
  if (flat_b && !flat_c) return {ChangeKind::Added};
  if (!flat_b && flat_c) return {ChangeKind::Removed};

  const bool edges_agree = static_cast<double>(t.edges_both) >= o.edge_agreement * static_cast<double>(t.edges_either);
  if (edges_agree && colour_map_explains(baseline, current, g, t, o)) return {ChangeKind::Recoloured};

  if (!flat_b) {
    if (auto move = find_move(baseline, current, g, t, o)) return {ChangeKind::Moved, move->dx, move->dy};
  }
  return {};
}

std::vector<ChangeClass> classify_changes(const RgbaView& baseline, const RgbaView& current,
                                          std::span<const PixelBox> boxes, const ClassifyOptions& options) {
  std::vector<ChangeClass> out;
  out.reserve(boxes.size());
  for (const PixelBox& b : boxes) out.push_back(classify_change(baseline, current, b, options));
  return out;
}

std::optional<std::size_t> naming_element(PixelBox change, std::span<const PixelBox> elements, std::size_t slack) {
  if (change.width == 0 || change.height == 0) return std::nullopt;
  std::optional<std::size_t> best;
  unsigned __int128 best_area = 0;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const PixelBox& e = elements[i];
    if (e.width == 0 || e.height == 0) continue;
    // Grown by the slack; the far sides saturate rather than wrap.
    const unsigned __int128 left = e.x > slack ? e.x - slack : 0, top = e.y > slack ? e.y - slack : 0;
    const unsigned __int128 right = static_cast<unsigned __int128>(e.x) + e.width + slack;
    const unsigned __int128 bottom = static_cast<unsigned __int128>(e.y) + e.height + slack;
    const unsigned __int128 cx1 = static_cast<unsigned __int128>(change.x) + change.width;
    const unsigned __int128 cy1 = static_cast<unsigned __int128>(change.y) + change.height;
    if (change.x < left || change.y < top || cx1 > right || cy1 > bottom) continue;
    const unsigned __int128 area = static_cast<unsigned __int128>(e.width) * e.height;
    if (!best || area < best_area) best = i, best_area = area;
  }
  return best;
}

PixelBox named_part(PixelBox change, const ChangeClass& kind) {
  if (kind.kind != ChangeKind::Moved) return change;
  const auto trim = [](std::size_t& start, std::size_t& length, int32_t d) {
    const std::size_t by = std::min<std::size_t>(static_cast<std::size_t>(std::abs(static_cast<int64_t>(d))), length);
    if (d > 0) start += by;
    length -= by;
  };
  trim(change.x, change.width, kind.dx);
  trim(change.y, change.height, kind.dy);
  return change;
}

}  // namespace qf
