// Owns background tasks: the state one task shares between its runtime task, its handle and its registry
// entry, and the task body that calls the Python function once on a runtime worker thread.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/manager/registry.hpp"
#include "lib/py_ref.hpp"
#include "runtime/async_mutex.hpp"

namespace kestro::core {

struct TaskState {
  std::atomic<bool> completed{false};
  std::atomic<bool> cancelled{false};
  rt::AsyncMutexSlot<py::AnyThreadRef> result;
  rt::AsyncMutexSlot<std::optional<std::string>> error;

  // Wakes a poller as soon as the task completes or is cancelled, instead of at the end of its poll.
  void notify_done();
  // Sleeps at most `limit`; true when the task completed or was cancelled meanwhile.
  bool sleep_unless_done(std::chrono::nanoseconds limit);

 private:
  std::mutex done_mu_;
  std::condition_variable done_cv_;
};

struct StartedTask {
  std::uint64_t id;
  std::shared_ptr<TaskState> state;
  HandleSlot handle;
};

// Starts `func(*args)` in the background, inside `context` (a contextvars context of the task's own), and
// registers it. The caller holds the interpreter lock.
// Throws rt::RuntimeUnavailable when the shared runtime cannot be built.
StartedTask start_task(PyObject* func, PyObject* args, PyObject* context);

}  // namespace kestro::core
