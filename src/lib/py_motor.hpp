// Owns the Python classes of the motor group: Motor and the Device records it hands out.
#pragma once

#include <Python.h>

#include <memory>

#include "instance/motor/device.hpp"

namespace kestro::py {

PyTypeObject* device_type();
PyTypeObject* motor_type();

// A new Python Device sharing `device`; nullptr with the error set.
PyObject* wrap_device(std::shared_ptr<motor::Device> device);
// {"position": …, "speed": …, "current": …} as Python floats, in this order.
PyObject* watch_data_to_dict(const motor::WatchData& data);

}  // namespace kestro::py
