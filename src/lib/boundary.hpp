// Owns the boundary that every Python entry point runs inside: a C++ exception (an internal fault) becomes a
// PanicException, which derives from BaseException, so nothing escapes into the interpreter. The forced
// unwinding that CPython uses to end a thread at interpreter exit is let through untouched.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <utility>

#include "runtime/forced_unwind.hpp"

namespace kestro::py {

// The PanicException class (borrowed), created on first use; nullptr with the error set if it cannot be.
PyObject* panic_exception_type();

// Raises PanicException(message). If even that fails, the process aborts: there is no safe way on.
void raise_panic(const char* message) noexcept;
// Raises the current C++ exception as PanicException; a use of the module in a forked child, whose runtime
// is gone, is raised as RuntimeError instead.
void raise_current_as_panic() noexcept;

// Runs `body`; a C++ exception becomes a PanicException and `on_fault` is returned.
template <class R, class F>
KESTRO_CATCHES_FORCED_UNWIND R guarded(R on_fault, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_current_as_panic();
    return on_fault;
  }
}

template <class F>
PyObject* guarded_object(F&& body) {
  return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace kestro::py
