#include "bindings/args.hpp"

#include <string>
#include <vector>

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

// Re-raises a pending TypeError as "argument '<name>': <message>" with the original as its cause.
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
  if (PyBytes_Check(o)) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return -1;
    out.assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + size);
    return 0;
  }
  if (PyByteArray_Check(o)) {
    const char* data = PyByteArray_AsString(o);
    Py_ssize_t size = PyByteArray_Size(o);
    if (size < 0) return -1;
    out.assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
    return 0;
  }
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected a bytes-like sequence of ints for a PNG, got '%s'", type_name(o));
    return -1;
  }
  PyObject* it = PyObject_GetIter(o);
  if (!it) return -1;
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) PyErr_Clear();
  else out.reserve(static_cast<std::size_t>(hint));
  while (PyObject* item = PyIter_Next(it)) {
    uint8_t v;
    int rc = convert_u8(item, v, "byte value");
    Py_DECREF(item);
    if (rc < 0) {
      Py_DECREF(it);
      return -1;
    }
    out.push_back(v);
  }
  Py_DECREF(it);
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

int convert(PyObject* o, std::optional<uint64_t>& out) {
  if (o == Py_None) {
    out.reset();
    return 0;
  }
  uint64_t v;
  if (convert(o, v) < 0) return -1;
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

int convert(PyObject* o, std::optional<Rgb>& out) {
  if (o == Py_None) {
    out.reset();
    return 0;
  }
  Rgb v;
  if (convert(o, v) < 0) return -1;
  out = v;
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
  PyObject* it = PyObject_GetIter(o);
  if (!it) return -1;
  out.pairs.clear();
  while (PyObject* item = PyIter_Next(it)) {
    int rc = -1;
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'", type_name(item));
    } else if (Py_ssize_t n = PyTuple_Size(item); n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    } else {
      std::pair<Bytes, Bytes> pair;
      if (copy_member(PyTuple_GetItem(item, 0), pair.first) == 0 &&
          copy_member(PyTuple_GetItem(item, 1), pair.second) == 0) {
        out.pairs.push_back(std::move(pair));
        rc = 0;
      }
    }
    Py_DECREF(item);
    if (rc < 0) {
      Py_DECREF(it);
      return -1;
    }
  }
  Py_DECREF(it);
  return PyErr_Occurred() ? -1 : 0;
}

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, void* out) {
  const std::size_t count = sig.fields.size();
  PyObject* slots[32] = {};
  if (count > 32) {
    PyErr_SetString(PyExc_SystemError, "too many parameters");
    return false;
  }
  if (static_cast<std::size_t>(nargs) > count) {
    if (count == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.function, nargs);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", sig.function, count,
                   count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    std::size_t index = count;
    for (std::size_t f = 0; f < count; ++f) {
      if (PyUnicode_CompareWithASCIIString(name, sig.fields[f].name) == 0) {
        index = f;
        break;
      }
    }
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, name);
      return false;
    }
    if (slots[index]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", sig.function,
                   sig.fields[index].name, index + 1);
      return false;
    }
    slots[index] = args[nargs + k];
  }
  for (std::size_t f = 0; f < sig.required; ++f) {
    if (!slots[f]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function,
                   sig.fields[f].name, f + 1);
      return false;
    }
  }
  for (std::size_t f = 0; f < count; ++f) {
    if (!slots[f]) continue;
    if (sig.fields[f].convert(slots[f], out) < 0) {
      prefix_type_error(sig.fields[f].name);
      return false;
    }
  }
  return true;
}

// tp_new receives a tuple and a dict; the shared parser takes a fast-call vector (positional arguments, then
// the keyword values, named by a tuple of keys).
bool parse_tuple_args(const Signature& signature, PyObject* args, PyObject* kwargs, void* out) {
  std::vector<PyObject*> vector;
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) vector.push_back(PyTuple_GetItem(args, i));
  PyObject* kwnames = nullptr;
  if (kwargs && PyDict_Size(kwargs) > 0) {
    kwnames = PyTuple_New(PyDict_Size(kwargs));
    if (!kwnames) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames, k++, key);  // steals the new reference
      vector.push_back(value);
    }
  }
  const bool ok = parse_args(signature, vector.data(), nargs, kwnames, out);
  Py_XDECREF(kwnames);
  return ok;
}

bool check_unit(double value, const char* message) {
  if (value >= 0.0 && value <= 1.0) return true;
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

}  // namespace qf::py
