// A module for tests only: it reaches the fault boundary and the gate in ways the public module never
// should, so that tests can check what happens then.
#include <Python.h>

#include <stdexcept>

#include "lib/boundary.hpp"
#include "lib/method.hpp"

namespace {

PyObject* raise_internal_fault(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  throw std::logic_error("probe: internal consistency check failed");
}

PyObject* panic_type(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return Py_XNewRef(kestro::py::panic_exception_type());
}

PyMethodDef methods[] = {
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
