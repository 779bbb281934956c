// Owns the Python classes CanDevice (blocking) and CanDeviceNonBlocking.
#pragma once

#include <Python.h>

namespace kestro::py {

PyTypeObject* can_device_type();
PyTypeObject* can_device_nonblocking_type();

}  // namespace kestro::py
