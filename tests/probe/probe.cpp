// A module for tests only: it reaches the fault boundary and the gate in ways the public module never
// should, so that tests can check what happens then.
#include <Python.h>

#include <stdexcept>

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

PyMethodDef methods[] = {
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
