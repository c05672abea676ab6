// Layout-aware shift analysis for the product layer: column bands that moved beside static columns, and the
// residual changes once the shifts are taken out.
#include <cstring>

#include "bindings/boundary.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "layout/layout.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {

#define QF_LAYOUT_KW(...) []() { static const char* k[] = {__VA_ARGS__, nullptr}; return const_cast<char**>(k); }()

struct Held {
  Py_buffer view{};
  bool held = false;
  ~Held() {
    if (held) PyBuffer_Release(&view);
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
};

// An image argument: PNG bytes when `size` is None, else width * height * 4 RGBA bytes with size (width, height).
struct ImageArg {
  Held buffer;
  bool png = true;
  std::size_t width = 0, height = 0;
};

bool parse_image(PyObject* object, PyObject* size, const char* name, ImageArg& out) {
  if (PyObject_GetBuffer(object, &out.buffer.view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected PNG bytes or a C-contiguous RGBA buffer", name);
    return false;
  }
  out.buffer.held = true;
  if (size == Py_None) return true;
  out.png = false;
  unsigned long long w = 0, h = 0;
  PyObject* wo = nullptr;
  PyObject* ho = nullptr;
  if (PyTuple_Check(size) && PyTuple_Size(size) == 2) {
    wo = PyTuple_GetItem(size, 0);
    ho = PyTuple_GetItem(size, 1);
  }
  if (!wo || !ho || !PyLong_Check(wo) || !PyLong_Check(ho)) {
    PyErr_Format(PyExc_TypeError, "argument '%s_size': expected a (width, height) tuple of ints or None", name);
    return false;
  }
  w = PyLong_AsUnsignedLongLong(wo);
  if (!PyErr_Occurred()) h = PyLong_AsUnsignedLongLong(ho);
  if (PyErr_Occurred()) return false;
  auto n = pixel_count(w, h);
  if (!n) {
    py::raise(n.error());
    return false;
  }
  if (static_cast<uint64_t>(out.buffer.view.len) != *n * 4) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected %llu bytes for %llux%llu RGBA, got %zd", name,
                 static_cast<unsigned long long>(*n * 4), w, h, out.buffer.view.len);
    return false;
  }
  out.width = w;
  out.height = h;
  return true;
}

Result<RgbaImage> image_of(const ImageArg& a) {
  if (a.png) return decode_png(a.buffer.bytes());
  ByteView v = a.buffer.bytes();
  return RgbaImage{a.width, a.height, Bytes(v.begin(), v.end())};
}

struct Outcome {
  LayoutRecord record;
  ClusterList clusters;
  std::optional<Bytes> diff_png;
};

const char* verdict_name(LayoutVerdict v) {
  switch (v) {
    case LayoutVerdict::Unaligned: return "unaligned";
    case LayoutVerdict::Unchanged: return "unchanged";
    case LayoutVerdict::Shifted: return "shifted";
    case LayoutVerdict::Changed: return "changed";
  }
  return "unaligned";
}

}  // namespace

