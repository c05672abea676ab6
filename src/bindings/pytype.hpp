// Helpers for the module's heap types: every class is immutable, not subclassable, without __dict__, and
// (except Comparison) has no constructor. An instance boxes one C++ value.
#pragma once

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python.hpp"
#include "core/types.hpp"

namespace qf::py {

template <class T>
struct Boxed {
  PyObject_HEAD
  T* value;
};

template <class T>
const T& unbox(PyObject* self) {
  return *reinterpret_cast<Boxed<T>*>(self)->value;
}

template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Boxed<T>*>(self)->value;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A new instance of `type` owning `value`, or null with the exception set.
template <class T>
PyObject* box(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  try {
    reinterpret_cast<Boxed<T>*>(self)->value = new T(std::move(value));
  } catch (const std::bad_alloc&) {
    reinterpret_cast<Boxed<T>*>(self)->value = nullptr;
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

// An owned strong reference that moves but does not copy; result values hold the objects they hand out in these.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) : o_(o) {}
  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(o_, other.o_);
    return *this;
  }
  Ref(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* new_ref() const {
    Py_INCREF(o_);
    return o_;
  }

 private:
  PyObject* o_;
};

// A new list holding new references to the objects (the same objects on every call).
PyObject* new_list(const std::vector<Ref>& items);

// tp_new of the result classes: "No constructor defined for X".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a heap type named "builtins.<name>" from the slots (null-terminated), immutable and final.
PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots);

// A result class boxing T: no constructor, read-only getters, a repr, and a length when `length` is given.
template <class T>
PyTypeObject* result_type(const char* qualified_name, PyGetSetDef* getset, reprfunc repr, lenfunc length = nullptr) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<T>)},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_getset, getset},
      {length ? Py_sq_length : 0, reinterpret_cast<void*>(length)},
      {0, nullptr},
  };
  return make_type(qualified_name, sizeof(Boxed<T>), slots);
}

// Builds a Python object from a C++ value (int from unsigned, float, bool, str).
PyObject* to_py(unsigned long long v);
PyObject* to_py_float(double v);
PyObject* to_py_bool(bool v);
PyObject* to_py_bytes(const Bytes& data);

}  // namespace qf::py
