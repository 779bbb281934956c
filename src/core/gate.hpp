// Owns the one way that threads started by this module (runtime workers, blocking-pool threads, timer
// threads) enter Python.
//
// Enter takes the interpreter lock with PyGILState_Ensure; leave releases it. At interpreter exit an atexit
// hook closes the gate: no module thread starts a new call into Python after that (calls in progress are not
// waited for: a background function may never return), then gives CAN frames still queued up to 200 ms to be
// written. Leave is an explicit call, never a destructor: a
// thread that CPython unwinds at exit must not call Python on its way out.
#pragma once

#include <Python.h>

#include <optional>

namespace kestro::core::gate {

// Registers the closing hook with the atexit module, once per process. Returns -1 with an error set on
// failure.
int install();

// Takes the interpreter lock; nullopt when the gate is closed (the interpreter is exiting).
std::optional<PyGILState_STATE> enter();
void leave(PyGILState_STATE state);

bool is_closed() noexcept;

// For the fork handler in the child, while it is the only thread.
void forget_in_forked_child() noexcept;

}  // namespace kestro::core::gate
