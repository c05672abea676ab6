// The pixel comparison under a jitter radius for the product layer: the changes, the jitter and the ignored
// pixels counted apart, clusters of the changes alone, and the diff image that shows all three.
#include <algorithm>
#include <cstring>

#include "bindings/boundary.hpp"
#include "clusters/clusters.hpp"
#include "core/image_pair.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "pixeldiff/jitter.hpp"
#include "pixeldiff/pixeldiff.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {

#define QF_JITTER_KW(...) []() { static const char* k[] = {__VA_ARGS__, nullptr}; return const_cast<char**>(k); }()

struct View {
  Py_buffer view{};
  bool held = false;
  ~View() {
    if (held) PyBuffer_Release(&view);
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
};

bool hold(PyObject* object, const char* name, View& out) {
  if (PyObject_GetBuffer(object, &out.view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a C-contiguous buffer", name);
    return false;
  }
  out.held = true;
  return true;
}

// The classes of build_jitter_mask, plus this one for a Different pixel inside an ignored region.
constexpr uint8_t MASK_IGNORED = 3;

struct Outcome {
  JitterCounts counts;
  uint64_t ignored = 0;
  ClusterList clusters;
  std::optional<Bytes> diff_png;
};

// Ignored regions are drawn hatched: diagonal stripes of the anti-aliasing colour over the faded image, the
// differing pixels inside them in that colour too, so what was ignored stays visible but never reads as a change.
bool hatched(std::size_t x, std::size_t y) { return (x + y) % 8 < 2; }

Result<Outcome> run(const ImagePair& pair, const DiffOptions& options, unsigned radius, ByteView ignore,
                    bool want_clusters, bool want_diff) {
  const std::size_t w = pair.canvas_width, h = pair.canvas_height;
  auto mask = build_jitter_mask(pair.baseline, pair.current, w, h, options, radius);
  if (!mask) return mask.error();
  Outcome out;
  out.counts = mask->counts;
  Bytes& classes = mask->classes;
  if (!ignore.empty()) {
    for (std::size_t i = 0; i < w * h; ++i) {
      if (!ignore[i] || classes[i] == 0) continue;
      if (classes[i] == MASK_DIFFERENT) {
        --out.counts.diff_pixels;
        ++out.ignored;
      } else {
        --out.counts.jitter_pixels;
        ++out.ignored;
      }
      classes[i] = MASK_IGNORED;
    }
  }
  if (want_clusters) {
    Bytes changes(w * h);
    for (std::size_t i = 0; i < w * h; ++i) changes[i] = classes[i] == MASK_DIFFERENT;
    out.clusters = cluster_mask(changes, w, h, ClusterOptions{});
  }
  if (want_diff) {
    auto image = render_diff(pair.baseline, pair.current, w, h, options);
    if (!image) return image.error();
    uint8_t* px = image->rgba.data();
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        const std::size_t i = y * w + x;
        const bool paint_aa = classes[i] == MASK_JITTER || classes[i] == MASK_IGNORED ||
                              (!ignore.empty() && ignore[i] && hatched(x, y));
        if (!paint_aa) continue;
        px[4 * i] = options.aa_color.r;
        px[4 * i + 1] = options.aa_color.g;
        px[4 * i + 2] = options.aa_color.b;
      }
    auto png = encode_png(image->rgba, w, h);
    if (!png) return png.error();
    out.diff_png = std::move(*png);
  }
  return out;
}

}  // namespace

PyObject* jitter_compare(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *b_obj = nullptr, *c_obj = nullptr, *ignore_obj = Py_None;
  unsigned long long bw = 0, bh = 0, cw = 0, ch = 0;
  double threshold = 0.1, alpha = 0.1;
  int include_aa = 0, clusters = 1, diff = 0;
  unsigned int jitter = 1;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "OKKOKK|$dpIOppd:jitter_compare",
          QF_JITTER_KW("baseline", "baseline_width", "baseline_height", "current", "current_width", "current_height",
                       "threshold", "include_aa", "jitter", "ignore", "clusters", "diff", "alpha"),
          &b_obj, &bw, &bh, &c_obj, &cw, &ch, &threshold, &include_aa, &jitter, &ignore_obj, &clusters, &diff,
          &alpha))
    return nullptr;
  View b, c, ig;
  if (!hold(b_obj, "baseline", b) || !hold(c_obj, "current", c)) return nullptr;
  if (ignore_obj != Py_None && !hold(ignore_obj, "ignore", ig)) return nullptr;
  DiffOptions options;
  options.threshold = threshold;
  options.alpha = alpha;
  options.include_aa = include_aa != 0;
  const ByteView bv = b.bytes(), cv = c.bytes();
  const ByteView ignore = ig.held ? ig.bytes() : ByteView{};
  auto outcome = py::call_unlocked([&]() -> Result<Outcome> {
    if (auto e = check_diff_options(options)) return *e;
    auto pair = make_image_pair(Bytes(bv.begin(), bv.end()), bw, bh, Bytes(cv.begin(), cv.end()), cw, ch, false);
    if (!pair) return pair.error();
    if (!ignore.empty() && ignore.size() != pair->canvas_width * pair->canvas_height)
      return err::invalid_argument("ignore must hold one byte per canvas pixel");
    return run(*pair, options, jitter, ignore, clusters != 0, diff != 0);
  });
  if (!outcome) return nullptr;
  PyObject* boxes = PyTuple_New(static_cast<Py_ssize_t>(outcome->clusters.clusters.size()));
  if (!boxes) return nullptr;
  for (std::size_t i = 0; i < outcome->clusters.clusters.size(); ++i) {
    const ClusterRecord& k = outcome->clusters.clusters[i];
    PyObject* box = Py_BuildValue("(nnnnn)", static_cast<Py_ssize_t>(k.x), static_cast<Py_ssize_t>(k.y),
                                  static_cast<Py_ssize_t>(k.width), static_cast<Py_ssize_t>(k.height),
                                  static_cast<Py_ssize_t>(k.pixel_count));
    if (!box) {
      Py_DECREF(boxes);
      return nullptr;
    }
    PyTuple_SetItem(boxes, static_cast<Py_ssize_t>(i), box);
  }
  PyObject* png = Py_None;
  if (outcome->diff_png) {
    char* data = nullptr;
    png = new_bytes(outcome->diff_png->size(), &data);
    if (!png) {
      Py_DECREF(boxes);
      return nullptr;
    }
    std::memcpy(data, outcome->diff_png->data(), outcome->diff_png->size());
  } else {
    Py_INCREF(png);
  }
  return Py_BuildValue("(KKKNN)", static_cast<unsigned long long>(outcome->counts.diff_pixels),
                       static_cast<unsigned long long>(outcome->counts.jitter_pixels),
                       static_cast<unsigned long long>(outcome->ignored), boxes, png);
}

}  // namespace qf::tools
