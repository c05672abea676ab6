// The module boundary: runs a computation with the interpreter lock released and turns its outcome into a
// value or a raised Python exception. CompareErrors become ValueError with their message; C++ exceptions are
// internal faults (also when thrown on a pool worker, which carries them back) and become the internal-fault
// exception, derived from BaseException; running out of memory becomes MemoryError. No C++ exception leaves an
// entry point: guarded() stops those of the code that runs with the lock held as well.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/python.hpp"
#include "core/error.hpp"
#include "core/parallel.hpp"

namespace qf::py {

// The internal-fault exception class of the module being initialised, created once at its initialisation.
extern PyObject* InternalFaultError;

void raise(const CompareError& error);
void raise_internal_fault(const char* what);
// Raises the exception that `error` holds (MemoryError for an allocation failure, else an internal fault).
void raise_exception(const std::exception_ptr& error);

inline constexpr bool WATCHED = true;
// How often a thread waiting for watched work looks for a signal.
inline constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};

// f() returns Result<T> and must not touch Python objects. Returns the value, or nullopt with the exception set.
// Long calls are `watched`: f runs on the pool while this thread waits and, every SIGNAL_CHECK_INTERVAL, takes
// the interpreter lock to run the handlers of pending signals; when a handler raises (KeyboardInterrupt for
// Ctrl-C), the rest of the work is cancelled and its exception is the call's.
template <class F>
auto call_unlocked(F&& f, bool watched = false)
    -> std::optional<typename std::invoke_result_t<F&>::value_type> {
  std::optional<std::invoke_result_t<F&>> outcome;
  std::exception_ptr error;
  bool interrupted = false;
  PyThreadState* state = PyEval_SaveThread();
  try {
    if (!watched) {
      outcome.emplace(f());
    } else {
      auto poll = [&] {
        PyEval_RestoreThread(state);
        const bool raised = PyErr_CheckSignals() < 0;
        state = PyEval_SaveThread();
        return raised;
      };
      auto value = par::run_watched(f, poll, SIGNAL_CHECK_INTERVAL);
      interrupted = !value;
      if (value) outcome.emplace(std::move(*value));
    }
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (interrupted) return std::nullopt;  // the handler's exception is set
  if (error) {
    raise_exception(error);
    return std::nullopt;
  }
  if (!*outcome) {
    raise(outcome->error());
    return std::nullopt;
  }
  return std::move(*outcome).value();
}

// The Python object of a computed value, or null when the computation raised.
template <class T, class Conv>
PyObject* result_or_null(std::optional<T>&& value, Conv&& conv) {
  if (!value) return nullptr;
  return conv(*value);
}

// Calls f() (lock held) and turns any C++ exception that escapes it into a Python exception.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    raise_exception(std::current_exception());
    return nullptr;
  }
}

}  // namespace qf::py
