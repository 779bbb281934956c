// Owns the parking of Python references dropped on threads that do not hold the interpreter lock.
#include "lib/py_ref.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace kestro::py {

namespace {
// Leaked on purpose: module threads may still park references while the process exits.
struct Parked {
  std::mutex mu;
  std::vector<PyObject*> refs;
};
std::atomic<Parked*> g_parked{new Parked};
std::mutex& parked_mutex() {
  return g_parked.load(std::memory_order_acquire)->mu;
}
std::vector<PyObject*>& parked() {
  return g_parked.load(std::memory_order_acquire)->refs;
}
std::atomic<bool> g_exiting{false};
// Whether a pending call to release the parked references is already asked for.
std::atomic<bool> g_release_asked{false};

int release_parked(void*) {
  g_release_asked.store(false, std::memory_order_seq_cst);
  if (!g_exiting.load(std::memory_order_seq_cst)) drain_parked_decrefs();
  return 0;
}

// Module threads release what they hold while they are attached; what is parked all the same (the last
// holder of a task's result was its worker) goes at the main thread's next check for pending calls, not at
// whenever some module thread next enters Python.
void ask_for_release() {
  if (g_release_asked.exchange(true, std::memory_order_seq_cst)) return;
  if (Py_AddPendingCall(release_parked, nullptr) < 0) g_release_asked.store(false, std::memory_order_seq_cst);
}
}  // namespace

void stop_releasing_references() noexcept {
  g_exiting.store(true, std::memory_order_seq_cst);
}

void decref_anywhere(PyObject* o) {
  if (!o) return;
  // Once the interpreter exits, a release that deallocates could run Python on a thread that is no
  // longer attached: leak instead.
  if (g_exiting.load(std::memory_order_seq_cst) || Py_IsFinalizing()) return;
  // Whether this thread is attached, asked of its own thread state: PyGILState_Check answers yes on every
  // thread once a subinterpreter exists.
  if (PyThreadState_GetUnchecked() != nullptr) {
    Py_DECREF(o);
    return;
  }
  {
    std::lock_guard lock(parked_mutex());
    parked().push_back(o);
  }
  ask_for_release();
}

void forget_parked_in_forked_child() noexcept {
  // Its lock may have been held by a thread that is gone; what the parent parked stays unreleased here.
  if (auto* fresh = new (std::nothrow) Parked) g_parked.store(fresh, std::memory_order_release);
  g_release_asked.store(false, std::memory_order_relaxed);
}

void drain_parked_decrefs() {
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(parked_mutex());
    if (parked().empty()) return;
    batch.swap(parked());
  }
  for (PyObject* o : batch) Py_DECREF(o);
}

}  // namespace kestro::py
