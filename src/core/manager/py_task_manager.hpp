// Owns the Python class TaskManager and the function get_task_manager: views of the one task registry.
#pragma once

#include <Python.h>

namespace kestro::core {

PyTypeObject* task_manager_type();
extern PyMethodDef get_task_manager_def;

}  // namespace kestro::core
