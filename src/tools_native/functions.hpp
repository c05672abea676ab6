// The functions of quillfen_tools._native, one group per file; module.cpp lists them in its method table.
// Each follows the engine's boundary conventions: arguments parsed with the lock held, the work done with the
// interpreter lock released (bindings/boundary.hpp), CompareErrors raised as ValueError.
#pragma once

#include "bindings/python.hpp"

namespace qf::tools {

// images.cpp
PyObject* decode_rgba(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* rgb_to_rgba(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* apply_ignore(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* thumbnail_rgba(PyObject* module, PyObject* args, PyObject* kwargs);

// encode.cpp
PyObject* encode_png(PyObject* module, PyObject* args, PyObject* kwargs);

// layout.cpp
PyObject* analyze_layout(PyObject* module, PyObject* args, PyObject* kwargs);

// jitter.cpp
PyObject* jitter_compare(PyObject* module, PyObject* args, PyObject* kwargs);

// pool.cpp
PyObject* set_threads(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* max_threads(PyObject* module, PyObject* args);

// A new bytes object of `size` bytes whose contents the caller fills before handing it out.
PyObject* new_bytes(std::size_t size, char** data);

}  // namespace qf::tools
