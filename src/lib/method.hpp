// Owns the adapters that turn plain C++ functions into the module's Python entry points: each runs inside the
// fault boundary and, for instance methods, under a shared or exclusive borrow of the instance.
#pragma once

#include <Python.h>

#include "lib/boundary.hpp"
#include "lib/heap_type.hpp"

namespace kestro::py {

template <class T>
using MethodFn = PyObject* (*)(PyObject* self, T& value, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
template <class T>
using ValueFn = PyObject* (*)(PyObject* self, T& value);
using FunctionFn = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

enum class Access { Shared, Exclusive };

template <class T, MethodFn<T> Fn, Access A = Access::Shared>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    auto& flag = instance_of<T>(self)->borrow;
    Borrow b = A == Access::Shared ? Borrow::shared(flag) : Borrow::exclusive(flag);
    if (!b) return nullptr;
    return Fn(self, value_of<T>(self), args, nargs, kwnames);
  });
}

// For getters, __repr__ and other slots that take only the instance.
template <class T, ValueFn<T> Fn>
PyObject* shared_value(PyObject* self) {
  return guarded_object([&]() -> PyObject* {
    Borrow b = Borrow::shared(instance_of<T>(self)->borrow);
    if (!b) return nullptr;
    return Fn(self, value_of<T>(self));
  });
}

template <class T, ValueFn<T> Fn>
PyObject* getter(PyObject* self, void*) {
  return shared_value<T, Fn>(self);
}

template <FunctionFn Fn>
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* { return Fn(module, args, nargs, kwnames); });
}

template <class F>
constexpr PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline constexpr int kFastcallKw = METH_FASTCALL | METH_KEYWORDS;

}  // namespace kestro::py
