// Kinds of changes for the product layer: the clusters of a decoded pair with their own pixel counts and kinds,
// the kinds of given boxes, and the elements that name changes.
#include <vector>

#include "bindings/boundary.hpp"
#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "classify/classify.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "tools_native/args.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/records.hpp"

namespace qf::tools {
namespace {

const RecordType CHANGE{"Change", "The kind of one change; for \"moved\", where the content went (dx, dy).",
                        {"kind", "dx", "dy"}};
const RecordType CHANGE_CLUSTER{
    "ChangeCluster",
    "A cluster of differing pixels: its box, the differing pixels of its own group (pixels), the part an\n"
    "element must hold to name it (part: the box of those pixels; for a move, where the content went), and\n"
    "its kind.",
    {"x", "y", "width", "height", "pixels", "part", "kind", "dx", "dy"}};

std::vector<PixelBox> boxes_of(const RectsArg& rects) {
  std::vector<PixelBox> out;
  out.reserve(rects.rects.size());
  for (const Rect& r : rects.rects) out.push_back({r.x, r.y, r.w, r.h});
  return out;
}

PyObject* kind_name(const ChangeClass& k) {
  const std::string_view name = change_kind_name(k.kind);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

struct ClassifyArgs {
  BufferArg baseline, current;
  uint64_t width = 0, height = 0;
  RectsArg boxes;
};
constexpr auto classify_baseline = QF_REQUIRED(ClassifyArgs, baseline);
constexpr auto classify_current = QF_REQUIRED(ClassifyArgs, current);
constexpr auto classify_width = QF_REQUIRED(ClassifyArgs, width);
constexpr auto classify_height = QF_REQUIRED(ClassifyArgs, height);
constexpr auto classify_boxes = QF_REQUIRED(ClassifyArgs, boxes);

PyObject* classify_changes(PyObject*, ClassifyArgs& a) {
  if (!check_pixels(a.baseline, "baseline", a.width, a.height, 4) ||
      !check_pixels(a.current, "current", a.width, a.height, 4))
    return nullptr;
  const std::vector<PixelBox> boxes = boxes_of(a.boxes);
  auto kinds = py::call_unlocked([&]() -> Result<std::vector<ChangeClass>> {
    return classify_changes(RgbaView{a.baseline.bytes(), a.width, a.height},
                            RgbaView{a.current.bytes(), a.width, a.height}, boxes);
  });
  if (!kinds) return nullptr;
  return tuple_of(*kinds, [](const ChangeClass& k) {
    return CHANGE.make({kind_name(k), PyLong_FromLong(k.dx), PyLong_FromLong(k.dy)});
  });
}

struct ClustersArgs : DiffOptions {
  BufferArg baseline;
  uint64_t baseline_width = 0, baseline_height = 0;
  BufferArg current;
  uint64_t current_width = 0, current_height = 0;
};
constexpr auto clusters_baseline = QF_REQUIRED(ClustersArgs, baseline);
constexpr auto clusters_baseline_width = QF_REQUIRED(ClustersArgs, baseline_width);
constexpr auto clusters_baseline_height = QF_REQUIRED(ClustersArgs, baseline_height);
constexpr auto clusters_current = QF_REQUIRED(ClustersArgs, current);
constexpr auto clusters_current_width = QF_REQUIRED(ClustersArgs, current_width);
constexpr auto clusters_current_height = QF_REQUIRED(ClustersArgs, current_height);

struct Found {
  ClusterRecord cluster;
  ChangeClass kind;
};

PyObject* change_clusters(PyObject*, ClustersArgs& a) {
  if (!check_pixels(a.baseline, "baseline", a.baseline_width, a.baseline_height, 4) ||
      !check_pixels(a.current, "current", a.current_width, a.current_height, 4))
    return nullptr;
  const DiffOptions& diff = a;
  auto found = py::call_unlocked([&]() -> Result<std::vector<Found>> {
    if (auto bad = check_diff_options(diff)) return *bad;
    // Both images on their common canvas, as the engine places them.
    ByteView b = a.baseline.bytes(), c = a.current.bytes();
    auto pair = make_image_pair(Bytes(b.begin(), b.end()), a.baseline_width, a.baseline_height,
                                Bytes(c.begin(), c.end()), a.current_width, a.current_height, false);
    if (!pair) return std::move(pair).error();
    const std::size_t width = pair->canvas_width, height = pair->canvas_height;
    auto mask = build_diff_mask(pair->baseline, pair->current, width, height, diff);
    if (!mask) return std::move(mask).error();
    const ClusterList list = cluster_mask(mask->bits, width, height, ClusterOptions{});
    const RgbaView bv{pair->baseline, width, height}, cv{pair->current, width, height};
    std::vector<Found> out;
    for (const ClusterRecord& k : list.clusters)
      out.push_back({k, classify_change(bv, cv, {k.x, k.y, k.width, k.height})});
    return out;
  });
  if (!found) return nullptr;
  return tuple_of(*found, [](const Found& f) {
    const ClusterRecord& k = f.cluster;
    const PixelBox part = named_part({k.own_x, k.own_y, k.own_width, k.own_height}, f.kind);
    return CHANGE_CLUSTER.make({py::to_py(k.x), py::to_py(k.y), py::to_py(k.width), py::to_py(k.height),
                                py::to_py(k.own_pixels),
                                Py_BuildValue("(nnnn)", static_cast<Py_ssize_t>(part.x),
                                              static_cast<Py_ssize_t>(part.y), static_cast<Py_ssize_t>(part.width),
                                              static_cast<Py_ssize_t>(part.height)),
                                kind_name(f.kind), PyLong_FromLong(f.kind.dx), PyLong_FromLong(f.kind.dy)});
  });
}

struct NameArgs {
  RectsArg changes, elements;
  uint64_t slack = 2;
};
constexpr auto name_changes_changes = QF_REQUIRED(NameArgs, changes);
constexpr auto name_changes_elements = QF_REQUIRED(NameArgs, elements);
constexpr auto name_changes_slack = QF_PARAM(NameArgs, slack);

PyObject* name_changes(PyObject*, NameArgs& a) {
  const std::vector<PixelBox> changes = boxes_of(a.changes), elements = boxes_of(a.elements);
  std::vector<std::optional<std::size_t>> named;
  named.reserve(changes.size());
  for (const PixelBox& c : changes) named.push_back(naming_element(c, elements, a.slack));
  return tuple_of(named, [](const std::optional<std::size_t>& i) {
    return i ? PyLong_FromSize_t(*i) : Py_NewRef(Py_None);
  });
}

const py::Entry entries[] = {
    py::function<"classify_changes", classify_changes, classify_baseline, classify_current, classify_width,
                 classify_height, classify_boxes>(
        "The kind of the change inside each (x, y, width, height) box of two RGBA images of one size: a tuple of\n"
        "Change records (kind \"added\", \"removed\", \"recoloured\", \"moved\" (content found at +dx, +dy) or\n"
        "\"content\")."),
    py::function<"change_clusters", change_clusters, clusters_baseline, clusters_baseline_width,
                 clusters_baseline_height, clusters_current, clusters_current_width, clusters_current_height,
                 py::params::threshold, py::params::include_aa>(
        "The clusters of the differing pixels of two RGBA images on their common canvas (the engine's default\n"
        "cluster options), largest first, as ChangeCluster records with their own pixel counts and kinds."),
    py::function<"name_changes", name_changes, name_changes_changes, name_changes_elements, name_changes_slack>(
        "For each (x, y, width, height) change, the index of the smallest element box (the first on a tie) that\n"
        "holds it once grown by slack pixels, or None."),
};

}  // namespace

std::span<const py::Entry> classify_functions() { return entries; }

}  // namespace qf::tools
