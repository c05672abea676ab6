// Kinds of changes for the product layer: the clusters of a decoded pair with their own pixel counts and kinds,
// the kinds of given boxes, and the elements that name changes.
#include <vector>

#include "bindings/boundary.hpp"
#include "classify/classify.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"
#include "core/size.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {

#define QF_CLASSIFY_KW(...) []() { static const char* k[] = {__VA_ARGS__, nullptr}; return const_cast<char**>(k); }()

struct Pixels {
  Py_buffer view{};
  bool held = false;
  ~Pixels() {
    if (held) PyBuffer_Release(&view);
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
};

// A C-contiguous RGBA buffer of width * height pixels.
bool get_rgba(PyObject* object, const char* name, unsigned long long width, unsigned long long height, Pixels& out) {
  if (PyObject_GetBuffer(object, &out.view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a C-contiguous RGBA buffer", name);
    return false;
  }
  out.held = true;
  auto n = pixel_count(width, height);
  if (!n) {
    py::raise(n.error());
    return false;
  }
  if (static_cast<uint64_t>(out.view.len) != *n * 4) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected %llu bytes for %llux%llu RGBA, got %zd", name,
                 static_cast<unsigned long long>(*n * 4), width, height, out.view.len);
    return false;
  }
  return true;
}

// A sequence of (x, y, width, height) tuples of non-negative ints.
bool parse_boxes(PyObject* seq, const char* name, std::vector<PixelBox>& out) {
  PyObject* iter = PyObject_GetIter(seq);
  if (!iter) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of (x, y, width, height) tuples", name);
    return false;
  }
  while (PyObject* item = PyIter_Next(iter)) {
    unsigned long long v[4] = {0, 0, 0, 0};
    bool ok = PyTuple_Check(item) && PyTuple_Size(item) == 4;
    for (Py_ssize_t i = 0; ok && i < 4; ++i) {
      PyObject* value = PyTuple_GetItem(item, i);
      ok = PyLong_Check(value);
      if (ok) v[i] = PyLong_AsUnsignedLongLong(value);
      ok = ok && !PyErr_Occurred();
    }
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      const bool range = PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_OverflowError);
      PyErr_Clear();
      PyErr_Format(range ? PyExc_ValueError : PyExc_TypeError,
                   "argument '%s': expected (x, y, width, height) tuples of non-negative ints", name);
      return false;
    }
    out.push_back({v[0], v[1], v[2], v[3]});
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

PyObject* kind_tuple(const ChangeClass& k) {
  const std::string_view name = change_kind_name(k.kind);
  return Py_BuildValue("(s#ii)", name.data(), static_cast<Py_ssize_t>(name.size()), k.dx, k.dy);
}

}  // namespace

PyObject* classify_changes(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *baseline = nullptr, *current = nullptr, *boxes = nullptr;
  unsigned long long width = 0, height = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOKKO:classify_changes",
                                   QF_CLASSIFY_KW("baseline", "current", "width", "height", "boxes"), &baseline,
                                   &current, &width, &height, &boxes))
    return nullptr;
  Pixels b, c;
  std::vector<PixelBox> list;
  if (!get_rgba(baseline, "baseline", width, height, b) || !get_rgba(current, "current", width, height, c) ||
      !parse_boxes(boxes, "boxes", list))
    return nullptr;
  auto kinds = py::call_unlocked([&]() -> Result<std::vector<ChangeClass>> {
    return classify_changes(RgbaView{b.bytes(), width, height}, RgbaView{c.bytes(), width, height}, list);
  });
  if (!kinds) return nullptr;
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(kinds->size()));
  for (std::size_t i = 0; out && i < kinds->size(); ++i) {
    PyObject* item = kind_tuple((*kinds)[i]);
    if (!item) {
      Py_CLEAR(out);
      break;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

PyObject* change_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *baseline = nullptr, *current = nullptr;
  unsigned long long bw = 0, bh = 0, cw = 0, ch = 0;
  double threshold = 0.1;
  int include_aa = 0;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OKKOKK|$dp:change_clusters",
          QF_CLASSIFY_KW("baseline", "baseline_width", "baseline_height", "current", "current_width",
                         "current_height", "threshold", "include_aa"),
          &baseline, &bw, &bh, &current, &cw, &ch, &threshold, &include_aa))
    return nullptr;
  Pixels b, c;
  if (!get_rgba(baseline, "baseline", bw, bh, b) || !get_rgba(current, "current", cw, ch, c)) return nullptr;
  DiffOptions diff;
  diff.threshold = threshold;
  diff.include_aa = include_aa != 0;
  if (auto bad = check_diff_options(diff)) {
    py::raise(*bad);
    return nullptr;
  }
  struct Found {
    ClusterRecord cluster;
    ChangeClass kind;
  };
  auto found = py::call_unlocked([&]() -> Result<std::vector<Found>> {
    // Both images on their common canvas, as the engine places them.
    auto pair = make_image_pair(Bytes(b.bytes().begin(), b.bytes().end()), bw, bh,
                                Bytes(c.bytes().begin(), c.bytes().end()), cw, ch, false);
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
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(found->size()));
  for (std::size_t i = 0; out && i < found->size(); ++i) {
    const ClusterRecord& k = (*found)[i].cluster;
    const ChangeClass& kind = (*found)[i].kind;
    const std::string_view name = change_kind_name(kind.kind);
    const PixelBox part = named_part({k.own_x, k.own_y, k.own_width, k.own_height}, kind);
    PyObject* item = Py_BuildValue("(nnnnn(nnnn)s#ii)", static_cast<Py_ssize_t>(k.x), static_cast<Py_ssize_t>(k.y),
                                   static_cast<Py_ssize_t>(k.width), static_cast<Py_ssize_t>(k.height),
                                   static_cast<Py_ssize_t>(k.own_pixels), static_cast<Py_ssize_t>(part.x),
                                   static_cast<Py_ssize_t>(part.y), static_cast<Py_ssize_t>(part.width),
                                   static_cast<Py_ssize_t>(part.height), name.data(),
                                   static_cast<Py_ssize_t>(name.size()), kind.dx, kind.dy);
    if (!item) {
      Py_CLEAR(out);
      break;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

PyObject* name_changes(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *changes = nullptr, *elements = nullptr;
  unsigned long long slack = 2;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|K:name_changes", QF_CLASSIFY_KW("changes", "elements", "slack"),
                                   &changes, &elements, &slack))
    return nullptr;
  std::vector<PixelBox> c, e;
  if (!parse_boxes(changes, "changes", c) || !parse_boxes(elements, "elements", e)) return nullptr;
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(c.size()));
  for (std::size_t i = 0; out && i < c.size(); ++i) {
    const auto index = naming_element(c[i], e, slack);
    PyObject* item = index ? PyLong_FromSize_t(*index) : Py_NewRef(Py_None);
    if (!item) {
      Py_CLEAR(out);
      break;
    }
    PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

}  // namespace qf::tools
