// A module for tests only: it reaches the fault boundary and the gate in ways the public module never
// should, so that tests can check what happens then.
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/gate.hpp"
#include "core/timer/timer.hpp"
#include "lib/boundary.hpp"
#include "lib/method.hpp"

namespace {

PyObject* raise_internal_fault(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  throw std::logic_error("probe: internal consistency check failed");
}

PyObject* panic_type(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return Py_XNewRef(kestro::py::panic_exception_type());
}

// The period a timer of the given frequency runs with, in nanoseconds; None where none can be scheduled.
PyObject* timer_period_ns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  const double hz = nargs == 1 ? PyFloat_AsDouble(args[0]) : -1.0;
  if (PyErr_Occurred()) return nullptr;
  const auto period = kestro::core::period_of(hz);
  if (!period) Py_RETURN_NONE;
  return PyLong_FromLongLong(period->count());
}

// Nanoseconds per call of `func` from a thread of this module's kind, through the gate (kept thread state)
// when `kept` is true, else through PyGILState_Ensure/Release per call (a new thread state each time).
PyObject* module_thread_call_ns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "module_thread_call_ns(func, calls, kept)");
    return nullptr;
  }
  PyObject* func = args[0];
  const long long calls = PyLong_AsLongLong(args[1]);
  const int kept = PyObject_IsTrue(args[2]);
  if (PyErr_Occurred()) return nullptr;
  double ns = 0;
  bool failed = false;
  auto run = [&] {
    const auto start = std::chrono::steady_clock::now();
    for (long long i = 0; i < calls && !failed; ++i) {
      if (kept) {
        auto entry = kestro::core::gate::enter();
        if (!entry) break;
        PyObject* r = PyObject_CallNoArgs(func);
        failed = r == nullptr;
        Py_XDECREF(r);
        if (failed) PyErr_Clear();
        kestro::core::gate::leave(*entry);
      } else {
        PyGILState_STATE st = PyGILState_Ensure();
        PyObject* r = PyObject_CallNoArgs(func);
        failed = r == nullptr;
        Py_XDECREF(r);
        if (failed) PyErr_Clear();
        PyGILState_Release(st);
      }
    }
    ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         static_cast<double>(calls > 0 ? calls : 1);
  };
  PyThreadState* saved = PyEval_SaveThread();
  std::thread(run).join();
  PyEval_RestoreThread(saved);
  if (failed) {
    PyErr_SetString(PyExc_RuntimeError, "the function raised");
    return nullptr;
  }
  return PyFloat_FromDouble(ns);
}

// The same deadline loop as the precision timers with an empty call (spinning the last `spin_us`, 3000 as
// the realtime mode does unless given), in a thread of its own that never enters Python: the start time of
// each "call" (steady clock, as time.perf_counter_ns) as int64 bytes. Whatever it misses, the machine took
// (the hypervisor, interrupts, other processes), not the module.
PyObject* bare_loop_stamps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  const bool arity = nargs == 2 || nargs == 3;
  const double hz = arity ? PyFloat_AsDouble(args[0]) : -1.0;
  const double seconds = arity ? PyFloat_AsDouble(args[1]) : -1.0;
  const double spin_us = nargs == 3 ? PyFloat_AsDouble(args[2]) : 3000.0;
  if (PyErr_Occurred()) return nullptr;
  const auto period = kestro::core::period_of(hz);
  if (!period || !(seconds > 0.0 && seconds < 3600.0) || !(spin_us >= 0.0 && spin_us < 1e6)) {
    PyErr_SetString(PyExc_ValueError, "bare_loop_stamps(frequency_hz, seconds, spin_us=3000)");
    return nullptr;
  }
  const auto spin = std::chrono::nanoseconds(static_cast<std::int64_t>(spin_us * 1000.0));
  using Clock = std::chrono::steady_clock;
  std::vector<std::int64_t> stamps;
  stamps.reserve(static_cast<std::size_t>(hz * seconds * 1.2) + 16);
  auto run = [&] {
    const auto end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = Clock::now() + *period;
    for (;;) {
      const auto called = Clock::now();
      if (called >= end) break;
      stamps.push_back(called.time_since_epoch().count());
      kestro::core::precision_sleep_until_sync(next, spin);
      next += *period;
      const auto now = Clock::now();
      if (now > next) next = kestro::core::skip_missed(next, now, *period);
    }
  };
  PyThreadState* saved = PyEval_SaveThread();
  std::thread(run).join();
  PyEval_RestoreThread(saved);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stamps.data()),
                                   static_cast<Py_ssize_t>(stamps.size() * sizeof(std::int64_t)));
}

// Keeps the interpreter lock for `ms` milliseconds without running Python, as a long C call (a regular
// expression, a blocking CAN receive) does.
PyObject* hold_interpreter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
  const long long ms = nargs == 1 ? PyLong_AsLongLong(args[0]) : -1;
  if (PyErr_Occurred()) return nullptr;
  if (ms < 0) {
    PyErr_SetString(PyExc_ValueError, "hold_interpreter(ms)");
    return nullptr;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  Py_RETURN_NONE;
}

PyObject* kept_thread_states(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return PyLong_FromLong(kestro::core::gate::kept_state_count());
}

PyMethodDef methods[] = {
    {"module_thread_call_ns", kestro::py::as_cfunction(kestro::py::function<module_thread_call_ns>),
     kestro::py::kFastcallKw, nullptr},
    {"kept_thread_states", kestro::py::as_cfunction(kestro::py::function<kept_thread_states>),
     kestro::py::kFastcallKw, nullptr},
    {"hold_interpreter", kestro::py::as_cfunction(kestro::py::function<hold_interpreter>),
     kestro::py::kFastcallKw, nullptr},
    {"bare_loop_stamps", kestro::py::as_cfunction(kestro::py::function<bare_loop_stamps>),
     kestro::py::kFastcallKw, nullptr},
    {"timer_period_ns", kestro::py::as_cfunction(kestro::py::function<timer_period_ns>),
     kestro::py::kFastcallKw, nullptr},
    {"raise_internal_fault", kestro::py::as_cfunction(kestro::py::function<raise_internal_fault>),
     kestro::py::kFastcallKw, nullptr},
    {"panic_type", kestro::py::as_cfunction(kestro::py::function<panic_type>), kestro::py::kFastcallKw,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "_kestro_probe", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kestro_probe(void) {
  return PyModuleDef_Init(&def);
}
