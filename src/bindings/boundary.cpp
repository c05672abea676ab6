#include "bindings/boundary.hpp"

#include <new>
#include <stdexcept>

namespace qf::py {

PyObject* InternalFaultError = nullptr;

void raise(const CompareError& error) { PyErr_SetString(PyExc_ValueError, error.message.c_str()); }

void raise_internal_fault(const char* what) {
  PyErr_SetString(InternalFaultError ? InternalFaultError : PyExc_SystemError, what);
}

void raise_exception(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size beyond what a container can hold: out of memory all the same
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(*e.what() ? e.what() : "internal fault");
  } catch (...) {
    raise_internal_fault("internal fault");
  }
}

}  // namespace qf::py
