// Entry points: a function or method is one table row, built from its qualified name, its implementation and
// its parameters,
//
//   method<"Comparison.diff_count", diff_count, threshold, include_aa>("Count differing pixels.")
//
// where diff_count is `PyObject* diff_count(PyObject* self, CountArgs& args)` and receives its arguments parsed
// into the args struct (which must derive from the record of every parameter it lists, or the row does not
// compile). The row carries the fast-call entry, which parses, calls and stops C++ exceptions, and the
// docstring: the text signature written from the parameters, "--", an empty line and the description.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

#include "bindings/args.hpp"
#include "bindings/boundary.hpp"
#include "bindings/python.hpp"

namespace qf::py {

// A name given as a template argument: "Comparison.diff_count" as errors show it; the attribute is the part
// after the last dot.
template <std::size_t N>
struct Name {
  char text[N];
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr const char* attribute() const {
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < N; ++i)
      if (text[i] == '.') start = i + 1;
    return text + start;
  }
};

struct Entry {
  const char* name;
  PyCFunction call;
  int flags;
  bool self;  // a method: the signature starts with $self
  void (*parameters)(std::string&);
  const char* description;
};

// An entry point with no parameters (the struct it receives is empty).
struct NoArgs {};

template <class Fn>
struct args_of;
template <class A>
struct args_of<PyObject* (*)(PyObject*, A&)> {
  using type = A;
};

template <Name N, auto Fn, const auto&... Ps>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using A = typename args_of<decltype(Fn)>::type;
  return guarded([&]() -> PyObject* {
    A a;
    if (!Fields<A, Ps...>::parse(N.text, args, nargs, kwnames, a)) return nullptr;
    return Fn(self, a);
  });
}

template <auto Fn>
PyObject* noargs(PyObject* self, PyObject*) {
  return guarded([&] {
    NoArgs a;
    return Fn(self, a);
  });
}

template <Name N, bool Self, auto Fn, const auto&... Ps>
Entry entry(const char* description) {
  using F = Fields<typename args_of<decltype(Fn)>::type, Ps...>;
  if constexpr (Self && sizeof...(Ps) == 0) return {N.attribute(), noargs<Fn>, METH_NOARGS, Self, F::append_text, description};
  const int flags = METH_FASTCALL | METH_KEYWORDS | (!Self && N.attribute() != N.text ? METH_STATIC : 0);
  auto call = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall<N, Fn, Ps...>));
  return {N.attribute(), call, flags, Self, F::append_text, description};
}

// A method of a class ("Class.name").
template <Name N, auto Fn, const auto&... Ps>
Entry method(const char* description) {
  return entry<N, true, Fn, Ps...>(description);
}
// A module function ("name") or a static method of a class ("Class.name").
template <Name N, auto Fn, const auto&... Ps>
Entry function(const char* description) {
  return entry<N, false, Fn, Ps...>(description);
}

// "name($self, a, b=1)\n--\n\n" followed by the description.
std::string docstring(const Entry& entry);

// A null-terminated method table of the fragments' entries, docstrings included; it lives for the process.
PyMethodDef* method_table(std::initializer_list<std::span<const Entry>> fragments);

}  // namespace qf::py
