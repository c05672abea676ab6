#include "tools_native/args.hpp"

#include "bindings/boundary.hpp"
#include "bindings/pytype.hpp"
#include "core/size.hpp"

namespace qf::tools {

int convert(PyObject* o, BufferArg& out) {
  if (PyObject_GetBuffer(o, &out.view, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "expected a C-contiguous buffer");
    return -1;
  }
  out.held = true;
  return 0;
}

int convert(PyObject* o, OptionalBufferArg& out) {
  if (o == Py_None) return 0;
  return convert(o, static_cast<BufferArg&>(out));
}
void append_default(std::string& out, const OptionalBufferArg&) { out += "None"; }

namespace {

// The `index`th int of a tuple as a non-negative 64-bit number.
bool item_u64(PyObject* tuple, Py_ssize_t index, uint64_t& out) {
  PyObject* item = PyTuple_GetItem(tuple, index);
  if (!item || !PyLong_Check(item) || PyBool_Check(item)) return false;
  out = PyLong_AsUnsignedLongLong(item);
  return !PyErr_Occurred();
}

}  // namespace

int convert(PyObject* o, Size& out) {
  if (!PyTuple_Check(o) || PyTuple_Size(o) != 2 || !item_u64(o, 0, out.width) || !item_u64(o, 1, out.height)) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;  // OverflowError: negative
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "expected a (width, height) tuple of ints or None");
    return -1;
  }
  return 0;
}
void append_default(std::string& out, const Size& v) {
  out += '(';
  out += std::to_string(v.width);
  out += ", ";
  out += std::to_string(v.height);
  out += ')';
}

int convert(PyObject* o, RectsArg& out) {
  py::Ref iter(PyObject_GetIter(o));
  if (!iter) return -1;
  while (py::Ref item{PyIter_Next(iter.get())}) {
    Rect r;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 4 || !item_u64(item.get(), 0, r.x) ||
        !item_u64(item.get(), 1, r.y) || !item_u64(item.get(), 2, r.w) || !item_u64(item.get(), 3, r.h)) {
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "expected (x, y, width, height) tuples of ints");
      return -1;
    }
    out.rects.push_back(r);
  }
  return PyErr_Occurred() ? -1 : 0;
}
void append_default(std::string& out, const RectsArg&) { out += "()"; }

bool check_pixels(const BufferArg& buffer, const char* name, uint64_t width, uint64_t height, uint64_t channels) {
  auto n = pixel_count(width, height);
  if (!n) {
    py::raise(n.error());
    return false;
  }
  auto bytes = checked_mul(*n, channels);
  if (!bytes || buffer.size() != *bytes) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected %llu bytes for %llux%llu, got %zu", name,
                 static_cast<unsigned long long>(bytes.value_or(0)), static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(height), buffer.size());
    return false;
  }
  return true;
}

PyObject* new_bytes(std::size_t size, char** data) {
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (out) *data = PyBytes_AsString(out);
  return out;
}

}  // namespace qf::tools
