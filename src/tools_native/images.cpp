// Image helpers of the product layer: PNG decoding into caller-visible pixels, RGB expansion, ignored regions and
// thumbnails of decoded images. Pixel buffers arrive through the buffer protocol and are read in place.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bindings/boundary.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "image_io/thumbnail.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {

using Keywords = char*[];
#define QF_KW(...) []() { static const char* k[] = {__VA_ARGS__, nullptr}; return const_cast<char**>(k); }()

// A Py_buffer released on scope exit.
struct Buffer {
  Py_buffer view{};
  bool held = false;
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
  ByteView bytes() const { return {static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)}; }
};

// Holds a C-contiguous buffer of `object`; false with TypeError set when it has none.
bool get_buffer(PyObject* object, const char* name, Buffer& out) {
  if (PyObject_GetBuffer(object, &out.view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a C-contiguous buffer", name);
    return false;
  }
  out.held = true;
  return true;
}

// ValueError unless the buffer holds width * height * channels bytes.
bool check_pixels(const Buffer& b, const char* name, uint64_t width, uint64_t height, uint64_t channels) {
  auto n = pixel_count(width, height);
  if (!n) {
    py::raise(n.error());
    return false;
  }
  if (static_cast<uint64_t>(b.view.len) != *n * channels) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected %llu bytes for %llux%llu, got %zd", name,
                 static_cast<unsigned long long>(*n * channels), static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(height), b.view.len);
    return false;
  }
  return true;
}

struct Rect {
  uint64_t x, y, w, h;
};

// A sequence of (x, y, width, height) tuples of non-negative ints.
bool parse_rects(PyObject* seq, std::vector<Rect>& out) {
  PyObject* iter = PyObject_GetIter(seq);
  if (!iter) return false;
  while (PyObject* item = PyIter_Next(iter)) {
    uint64_t v[4] = {0, 0, 0, 0};
    bool ok = PyTuple_Check(item) && PyTuple_Size(item) == 4;
    for (Py_ssize_t i = 0; ok && i < 4; ++i) {
      v[i] = PyLong_AsUnsignedLongLong(PyTuple_GetItem(item, i));
      ok = !PyErr_Occurred();
    }
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "argument 'rects': expected (x, y, width, height) tuples of ints");
      }
      return false;
    }
    out.push_back({v[0], v[1], v[2], v[3]});
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

}  // namespace

PyObject* decode_rgba(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* png = nullptr;
  int writable = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|p:decode_rgba", QF_KW("png", "writable"), &PyBytes_Type, &png,
                                   &writable))
    return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(png, &data, &size) < 0) return nullptr;
  ByteView view(reinterpret_cast<const uint8_t*>(data), static_cast<std::size_t>(size));
  auto image = py::call_unlocked([&] { return decode_png(view); });
  if (!image) return nullptr;
  const std::size_t n = image->data.size();
  PyObject* pixels = nullptr;
  char* out = nullptr;
  if (writable) {
    pixels = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (pixels) out = PyByteArray_AsString(pixels);
  } else {
    pixels = new_bytes(n, &out);
  }
  if (!pixels) return nullptr;
  if (n) {
    Py_BEGIN_ALLOW_THREADS std::memcpy(out, image->data.data(), n);
    Py_END_ALLOW_THREADS
  }
  return Py_BuildValue("(Nnn)", pixels, static_cast<Py_ssize_t>(image->width),
                       static_cast<Py_ssize_t>(image->height));
}

PyObject* rgb_to_rgba(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* object = nullptr;
  unsigned long long width = 0, height = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKK:rgb_to_rgba", QF_KW("rgb", "width", "height"), &object, &width,
                                   &height))
    return nullptr;
  Buffer rgb;
  if (!get_buffer(object, "rgb", rgb) || !check_pixels(rgb, "rgb", width, height, 3)) return nullptr;
  const std::size_t pixels = static_cast<std::size_t>(rgb.view.len / 3);
  char* out = nullptr;
  PyObject* result = new_bytes(pixels * 4, &out);
  if (!result) return nullptr;
  const uint8_t* in = rgb.bytes().data();
  auto* o = reinterpret_cast<uint8_t*>(out);
  Py_BEGIN_ALLOW_THREADS for (std::size_t p = 0; p < pixels; ++p) {
    o[4 * p] = in[3 * p];
    o[4 * p + 1] = in[3 * p + 1];
    o[4 * p + 2] = in[3 * p + 2];
    o[4 * p + 3] = 255;
  }
  Py_END_ALLOW_THREADS return result;
}

