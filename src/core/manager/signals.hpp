// Owns the process-wide SIGINT/SIGTERM handlers and the waits for one of them on the shared runtime.
//
// Our handler is installed once per signal (again if the program replaced it) and keeps the action it
// found: that one still runs after ours, so CPython still records SIGINT, and a handler the program set with
// signal.signal still runs. An earlier SIG_DFL or SIG_IGN is not called, so SIGTERM no longer ends the
// process. Every wait has a listener of its own (its pending signals and an eventfd that wakes it), so
// overlapping waits each see every signal. Each wait starts fresh: a signal that arrived while no wait was
// running does not end a later one.
#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

namespace kestro::core {

// One wait's claim on the signals; the claim ends with the object.
class SignalListener {
 public:
  ~SignalListener();
  SignalListener(const SignalListener&) = delete;
  SignalListener& operator=(const SignalListener&) = delete;

 private:
  friend std::shared_ptr<SignalListener> begin_signal_wait();
  friend asio::awaitable<std::string> wait_for_shutdown_signal(std::shared_ptr<SignalListener> listener);
  explicit SignalListener(int slot) : slot_(slot) {}
  int slot_;
};

// Installs the handlers (where they are not ours) and starts listening. Called on the waiting thread before
// it blocks, so that a signal arriving while the runtime picks up the wait is not lost. Throws
// std::runtime_error("Failed to register SIGINT handler: ...") (or SIGTERM).
std::shared_ptr<SignalListener> begin_signal_wait();
// For the fork handler in the child, while it is the only thread.
void forget_signal_waits_in_forked_child() noexcept;

// Yields "SIGINT" or "SIGTERM" for the first signal that `listener` has heard.
asio::awaitable<std::string> wait_for_shutdown_signal(std::shared_ptr<SignalListener> listener);

}  // namespace kestro::core
