// PNG encoding of RGBA pixels with the engine's writer, for the product layer's own images (screenshots that
// arrive decoded and must be stored as baselines, the demo's pages).
#include "bindings/boundary.hpp"
#include "core/size.hpp"
#include "image_io/png.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {

PyObject* encode_png(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"rgba", "width", "height", nullptr};
  PyObject* object = nullptr;
  unsigned long long width = 0, height = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OKK:encode_png", const_cast<char**>(keywords), &object, &width,
                                   &height))
    return nullptr;
  Py_buffer view{};
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_SetString(PyExc_TypeError, "argument 'rgba': expected a C-contiguous buffer");
    return nullptr;
  }
  PyObject* out = nullptr;
  auto pixels = pixel_count(width, height);
  if (!pixels) {
    py::raise(pixels.error());
  } else if (static_cast<uint64_t>(view.len) != *pixels * 4) {
    PyErr_Format(PyExc_ValueError, "argument 'rgba': expected %llu bytes for %llux%llu, got %zd",
                 static_cast<unsigned long long>(*pixels * 4), width, height, view.len);
  } else {
    const ByteView rgba{static_cast<const uint8_t*>(view.buf), static_cast<std::size_t>(view.len)};
    auto png = py::call_unlocked([&] { return qf::encode_png(rgba, width, height); });
    if (png)
      out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(png->data()),
                                      static_cast<Py_ssize_t>(png->size()));
  }
  PyBuffer_Release(&view);
  return out;
}

}  // namespace qf::tools
