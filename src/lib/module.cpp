// Owns the kestro module: its definition, the execution step that registers the classes and functions in
// their fixed order (each name also appended to __all__), and the module's one exported symbol.
#include <Python.h>

#include "core/fork.hpp"
#include "core/gate.hpp"
#include "core/manager/py_shutdown.hpp"
#include "core/manager/py_task_manager.hpp"
#include "core/task/py_async_task.hpp"
#include "core/timer/py_timer.hpp"
#include "lib/boundary.hpp"
#include "lib/py_can_device.hpp"
#include "lib/py_motor.hpp"
#include "lib/py_ref.hpp"

namespace {

using kestro::py::PyRef;

// Adds `value` (a new reference, or nullptr with an error set) under `name` and appends the name to __all__.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (!all) {
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all, key.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* type_ref(PyTypeObject* type) {
  return type ? Py_NewRef(reinterpret_cast<PyObject*>(type)) : nullptr;
}

PyObject* function_of(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyUnicode_FromString("kestro"));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(def, module, module_name.get());
}

int exec_module(PyObject* module) {
  return kestro::py::guarded<int>(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                   Py_TYPE(module)->tp_name);
      return -1;
    }
    // The slot below refuses isolated subinterpreters; CPython still lets legacy ones (those that share
    // the main interpreter's lock) load the module, so they are refused here, in CPython's words.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "module kestro does not support loading in subinterpreters");
      return -1;
    }
    using namespace kestro::core;
    const bool ok =
        add_public(module, "AsyncHandle", type_ref(async_handle_type())) &&
        add_public(module, "CanDevice", type_ref(kestro::py::can_device_type())) &&
        add_public(module, "CanDeviceNonBlocking", type_ref(kestro::py::can_device_nonblocking_type())) &&
        add_public(module, "Device", type_ref(kestro::py::device_type())) &&
        add_public(module, "Motor", type_ref(kestro::py::motor_type())) &&
        add_public(module, "PrecisionTimer", type_ref(precision_timer_type())) &&
        add_public(module, "TaskManager", type_ref(task_manager_type())) &&
        add_public(module, "RunAsync", type_ref(run_async_type())) &&
        add_public(module, "Timer", type_ref(timer_type())) &&
        add_public(module, "TimerHandle", type_ref(timer_handle_type())) &&
        add_public(module, "TimerWrapper", type_ref(timer_wrapper_type())) &&
        add_public(module, "timer", function_of(module, &timer_def)) &&
        add_public(module, "precision_timer", function_of(module, &precision_timer_def)) &&
        add_public(module, "run_async", function_of(module, &run_async_def)) &&
        add_public(module, "get_task_manager", function_of(module, &get_task_manager_def)) &&
        add_public(module, "shutdown_all", function_of(module, &shutdown_all_def)) &&
        add_public(module, "block_all", function_of(module, &block_all_def)) &&
        add_public(module, "block_until", function_of(module, &block_until_def));
    if (!ok) return -1;
    if (gate::install() < 0) return -1;
    return install_fork_handler();
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Module threads enter the main interpreter and the exit hook is registered once per process: the module
    // cannot serve a subinterpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kestro",
    "A Python module implemented natively for SocketCAN motor control and control loops.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kestro(void) {
  return PyModuleDef_Init(&module_def);
}