PyObject* analyze_layout(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *baseline = nullptr, *current = nullptr, *baseline_size = Py_None, *current_size = Py_None;
  double threshold = 0.1, max_edit_ratio = 0.25;
  int include_aa = 0, diff = 0;
  unsigned long long max_edit_rows = 2048;
  PyObject* max_residual = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$dpdKpO:analyze_layout",
                                   QF_LAYOUT_KW("baseline", "current", "baseline_size", "current_size", "threshold",
                                                "include_aa", "max_edit_ratio", "max_edit_rows", "diff",
                                                "max_residual"),
                                   &baseline, &current, &baseline_size, &current_size, &threshold, &include_aa,
                                   &max_edit_ratio, &max_edit_rows, &diff, &max_residual))
    return nullptr;
  LayoutOptions layout;
  if (max_residual != Py_None) {
    if (!PyLong_Check(max_residual)) {
      PyErr_SetString(PyExc_TypeError, "argument 'max_residual': expected an int or None");
      return nullptr;
    }
    const unsigned long long cap = PyLong_AsUnsignedLongLong(max_residual);
    if (PyErr_Occurred()) return nullptr;
    layout.static_residual_cap = cap;
  }
  ImageArg b, c;
  if (!parse_image(baseline, baseline_size, "baseline", b) || !parse_image(current, current_size, "current", c))
    return nullptr;
  DiffOptions options;
  options.threshold = threshold;
  options.include_aa = include_aa != 0;
  const AlignOptions align{max_edit_ratio, static_cast<std::size_t>(max_edit_rows)};

  auto outcome = py::call_unlocked([&]() -> Result<Outcome> {
    if (auto e = check_diff_options(options)) return *e;
    auto bi = image_of(b);
    if (!bi) return std::move(bi).error();
    auto ci = image_of(c);
    if (!ci) return std::move(ci).error();
    auto pair = make_image_pair(std::move(bi->data), bi->width, bi->height, std::move(ci->data), ci->width,
                                ci->height, false);
    if (!pair) return std::move(pair).error();
    auto record = qf::analyze_layout(*pair, options, align, layout);
    if (!record) return std::move(record).error();
    Outcome out{std::move(*record), {}, std::nullopt};
    // Without a moved column the analysis adds nothing to the plain comparison: no clusters or image for it.
    if (out.record.verdict == LayoutVerdict::Unaligned || !out.record.any_moved()) return out;
    if (out.record.residual_count > 0) {
      auto clusters = layout_clusters(*pair, out.record, options, ClusterOptions{});
      if (!clusters) return std::move(clusters).error();
      out.clusters = std::move(*clusters);
    }
    if (diff) {
      auto rgba = render_layout_diff(*pair, out.record, options);
      if (!rgba) return std::move(rgba).error();
      auto png = encode_png(*rgba, pair->canvas_width, pair->current_height);
      if (!png) return std::move(png).error();
      out.diff_png = std::move(*png);
    }
    return out;
  });
  if (!outcome) return nullptr;

  const std::vector<ColumnBand> bands = column_bands(outcome->record);
  PyObject* band_tuple = PyTuple_New(static_cast<Py_ssize_t>(bands.size()));
  if (!band_tuple) return nullptr;
  for (std::size_t i = 0; i < bands.size(); ++i) {
    const ColumnBand& k = bands[i];
    PyObject* item = Py_BuildValue("(snnnn)", k.deleted ? "deleted" : "inserted", static_cast<Py_ssize_t>(k.y),
                                   static_cast<Py_ssize_t>(k.rows), static_cast<Py_ssize_t>(k.x0),
                                   static_cast<Py_ssize_t>(k.x1));
    if (!item) {
      Py_DECREF(band_tuple);
      return nullptr;
    }
    PyTuple_SetItem(band_tuple, static_cast<Py_ssize_t>(i), item);
  }
  const auto& found = outcome->clusters.clusters;
  PyObject* cluster_tuple = PyTuple_New(static_cast<Py_ssize_t>(found.size()));
  if (!cluster_tuple) {
    Py_DECREF(band_tuple);
    return nullptr;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ClusterRecord& k = found[i];
    PyObject* item = Py_BuildValue("(nnnnn)", static_cast<Py_ssize_t>(k.x), static_cast<Py_ssize_t>(k.y),
                                   static_cast<Py_ssize_t>(k.width), static_cast<Py_ssize_t>(k.height),
                                   static_cast<Py_ssize_t>(k.own_pixels));
    if (!item) {
      Py_DECREF(band_tuple);
      Py_DECREF(cluster_tuple);
      return nullptr;
    }
    PyTuple_SetItem(cluster_tuple, static_cast<Py_ssize_t>(i), item);
  }
  PyObject* png = Py_None;
  if (outcome->diff_png) {
    char* data = nullptr;
    png = new_bytes(outcome->diff_png->size(), &data);
    if (!png) {
      Py_DECREF(band_tuple);
      Py_DECREF(cluster_tuple);
      return nullptr;
    }
    if (!outcome->diff_png->empty()) std::memcpy(data, outcome->diff_png->data(), outcome->diff_png->size());
  } else {
    Py_INCREF(png);
  }
  return Py_BuildValue("(sNKNNn)", verdict_name(outcome->record.verdict), band_tuple,
                       static_cast<unsigned long long>(outcome->record.residual_count), cluster_tuple, png,
                       static_cast<Py_ssize_t>(outcome->record.searches));
}

}  // namespace qf::tools
