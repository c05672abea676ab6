// quillfen_tools._native: what the product layer needs from the C++ core beyond the engine module's surface. It
// is built into the engine's shared object and loaded from that file under its own name, so that both modules
// share one core. To add a function: define it and its entry in a file of its own (functions.hpp), list the
// file's group below.
#include "bindings/boundary.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/records.hpp"

namespace qf::tools {
namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillfen_tools._native",
                          "Native helpers of quillfen_tools, built from quillfen's C++ core.", -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

PyObject* create_module() {
  static PyMethodDef* functions = py::method_table(
      {image_functions(), layout_functions(), pool_functions(), verdict_functions(), classify_functions()});
  module_def.m_methods = functions;
  PyObject* module = PyModule_Create2(&module_def, PYTHON_ABI_VERSION);
  if (!module) return nullptr;
  // One internal-fault class for the one core: the engine's when it has been initialised first (it always is
  // when this module is loaded through quillfen_tools).
  if (!py::InternalFaultError) {
    py::InternalFaultError = PyErr_NewExceptionWithDoc(
        "quillfen.InternalFault", "An internal fault of quillfen (a bug, never caused by the input).",
        PyExc_BaseException, nullptr);
  }
  if (!py::InternalFaultError || PyModule_AddObjectRef(module, "InternalFault", py::InternalFaultError) < 0 ||
      !RecordType::add_all(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace qf::tools

PyMODINIT_FUNC PyInit__native(void) { return qf::py::guarded(qf::tools::create_module); }
