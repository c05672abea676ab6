#include "bindings/args.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "bindings/pytype.hpp"

namespace qf::py {

namespace {

const char* type_name(PyObject* o) {
  // The short name of o's type, for messages; the string lives as long as the type.
  static thread_local std::string name;
  PyObject* n = PyType_GetName(Py_TYPE(o));
  if (!n) {
    PyErr_Clear();
    return "object";
  }
  const char* s = PyUnicode_AsUTF8AndSize(n, nullptr);
  name = s ? s : "object";
  Py_DECREF(n);
  return name.c_str();
}

// True for NumPy's boolean scalar type (numpy.bool_ / numpy.bool).
bool is_numpy_bool(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
  if (!module) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  PyObject* name = PyType_GetName(type);
  if (!name) {
    PyErr_Clear();
    return false;
  }
  bool match = PyUnicode_CompareWithASCIIString(name, "bool_") == 0 || PyUnicode_CompareWithASCIIString(name, "bool") == 0;
  Py_DECREF(name);
  return match;
}

constexpr std::size_t RESERVE_HINT_LIMIT = std::size_t{1} << 20;

int convert_u8(PyObject* item, uint8_t& out, const char* what) {
  if (!PyLong_Check(item)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be interpreted as an integer", type_name(item));
    return -1;
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(item, &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || v < 0 || v > 255) {
    PyErr_Format(PyExc_OverflowError, "%s must be in the range 0 to 255", what);
    return -1;
  }
  out = static_cast<uint8_t>(v);
  return 0;
}

// One member of a pair: bytes (read directly), bytearray, or any non-str sequence of ints 0..255.
int copy_member(PyObject* o, Bytes& out) {
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    const bool bytes = PyBytes_Check(o);
    const char* data = bytes ? PyBytes_AsString(o) : PyByteArray_AsString(o);
    const Py_ssize_t size = bytes ? PyBytes_Size(o) : PyByteArray_Size(o);
    if (!data || size < 0) return -1;
    out.assign(data, data + size);
    return 0;
  }
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a bytes-like sequence of ints for a PNG, got '%s'", type_name(o));
    return -1;
  }
  Ref it(PyObject_GetIter(o));
  if (!it.get()) return -1;
  // The length is only a hint (a sequence may claim any size): reserve no more than a modest amount up front.
  // A sequence that really is too large ends in MemoryError at the entry point.
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) PyErr_Clear();
  if (hint > 0) out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), RESERVE_HINT_LIMIT));
  while (Ref item{PyIter_Next(it.get())}) {
    uint8_t v;
    if (convert_u8(item.get(), v, "byte value") < 0) return -1;
    out.push_back(v);
  }
  return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int convert(PyObject* o, double& out) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return -1;
  out = v;
  return 0;
}

int convert(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = (o == Py_True);
    return 0;
  }
  if (is_numpy_bool(o)) {
    int v = PyObject_IsTrue(o);
    if (v < 0) return -1;
    out = v != 0;
    return 0;
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bool'", type_name(o));
  return -1;
}

int convert(PyObject* o, uint64_t& out) {
  PyObject* index = PyNumber_Index(o);  // TypeError for non-integers
  if (!index) return -1;
  unsigned long long v = PyLong_AsUnsignedLongLong(index);  // OverflowError for negative or too large
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  out = v;
  return 0;
}

int convert(PyObject* o, Rgb& out) {
  if (!PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'", type_name(o));
    return -1;
  }
  Py_ssize_t n = PyTuple_Size(o);
  if (n != 3) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", n);
    return -1;
  }
  uint8_t c[3];
  for (Py_ssize_t i = 0; i < 3; ++i)
    if (convert_u8(PyTuple_GetItem(o, i), c[i], "colour component") < 0) return -1;
  out = Rgb{c[0], c[1], c[2]};
  return 0;
}

int convert(PyObject* o, BytesArg& out) {
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bytes'", type_name(o));
    return -1;
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return -1;
  out.data = reinterpret_cast<const uint8_t*>(data);
  out.size = static_cast<std::size_t>(size);
  return 0;
}

int convert(PyObject* o, PairsArg& out) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(o));
    return -1;
  }
  Ref it(PyObject_GetIter(o));
  if (!it.get()) return -1;
  out.pairs.clear();
  while (Ref item{PyIter_Next(it.get())}) {
    if (!PyTuple_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'", type_name(item.get()));
      return -1;
    }
    if (Py_ssize_t n = PyTuple_Size(item.get()); n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return -1;
    }
    std::pair<Bytes, Bytes> pair;
    if (copy_member(PyTuple_GetItem(item.get(), 0), pair.first) < 0 ||
        copy_member(PyTuple_GetItem(item.get(), 1), pair.second) < 0)
      return -1;
    out.pairs.push_back(std::move(pair));
  }
  return PyErr_Occurred() ? -1 : 0;
}

void prefix_type_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  if (!PyErr_GivenExceptionMatches(exc, PyExc_TypeError)) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* text = PyObject_Str(exc);
  if (!text) {
    Py_DECREF(exc);
    return;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  if (!message) {
    Py_DECREF(exc);
    return;
  }
  PyObject* wrapped = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
  Py_DECREF(message);
  if (!wrapped) {
    Py_DECREF(exc);
    return;
  }
  PyException_SetCause(wrapped, exc);  // steals exc
  PyErr_SetRaisedException(wrapped);
}

bool collect_args(const char* function, std::span<const char* const> names, std::size_t required,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const std::size_t count = names.size();
  if (static_cast<std::size_t>(nargs) > count) {
    if (count == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, count,
                   count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    std::size_t index = count;
    for (std::size_t f = 0; f < count; ++f) {
      if (PyUnicode_CompareWithASCIIString(name, names[f]) == 0) {
        index = f;
        break;
      }
    }
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
      return false;
    }
    if (slots[index]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function,
                   names[index], index + 1);
      return false;
    }
    slots[index] = args[nargs + k];
  }
  for (std::size_t f = 0; f < required; ++f) {
    if (!slots[f]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[f], f + 1);
      return false;
    }
  }
  return true;
}

bool tuple_to_vector(PyObject* args, PyObject* kwargs, std::vector<PyObject*>& vector, PyObject** kwnames) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) vector.push_back(PyTuple_GetItem(args, i));
  if (!kwargs || PyDict_Size(kwargs) == 0) return true;
  if (!(*kwnames = PyTuple_New(PyDict_Size(kwargs)))) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0, k = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    Py_INCREF(key);
    PyTuple_SetItem(*kwnames, k++, key);  // steals the new reference
    vector.push_back(value);
  }
  return true;
}

void append_default(std::string& out, double v) {
  // Python's repr: the shortest text that reads back as v, with ".0" when it would look like an integer.
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  const std::string text(buf, end);
  out += text;
  if (text.find_first_of(".eEn") == std::string::npos) out += ".0";
}
void append_default(std::string& out, bool v) { out += v ? "True" : "False"; }
void append_default(std::string& out, uint64_t v) { out += std::to_string(v); }
void append_default(std::string& out, const Rgb&) { out += "..."; }

bool check_unit(double value, const char* message) {
  if (value >= 0.0 && value <= 1.0) return true;
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

}  // namespace qf::py
