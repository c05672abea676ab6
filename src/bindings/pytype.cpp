#include "bindings/pytype.hpp"

namespace qf::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyType_GetName(type);
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
  PyType_Spec spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* new_list(const std::vector<Ref>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i), items[i].new_ref());
  return list;
}

PyObject* to_py(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py_float(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }
PyObject* to_py_bytes(const Bytes& data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
}

PyObject* take_bytes(Bytes& data) {
  PyObject* out = to_py_bytes(data);
  Bytes().swap(data);
  return out;
}

PyObject* take_optional_bytes(std::optional<Bytes>& data) {
  if (!data) Py_RETURN_NONE;
  return take_bytes(*data);
}

}  // namespace qf::py
