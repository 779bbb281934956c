// Owns the parking of Python references dropped on threads that do not hold the interpreter lock.
#include "lib/py_ref.hpp"

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
}  // namespace

void decref_anywhere(PyObject* o) noexcept {
  if (!o) return;
  if (PyGILState_Check()) {
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
