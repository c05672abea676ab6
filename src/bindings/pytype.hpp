// Helpers for the module's heap types: every class is immutable, not subclassable, without __dict__, and
// (except Comparison) has no constructor. An instance boxes one C++ value.
#pragma once

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
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
  explicit operator bool() const { return o_ != nullptr; }
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

// A repr slot that stops C++ exceptions (its text is built in a std::string).
template <reprfunc Repr>
PyObject* safe_repr(PyObject* self) {
  try {
    return Repr(self);
  } catch (...) {  // only std::bad_alloc can arise here
    return PyErr_NoMemory();
  }
}

// A result class boxing T: no constructor, read-only getters, a repr, and a length when `length` is given.
template <class T, reprfunc Repr>
PyTypeObject* result_type(const char* qualified_name, PyGetSetDef* getset, lenfunc length = nullptr) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<T>)},
      {Py_tp_repr, reinterpret_cast<void*>(safe_repr<Repr>)},
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

// A read-only attribute reading one member of the boxed T (a subobject of T's when Member belongs to a base).
template <class T, auto Member>
PyObject* member_getter(PyObject* self, void*) {
  const auto& v = unbox<T>(self).*Member;
  using V = std::remove_cvref_t<decltype(v)>;
  if constexpr (std::is_same_v<V, bool>) return to_py_bool(v);
  else if constexpr (std::is_floating_point_v<V>) return to_py_float(v);
  else return to_py(v);
}
#define QF_GETTER(T, member) QF_GETTER_AS(#member, T, &T::member)
#define QF_GETTER_AS(name, T, member) PyGetSetDef{name, ::qf::py::member_getter<T, member>, nullptr, nullptr, nullptr}
#define QF_CUSTOM_GETTER(name, fn) PyGetSetDef{name, fn, nullptr, nullptr, nullptr}
#define QF_GETSET_END PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}

// Moves the bytes into a new Python bytes object and frees the C++ buffer at once, so that a batch's results
// are not held twice while its list is built. None for absent data.
PyObject* take_bytes(Bytes& data);
PyObject* take_optional_bytes(std::optional<Bytes>& data);

// A list of conv(element) for every element, or null with the exception set.
template <class T, class Conv>
PyObject* build_list(std::vector<T>& elements, Conv conv) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(elements.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    PyObject* item = conv(elements[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

}  // namespace qf::py
