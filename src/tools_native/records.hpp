// The records the helper module returns: named tuples of the limited API (struct sequences), one type per kind
// of record, declared beside the function that makes it,
//
//   const RecordType POOL_STATS{"PoolStats", "What the buffer pool holds.", {"blocks", "bytes", "hits", "misses"}};
//   ...
//   return POOL_STATS.make({to_py(s.blocks), to_py(s.bytes), to_py(s.hits), to_py(s.misses)});
//
// Every declared type is created when the module initialises and added to it under its name
// (quillfen_tools._native.PoolStats). Python reads the fields by name; a record still unpacks like a tuple.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "bindings/python.hpp"

namespace qf::tools {

class RecordType {
 public:
  // Declares the type; `name` and `doc` must live for the process (string literals).
  RecordType(const char* name, const char* doc, std::initializer_list<const char*> fields);
  RecordType(const RecordType&) = delete;

  // A new record holding one new reference per field, in field order; the references are stolen. When one of
  // them is null (its maker failed and set the exception) the others are released and null is returned.
  PyObject* make(std::initializer_list<PyObject*> values) const;

  // Creates every declared type (once per process) and adds each to `module`. False with the exception set.
  static bool add_all(PyObject* module);

 private:
  const char* name_;
  std::string qualified_name_;
  const char* doc_;
  std::vector<PyStructSequence_Field> fields_;
  PyTypeObject* type_ = nullptr;
};

// A tuple of conv(item) for every item, or null with the exception set.
template <class Items, class Conv>
PyObject* tuple_of(const Items& items, Conv conv) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(std::size(items)));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* value = conv(item);
    if (!value) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SetItem(tuple, i++, value);  // steals value
  }
  return tuple;
}

}  // namespace qf::tools
