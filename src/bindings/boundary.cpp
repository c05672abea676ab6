#include "bindings/boundary.hpp"

namespace qf::py {

PyObject* InternalFaultError = nullptr;

void raise(const CompareError& error) { PyErr_SetString(PyExc_ValueError, error.message.c_str()); }

void raise_internal_fault(const char* what) {
  PyErr_SetString(InternalFaultError ? InternalFaultError : PyExc_SystemError, what);
}

}  // namespace qf::py
