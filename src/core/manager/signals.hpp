// Owns the process-wide SIGINT/SIGTERM handlers and the wait for one of them on the shared runtime.
//
// Our handler is installed once per signal (again if the program replaced it) and keeps the action it
// found: that one still runs after ours, so CPython still records SIGINT, and a handler the program set with
// signal.signal still runs. An earlier SIG_DFL or SIG_IGN is not called, so SIGTERM no longer ends the
// process. The handler wakes the runtime through an eventfd. Each wait starts fresh: a signal that arrived
// while no wait was running does not end a later one.
#pragma once

#include <string>

#include <asio/awaitable.hpp>

namespace kestro::core {

// Installs the handlers (where they are not ours) and forgets signals that arrived while nobody waited.
// Called on the waiting thread before it blocks, so that a signal arriving while the runtime picks up the
// wait is not lost. Throws std::runtime_error("Failed to register SIGINT handler: ...") (or SIGTERM).
void begin_signal_wait();

// Yields "SIGINT" or "SIGTERM" for the first signal since begin_signal_wait().
asio::awaitable<std::string> wait_for_shutdown_signal();

}  // namespace kestro::core
