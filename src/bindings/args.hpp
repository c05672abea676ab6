// The one argument parser. A function declares its parameters as a table of fields of an argument struct
// (name → member, converter chosen by the member's type; defaults are the member initialisers), and parse()
// applies the module's conventions: fast-call arguments by position or keyword, required ones first, the
// interpreter's wording for call-shape errors, conversion in parameter order, and TypeErrors of a conversion
// prefixed with "argument '<name>': ".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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

// A RowAlignment argument (borrowed; the caller holds it for the call).
struct AlignmentArg {
  PyObject* object = nullptr;
};

// Converters: 0 on success, -1 with the exception set.
int convert(PyObject* o, double& out);
int convert(PyObject* o, bool& out);
int convert(PyObject* o, uint64_t& out);
int convert(PyObject* o, std::optional<uint64_t>& out);
int convert(PyObject* o, Rgb& out);
int convert(PyObject* o, std::optional<Rgb>& out);
int convert(PyObject* o, BytesArg& out);
int convert(PyObject* o, PairsArg& out);
int convert(PyObject* o, AlignmentArg& out);  // defined with the RowAlignment type

struct Field {
  const char* name;
  int (*convert)(PyObject*, void* args);
};

// Converts into the member of an args struct; the struct is named explicitly, so a member inherited from a
// parameter group (params.hpp) lands in the right place.
template <class Args, auto Member>
int convert_field(PyObject* o, void* args) {
  return convert(o, static_cast<Args*>(args)->*Member);
}

#define QF_FIELD(Struct, member) ::qf::py::Field{#member, &::qf::py::convert_field<Struct, &Struct::member>}

struct Signature {
  const char* function;  // as the interpreter names it: "diff_batch" or "Comparison.diff_count"
  std::span<const Field> fields;
  std::size_t required;  // the first `required` fields have no default
};

// Fills *out from a fast-call argument vector. Returns false with the exception set.
bool parse_args(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, void* out);

template <class Args>
bool parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
  return parse_args(signature, args, nargs, kwnames, &out);
}

// The same for a constructor's argument tuple and keyword dict.
bool parse_tuple_args(const Signature& signature, PyObject* args, PyObject* kwargs, void* out);

// Range check of the module surface: ValueError with `message` unless 0.0 <= value <= 1.0 (NaN fails).
bool check_unit(double value, const char* message);

}  // namespace qf::py
