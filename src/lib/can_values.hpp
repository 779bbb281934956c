// Owns the conversions shared by the CAN classes: a frame to the (id, data) tuple, and an I/O error to
// OSError with the message as its single argument.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "comm/can/frame.hpp"
#include "comm/can/io_error.hpp"

namespace kestro::py {

PyObject* message_to_tuple(const comm::CanMessage& msg);
PyObject* optional_message_to_python(const std::optional<comm::CanMessage>& msg);
// The one `interface` argument of the device constructors.
bool parse_interface_arg(const char* callable, PyObject* args, PyObject* kwargs, std::string& interface);

// Always returns nullptr, with OSError(message) set.
PyObject* raise_io_error(const comm::IoError& err);
// None for a success, else raise_io_error.
PyObject* none_or_io_error(const comm::IoResult<void>& result);

}  // namespace kestro::py
