// Owns the parking of Python references dropped on threads that do not hold the interpreter lock.
#include "lib/py_ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace kestro::py {

namespace {
// Leaked on purpose: module threads may still park references while the process exits.
std::mutex& parked_mutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<PyObject*>& parked() {
  static auto* v = new std::vector<PyObject*>;
  return *v;
}
std::atomic<bool> g_exiting{false};
}  // namespace

void stop_releasing_references() noexcept {
  g_exiting.store(true, std::memory_order_seq_cst);
}

void decref_anywhere(PyObject* o) noexcept {
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
  std::lock_guard lock(parked_mutex());
  parked().push_back(o);
}

void drain_parked_decrefs() noexcept {
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(parked_mutex());
    if (parked().empty()) return;
    batch.swap(parked());
  }
  for (PyObject* o : batch) Py_DECREF(o);
}

}  // namespace kestro::py
