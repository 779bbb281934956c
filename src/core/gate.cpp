// Owns the Python gate for module threads and its closing at interpreter exit.
#include "core/gate.hpp"

#include <atomic>
#include <mutex>
#include <new>

#include "comm/can/pending_frames.hpp"
#include "lib/py_ref.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"

namespace kestro::core::gate {

namespace {

// Leaked: module threads may still look at the gate while the process exits.
std::atomic<std::mutex*> g_entry_mutex{new std::mutex};
std::mutex& entry_mutex() {
  return *g_entry_mutex.load(std::memory_order_acquire);
}
std::atomic<bool> g_closed{false};
constexpr auto kExitFrameFlushLimit = std::chrono::milliseconds(200);
std::atomic<bool> g_installed{false};

PyObject* close_gate(PyObject*, PyObject*) {
  // Threads between their closed check and holding the interpreter lock hold entry_mutex; let them finish
  // taking the lock so that none enters after this returns.
  Py_BEGIN_ALLOW_THREADS {
    std::lock_guard lock(entry_mutex());
    g_closed.store(true, std::memory_order_seq_cst);
  }
  kestro::py::stop_releasing_references();
  // The frames a program queued last (a zero target before it exits, say) get a moment to reach the bus.
  kestro::comm::wait_for_pending_frames(kExitFrameFlushLimit);
  // And the diagnostic lines queued last (a send that failed on the way out) reach standard error.
  kestro::rt::diag::flush(kExitFrameFlushLimit);
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_kestro_close_gate", close_gate, METH_NOARGS, nullptr};

// A thread that waits for a runtime lock lets go of the interpreter meanwhile, if it holds it: the holder of
// that lock may be a task that first needs the interpreter, or a worker that another such task occupies.
void* release_interpreter() {
  if (!PyThreadState_GetUnchecked()) return nullptr;
  return PyEval_SaveThread();
}

void reacquire_interpreter(void* state) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

}  // namespace

int install() {
  if (g_installed.exchange(true)) return 0;
  kestro::rt::set_blocking_hooks({release_interpreter, reacquire_interpreter});
  kestro::py::PyRef atexit = kestro::py::PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  kestro::py::PyRef fn = kestro::py::PyRef::steal(PyCFunction_New(&close_gate_def, nullptr));
  if (!fn) return -1;
  kestro::py::PyRef r =
      kestro::py::PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  if (!r) {
    g_installed.store(false);
    return -1;
  }
  return 0;
}

std::optional<PyGILState_STATE> enter() {
  std::unique_lock lock(entry_mutex());
  if (g_closed.load(std::memory_order_seq_cst)) return std::nullopt;
  PyGILState_STATE state = PyGILState_Ensure();
  lock.unlock();
  kestro::py::drain_parked_decrefs();
  return state;
}

void leave(PyGILState_STATE state) {
  PyGILState_Release(state);
}

void forget_in_forked_child() noexcept {
  // A module thread that was taking the interpreter lock when the process forked held this mutex; it is not
  // in the child to let go of it.
  if (auto* fresh = new (std::nothrow) std::mutex) g_entry_mutex.store(fresh, std::memory_order_release);
}

bool is_closed() noexcept {
  return g_closed.load(std::memory_order_seq_cst);
}

}  // namespace kestro::core::gate
