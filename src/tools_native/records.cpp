#include "tools_native/records.hpp"

#include "bindings/boundary.hpp"

namespace qf::tools {

namespace {

std::vector<RecordType*>& declared() {
  static std::vector<RecordType*> types;
  return types;
}

}  // namespace

RecordType::RecordType(const char* name, const char* doc, std::initializer_list<const char*> fields)
    : name_(name), qualified_name_(std::string("quillfen_tools._native.") + name), doc_(doc) {
  for (const char* field : fields) fields_.push_back({field, nullptr});
  fields_.push_back({nullptr, nullptr});
  declared().push_back(this);
}

PyObject* RecordType::make(std::initializer_list<PyObject*> values) const {
  bool complete = true;
  for (PyObject* v : values) complete = complete && v;
  PyObject* record = nullptr;
  if (complete && values.size() + 1 != fields_.size()) {
    py::raise_internal_fault("a record made with the wrong number of fields");
  } else if (complete) {
    record = PyStructSequence_New(type_);
  }
  if (!record) {
    for (PyObject* v : values) Py_XDECREF(v);
    return nullptr;
  }
  Py_ssize_t i = 0;
  for (PyObject* v : values) PyStructSequence_SetItem(record, i++, v);  // steals v
  return record;
}

bool RecordType::add_all(PyObject* module) {
  for (RecordType* t : declared()) {
    if (!t->type_) {  // types live for the process
      PyStructSequence_Desc desc{t->qualified_name_.c_str(), t->doc_, t->fields_.data(),
                                 static_cast<int>(t->fields_.size() - 1)};
      t->type_ = PyStructSequence_NewType(&desc);
      if (!t->type_) return false;
    }
    if (PyModule_AddObjectRef(module, t->name_, reinterpret_cast<PyObject*>(t->type_)) < 0) return false;
  }
  return true;
}

}  // namespace qf::tools