PyObject* apply_ignore(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *current_obj = nullptr, *baseline_obj = nullptr, *rects_obj = nullptr, *mask_obj = Py_None;
  unsigned long long cw = 0, ch = 0, bw = 0, bh = 0, mw = 0, mh = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKKOKK|OOKK:apply_ignore",
                                   QF_KW("current", "current_width", "current_height", "baseline", "baseline_width",
                                         "baseline_height", "rects", "mask", "mask_width", "mask_height"),
                                   &current_obj, &cw, &ch, &baseline_obj, &bw, &bh, &rects_obj, &mask_obj, &mw, &mh))
    return nullptr;
  Buffer current, baseline, mask;
  if (!get_buffer(current_obj, "current", current) || !check_pixels(current, "current", cw, ch, 4)) return nullptr;
  if (!get_buffer(baseline_obj, "baseline", baseline) || !check_pixels(baseline, "baseline", bw, bh, 4))
    return nullptr;
  std::vector<Rect> rects;
  if (rects_obj && rects_obj != Py_None && !parse_rects(rects_obj, rects)) return nullptr;
  const bool has_mask = mask_obj != Py_None;
  if (has_mask && (!get_buffer(mask_obj, "mask", mask) || !check_pixels(mask, "mask", mw, mh, 1))) return nullptr;

  char* out = nullptr;
  PyObject* result = new_bytes(static_cast<std::size_t>(current.view.len), &out);
  if (!result) return nullptr;
  // Only where both images have pixels: elsewhere one side is canvas padding, which is a difference of size.
  const std::size_t w = std::min(cw, bw), h = std::min(ch, bh);
  const uint8_t* cur = current.bytes().data();
  const uint8_t* base = baseline.bytes().data();
  const uint8_t* m = has_mask ? mask.bytes().data() : nullptr;
  auto* o = reinterpret_cast<uint8_t*>(out);
  Py_BEGIN_ALLOW_THREADS if (current.view.len) std::memcpy(o, cur, static_cast<std::size_t>(current.view.len));
  for (const Rect& r : rects) {
    if (r.x >= w || r.y >= h) continue;
    const std::size_t x1 = r.x + std::min<uint64_t>(r.w, w - r.x), y1 = r.y + std::min<uint64_t>(r.h, h - r.y);
    for (std::size_t y = r.y; y < y1; ++y)
      std::memcpy(o + 4 * (y * cw + r.x), base + 4 * (y * bw + r.x), 4 * (x1 - r.x));
  }
  if (m) {
    const std::size_t mw_ = std::min<uint64_t>(w, mw), mh_ = std::min<uint64_t>(h, mh);
    for (std::size_t y = 0; y < mh_; ++y) {
      const uint8_t* row = m + y * mw;
      for (std::size_t x = 0; x < mw_; ++x)
        if (row[x]) std::memcpy(o + 4 * (y * cw + x), base + 4 * (y * bw + x), 4);
    }
  }
  Py_END_ALLOW_THREADS return result;
}

PyObject* thumbnail_rgba(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* object = nullptr;
  unsigned long long width = 0, height = 0, thumb_width = 0, thumb_height = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKKK|K:thumbnail_rgba",
                                   QF_KW("rgba", "width", "height", "thumbnail_width", "thumbnail_height"), &object,
                                   &width, &height, &thumb_width, &thumb_height))
    return nullptr;
  Buffer rgba;
  if (!get_buffer(object, "rgba", rgba) || !check_pixels(rgba, "rgba", width, height, 4)) return nullptr;
  ThumbnailRequest request;
  request.width = thumb_width;
  if (thumb_height) request.height = thumb_height;
  auto webp = py::call_unlocked([&] { return make_thumbnail(rgba.bytes(), width, height, request); });
  if (!webp) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(webp->data()),
                                   static_cast<Py_ssize_t>(webp->size()));
}

}  // namespace qf::tools
