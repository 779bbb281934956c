// Owns the child-side fork handler.
#include "core/fork.hpp"

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "comm/can/pending_frames.hpp"
#include "core/gate.hpp"
#include "core/manager/registry.hpp"
#include "core/manager/signals.hpp"
#include "lib/py_ref.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"

namespace kestro::core {

namespace {

std::atomic<bool> g_installed{false};
std::atomic<std::uint64_t> g_generation{0};

// Runs in the child inside fork(), before Python's own after-fork work: only this thread exists.
void in_forked_child() {
  g_generation.fetch_add(1, std::memory_order_relaxed);
  rt::Runtime::forget_in_forked_child();
  rt::diag::forget_in_forked_child();
  comm::forget_pending_frames_in_forked_child();
  py::forget_parked_in_forked_child();
  gate::forget_in_forked_child();
  forget_tasks_in_forked_child();
  forget_signal_waits_in_forked_child();
}

}  // namespace

std::uint64_t process_generation() noexcept {
  return g_generation.load(std::memory_order_relaxed);
}

int install_fork_handler() {
  if (g_installed.exchange(true)) return 0;
  if (const int err = ::pthread_atfork(nullptr, nullptr, in_forked_child); err != 0) {
    g_installed.store(false);
    PyErr_Format(PyExc_OSError, "cannot register the fork handler: %s", std::strerror(err));
    return -1;
  }
  return 0;
}

}  // namespace kestro::core
