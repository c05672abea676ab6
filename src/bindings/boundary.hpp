// The module boundary: runs a computation with the interpreter lock released and turns its outcome into a
// value or a raised Python exception. CompareErrors become ValueError with their message; C++ exceptions are
// internal faults (also when thrown on a pool worker, which carries them back) and become the internal-fault
// exception, derived from BaseException; running out of memory becomes MemoryError.
#pragma once

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/python.hpp"
#include "core/error.hpp"

namespace qf::py {

// The internal-fault exception class, created once at module initialisation.
extern PyObject* InternalFaultError;

void raise(const CompareError& error);
void raise_internal_fault(const char* what);

template <class R>
struct result_value;
template <class T>
struct result_value<Result<T>> {
  using type = T;
};

// f() returns Result<T> and must not touch Python objects. Returns the value, or nullopt with the exception set.
template <class F>
auto call_unlocked(F&& f) -> std::optional<typename result_value<std::invoke_result_t<F&>>::type> {
  using R = std::invoke_result_t<F&>;
  std::optional<R> outcome;
  bool no_memory = false;
  std::string fault;
  PyThreadState* state = PyEval_SaveThread();
  try {
    outcome.emplace(f());
  } catch (const std::bad_alloc&) {
    no_memory = true;
  } catch (const std::exception& e) {
    try {
      fault = e.what();
    } catch (...) {
    }
    if (fault.empty()) fault = "internal fault";
  } catch (...) {
    fault = "internal fault";
  }
  PyEval_RestoreThread(state);
  if (no_memory) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  if (!outcome) {
    raise_internal_fault(fault.c_str());
    return std::nullopt;
  }
  if (!*outcome) {
    raise(outcome->error());
    return std::nullopt;
  }
  return std::move(*outcome).value();
}

}  // namespace qf::py
