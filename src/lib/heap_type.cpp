// Owns the building of the module's heap types.
#include "lib/heap_type.hpp"

namespace kestro::py {

PyTypeObject* build_heap_type(PyType_Spec& spec, bool has_constructor) {
  spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
               (has_constructor ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* LazyType::get() {
  if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
  PyTypeObject* built = build_heap_type(spec_, has_constructor_);
  if (!built) return nullptr;
  PyTypeObject* expected = nullptr;
  // Two threads may build at once without the global lock; the loser's copy is dropped.
  if (!type_.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    Py_DECREF(built);
    return expected;
  }
  return built;
}

}  // namespace kestro::py
