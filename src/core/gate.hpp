// Owns the one way that threads started by this module (runtime workers, blocking-pool threads, timer
// threads) enter Python.
//
// A module thread keeps one Python thread state for its life: the first entry makes it, and every entry
// after that only attaches it (and leave detaches it), which costs a fraction of making and deleting a state
// per call. A thread that ends deletes its state while the interpreter still runs; once the gate has closed,
// nothing on a module thread touches its state again (the interpreter frees them as it finalizes). A thread
// that already has a state of its own (a Python thread) enters through PyGILState_Ensure as before.
//
// At interpreter exit an atexit hook closes the gate: no module thread starts a new call into Python after
// that (calls in progress are not waited for: a background function may never return), then gives the work
// that other parts registered as in flight (rt::on_exit_flush: queued CAN frames) and the pending diagnostic
// lines up to 200 ms each. Leave is an explicit call, never a destructor: a thread that CPython unwinds at
// exit must not call Python on its way out.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "lib/py_ref.hpp"

namespace kestro::core::gate {

// Registers the closing hook with the atexit module, once per process. Returns -1 with an error set on
// failure.
int install();

// What leave() needs to undo one enter().
struct Entry {
  enum class Kind { Attached, AlreadyAttached, GilState } kind;
  PyGILState_STATE gil_state = PyGILState_UNLOCKED;
};

// Attaches this thread to the interpreter; nullopt when the gate is closed (the interpreter is exiting).
std::optional<Entry> enter();
void leave(Entry entry);

bool is_closed() noexcept;

// Writes a diagnostic line (ending in its newline) to standard error for code that holds the interpreter
// lock. On a module thread inside a call into Python it goes through the diagnostics writer: a parent may
// leave the pipe unread, and a write blocked there must not hold up every Python thread. A Python thread
// writes it at once, as its own print would.
void report(std::string line);

// Calls func(*args) inside `context`, the contextvars context that the calling timer or background task
// copied when it was made: a module thread keeps its thread state from one callback to the next, and
// without it one callback's context variables (the decimal context among them) would be another's. The
// caller is attached. Returns a new reference, or null with the exception set.
PyObject* call_in_context(PyObject* func, PyObject* args, PyObject* context);

// Drops `refs` with the interpreter lock held, taking it for that if this thread does not hold it, so that
// nothing is parked until some later entry: a stopped timer's function may be the last holder of a device
// and its socket. Once the gate has closed they are leaked, like any reference dropped then.
void release(std::initializer_list<py::AnyThreadRef*> refs);

// The text of the exception that is set, as timers print it and background tasks store it:
// "{qualified type name}: {str()}". Clears the exception; the caller holds the interpreter lock.
std::string describe_raised_exception();

// Thread states that module threads keep now (for tests).
long kept_state_count() noexcept;

// For the fork handler in the child, while it is the only thread.
void forget_in_forked_child() noexcept;

}  // namespace kestro::core::gate
