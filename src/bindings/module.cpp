// Module initialisation: __version__, the seven classes and the five functions, each added to __all__ first.
#include "bindings/boundary.hpp"
#include "bindings/classes.hpp"

#ifndef QUILLFEN_VERSION
#error "the build defines QUILLFEN_VERSION, the version of pyproject.toml"
#endif

namespace qf::py {

PyTypeObject *ComparisonType, *ClustersResultType, *ClusterType, *BoundingBoxType, *RowAlignmentType,
    *RowSegmentType, *ShiftBandType;

namespace {

PyObject* the_module = nullptr;
int64_t module_interpreter = -1;

// m_size 0 (not -1) so that the interpreter calls the initialisation again in a sub-interpreter, where it is
// refused, instead of copying the first interpreter's module dict.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillfen", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Appends `name` to __all__ (creating it) and then sets the attribute. Steals `value`.
int add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
  }
  PyObject* key = PyUnicode_FromString(name);
  int rc = key ? PyList_Append(all, key) : -1;
  Py_XDECREF(key);
  Py_DECREF(all);
  if (rc == 0) rc = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return rc;
}

int add_type(PyObject* module, const char* name, PyTypeObject*& slot, PyTypeObject* (*create)()) {
  if (!slot) slot = create();  // types live for the process
  if (!slot) return -1;
  Py_INCREF(reinterpret_cast<PyObject*>(slot));
  return add_to_module(module, name, reinterpret_cast<PyObject*>(slot));
}

PyObject* create_module() {
  if (!InternalFaultError) {
    InternalFaultError = PyErr_NewExceptionWithDoc(
        "quillfen.InternalFault", "An internal fault of quillfen (a bug, never caused by the input).",
        PyExc_BaseException, nullptr);
    if (!InternalFaultError) return nullptr;
  }
  PyObject* module = PyModule_Create2(&module_def, PYTHON_ABI_VERSION);
  if (!module) return nullptr;
  bool ok = add_to_module(module, "__version__", PyUnicode_FromString(QUILLFEN_VERSION)) == 0 &&
            add_type(module, "Comparison", ComparisonType, create_comparison_type) == 0 &&
            add_type(module, "ClustersResult", ClustersResultType, create_clusters_result_type) == 0 &&
            add_type(module, "Cluster", ClusterType, create_cluster_type) == 0 &&
            add_type(module, "BoundingBox", BoundingBoxType, create_bounding_box_type) == 0 &&
            add_type(module, "RowAlignment", RowAlignmentType, create_row_alignment_type) == 0 &&
            add_type(module, "RowSegment", RowSegmentType, create_row_segment_type) == 0 &&
            add_type(module, "ShiftBand", ShiftBandType, create_shift_band_type) == 0;
  PyObject* module_name = ok ? PyUnicode_FromString("quillfen") : nullptr;
  ok = ok && module_name;
  static PyMethodDef* functions = nullptr;
  if (ok && !functions) functions = method_table({module_functions()});
  for (PyMethodDef* def = functions; ok && def->ml_name; ++def)
    ok = add_to_module(module, def->ml_name, PyCMethod_New(def, module, module_name, nullptr)) == 0;
  Py_XDECREF(module_name);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace qf::py

PyMODINIT_FUNC PyInit_quillfen(void) {
  using namespace qf::py;
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (the_module) {
    if (interpreter != module_interpreter) {
      PyErr_SetString(PyExc_ImportError, "quillfen does not support sub-interpreters");
      return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
  }
  PyObject* module = guarded(create_module);
  if (!module) return nullptr;
  the_module = module;
  module_interpreter = interpreter;
  Py_INCREF(module);  // the process keeps one reference
  return module;
}
