// The one argument parser. Every parameter is declared once, as a Param: its Python name and the member that
// receives it, in a core option record (so the record's default is the parameter's default) or in the entry
// point's own args struct. The member's type picks the converter, and the text signature of every docstring is
// written from the same declarations. parse() applies the module's conventions: fast-call arguments by position
// or keyword, required ones first, the interpreter's wording for call-shape errors, conversion in parameter
// order, and TypeErrors of a conversion prefixed with "argument '<name>': ".
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/python.hpp"
#include "core/types.hpp"

namespace qf::py {

// A bytes argument, read in place for the duration of the call (the caller holds the object).
struct BytesArg {
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  ByteView view() const { return {data, size}; }
};

// The `pairs` of a batch call, copied into owned buffers.
struct PairsArg {
  std::vector<std::pair<Bytes, Bytes>> pairs;
};

// Converters: 0 on success, -1 with the exception set.
int convert(PyObject* o, double& out);
int convert(PyObject* o, bool& out);
int convert(PyObject* o, uint64_t& out);
int convert(PyObject* o, Rgb& out);
int convert(PyObject* o, BytesArg& out);
int convert(PyObject* o, PairsArg& out);
template <class T>
int convert(PyObject* o, std::optional<T>& out) {
  if (o == Py_None) {
    out.reset();
    return 0;
  }
  T v;
  if (convert(o, v) < 0) return -1;
  out = v;
  return 0;
}

// A default as the text signature shows it: Python's repr of numbers and bools, None, and "..." for a colour.
void append_default(std::string& out, double v);
void append_default(std::string& out, bool v);
void append_default(std::string& out, uint64_t v);
void append_default(std::string& out, const Rgb& v);
template <class T>
void append_default(std::string& out, const std::optional<T>& v) {
  if (v) append_default(out, *v);
  else out += "None";
}

template <class Record, class T>
struct Param {
  using record_type = Record;
  const char* name;
  T Record::*member;
  bool required;
};

// QF_PARAM(Record, member): an optional parameter named as the member, defaulting to Record{}.member.
// QF_REQUIRED(Record, member): one the caller must give.
#define QF_PARAM(Record, member) ::qf::py::Param{#member, &Record::member, false}
#define QF_REQUIRED(Record, member) ::qf::py::Param{#member, &Record::member, true}

// One parameter bound to the args struct A of an entry point.
template <class A>
struct Field {
  const char* name;
  bool required;
  int (*convert)(PyObject*, A&);
  void (*append_default)(std::string&);
};

template <class A, const auto& P>
constexpr Field<A> field() {
  using Record = typename std::remove_cvref_t<decltype(P)>::record_type;
  static_assert(std::is_base_of_v<Record, A>, "the args struct does not hold this parameter's record");
  return {P.name, P.required, [](PyObject* o, A& a) { return convert(o, static_cast<Record&>(a).*(P.member)); },
          [](std::string& out) {
            if constexpr (!P.required) append_default(out, Record{}.*(P.member));
          }};
}

// Places the fast-call arguments in slots[0 .. names.size()) by parameter (null where not given) and raises the
// interpreter's call-shape errors for `function`. False with the exception set.
bool collect_args(const char* function, std::span<const char* const> names, std::size_t required,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// A constructor's argument tuple and keyword dict as a fast-call vector; *kwnames is a new reference or null.
bool tuple_to_vector(PyObject* args, PyObject* kwargs, std::vector<PyObject*>& vector, PyObject** kwnames);
// Re-raises a pending TypeError as "argument '<name>': <message>" with the original as its cause.
void prefix_type_error(const char* name);

// The parameters of an entry point (required ones first) and their parser.
template <class A, const auto&... Ps>
struct Fields {
  static constexpr Field<A> list[] = {field<A, Ps>()..., {}};
  static constexpr const char* names[] = {Ps.name..., nullptr};
  static constexpr std::size_t count = sizeof...(Ps), required = (std::size_t{0} + ... + Ps.required);
  static_assert(count <= 16 && [] {
    const bool flags[] = {Ps.required..., false};
    return std::all_of(flags, flags + required, [](bool f) { return f; });
  }(), "at most 16 parameters, the required ones first");

  // Fills `out` from a fast-call argument vector. False with the exception set.
  static bool parse(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, A& out) {
    PyObject* slots[16] = {};
    if (!collect_args(function, {names, count}, required, args, nargs, kwnames, slots)) return false;
    for (std::size_t f = 0; f < count; ++f) {
      if (slots[f] && list[f].convert(slots[f], out) < 0) {
        prefix_type_error(list[f].name);
        return false;
      }
    }
    return true;
  }
  static bool parse_tuple(const char* function, PyObject* args, PyObject* kwargs, A& out) {
    std::vector<PyObject*> vector;
    PyObject* kwnames = nullptr;
    const bool ok = tuple_to_vector(args, kwargs, vector, &kwnames) &&
                    parse(function, vector.data(), PyTuple_Size(args), kwnames, out);
    Py_XDECREF(kwnames);
    return ok;
  }

  // "a, b=1, c=None": the parameters as the text signature lists them.
  static void append_text(std::string& out) {
    for (std::size_t f = 0; f < count; ++f) {
      out += f > 0 ? ", " : "";
      out += list[f].name;
      if (list[f].required) continue;
      out += "=";
      list[f].append_default(out);
    }
  }
};

// Range check of the module surface: ValueError with `message` unless 0.0 <= value <= 1.0 (NaN fails).
bool check_unit(double value, const char* message);

}  // namespace qf::py
