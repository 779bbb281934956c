// Owns turning the Python mode text of the motor classes into a FocMode.
#pragma once

#include <Python.h>

#include "comm/protocol/control/dr_v1.hpp"

namespace kestro::py {

// Lower-cases the whole text with Python's full Unicode rules (no trimming) and matches "current", "speed" or
// "position". Returns false with TypeError (not a str, naming `name`) or ValueError set.
bool parse_foc_mode(PyObject* text, const char* name, comm::protocol::FocMode& out);

}  // namespace kestro::py
