// Placeholder bodies for entry points whose computation is not built yet. Each raises NotImplementedError.
#pragma once

#include "bindings/pytype.hpp"

#define QF_NOT_BUILT(fn)                                                                    \
  PyObject* fn(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {                        \
    PyErr_SetString(PyExc_NotImplementedError, #fn " is not built yet");                    \
    return nullptr;                                                                         \
  }

#define QF_PLACEHOLDER_TYPE(creator, qualified)                                             \
  PyTypeObject* creator() {                                                                 \
    static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(no_constructor)}, {0, nullptr}}; \
    return make_type(qualified, sizeof(PyObject), slots);                                   \
  }
