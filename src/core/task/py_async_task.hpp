// Owns the Python classes RunAsync and AsyncHandle and the function run_async.
#pragma once

#include <Python.h>

namespace kestro::core {

PyTypeObject* async_handle_type();
PyTypeObject* run_async_type();
extern PyMethodDef run_async_def;

}  // namespace kestro::core
