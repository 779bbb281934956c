// Owns the Python classes Timer, PrecisionTimer, TimerWrapper and TimerHandle and the functions timer and
// precision_timer.
#pragma once

#include <Python.h>

namespace kestro::core {

PyTypeObject* timer_type();
PyTypeObject* precision_timer_type();
PyTypeObject* timer_wrapper_type();
PyTypeObject* timer_handle_type();
extern PyMethodDef timer_def;
extern PyMethodDef precision_timer_def;

}  // namespace kestro::core
