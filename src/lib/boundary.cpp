// Owns the PanicException class and the conversion of internal faults into it.
#include "lib/boundary.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "runtime/runtime.hpp"

namespace kestro::py {

namespace {
std::atomic<PyObject*> g_panic_type{nullptr};

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}
}  // namespace

PyObject* panic_exception_type() {
  if (PyObject* t = g_panic_type.load(std::memory_order_acquire)) return t;
  PyObject* built = PyErr_NewExceptionWithDoc(
      "kestro.PanicException",
      "An internal fault of the kestro module. It derives from BaseException so that ordinary\n"
      "`except Exception` handlers do not swallow it.",
      PyExc_BaseException, nullptr);
  if (!built) return nullptr;
  PyObject* expected = nullptr;
  if (!g_panic_type.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    Py_DECREF(built);
    return expected;
  }
  return built;
}

void raise_panic(const char* message) noexcept {
  try {
    PyObject* type = panic_exception_type();
    if (!type) abort_at_boundary();
    PyErr_SetString(type, message);
    if (!PyErr_Occurred()) abort_at_boundary();
  } catch (...) {
    abort_at_boundary();
  }
}

void raise_current_as_panic() noexcept {
  try {
    std::rethrow_exception(std::current_exception());
  } catch (const rt::RuntimeLostInFork& e) {
    // A use of the module in a forked child: the caller's mistake, which it may catch like any other.
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
}

}  // namespace kestro::py
