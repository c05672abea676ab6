// The size of the process-wide worker pool. Both extension modules link the one pool library, so a limit set
// here holds for the engine's work too.
#include <memory>

#include "core/parallel.hpp"
#include "tools_native/functions.hpp"

namespace qf::tools {
namespace {
// The limit in force, kept alive for as long as it holds. Only touched with the interpreter lock held.
std::unique_ptr<par::ThreadLimit> limit;
}  // namespace

PyObject* set_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* n = Py_None;
  static const char* kw[] = {"n", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_threads", const_cast<char**>(kw), &n)) return nullptr;
  unsigned long long threads = 0;
  if (n != Py_None) {
    if (!PyLong_Check(n) || PyBool_Check(n)) {
      PyErr_SetString(PyExc_TypeError, "set_threads() expects an int or None");
      return nullptr;
    }
    threads = PyLong_AsUnsignedLongLong(n);
    if (PyErr_Occurred()) return nullptr;
  }
  limit.reset();
  if (threads > 0) limit = std::make_unique<par::ThreadLimit>(static_cast<std::size_t>(threads));
  Py_RETURN_NONE;
}

PyObject* max_threads(PyObject*, PyObject*) { return PyLong_FromSize_t(par::max_threads()); }

}  // namespace qf::tools
