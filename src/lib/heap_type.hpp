// Owns the module's class layout: instances that hold one native value and a borrow flag, and the heap
// types built from a spec with the module's rules (name "builtins.X", no subclassing, no __dict__, no weak
// references). Each type is created on first use and shared by every later use for the life of the process.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "lib/borrow.hpp"

namespace kestro::py {

template <class T>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

template <class T>
Instance<T>* instance_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self);
}

template <class T>
T& value_of(PyObject* self) noexcept {
  return instance_of<T>(self)->value();
}

// A new instance of `type` holding `value`, or nullptr with the error set.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* inst = instance_of<std::remove_cvref_t<T>>(self);
  new (&inst->borrow) BorrowFlag();
  new (inst->storage) std::remove_cvref_t<T>(std::forward<T>(value));
  return self;
}

// The deallocator of every instance type: drops the native value, then the object and its type reference.
template <class T>
void instance_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  value_of<T>(self).~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// Builds a heap type; `spec.name` must be "builtins.<Name>". Flags: default and immutable, plus
// DISALLOW_INSTANTIATION for classes without a constructor.
PyTypeObject* build_heap_type(PyType_Spec& spec, bool has_constructor);

// The lazily created, process-wide type object of one class. Call with the interpreter lock held.
class LazyType {
 public:
  LazyType(PyType_Spec& spec, bool has_constructor) : spec_(spec), has_constructor_(has_constructor) {}
  // Borrowed; nullptr with the error set when the type cannot be built.
  PyTypeObject* get();

 private:
  PyType_Spec& spec_;
  bool has_constructor_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace kestro::py
