// Owns the owning reference types for Python objects.
//
// PyRef is for code that holds the interpreter lock whenever it drops a reference. AnyThreadRef is for
// objects kept in state shared with module threads: when its last holder lets go on a thread without the
// interpreter lock, the reference is parked and released by the next thread that enters Python through us
// or by a pending call that parking asks for, whichever comes first (after interpreter exit, never: the
// object is leaked, not touched).
//
// Whatever drops a reference may run Python code (a __del__), and that code may let go of the interpreter
// lock; a thread that takes it back once the interpreter finalizes is ended by CPython with a forced
// unwind. So nothing that drops a reference is noexcept: the unwind would reach std::terminate there. An
// AnyThreadRef lives in thread and handler state whose destructors must be noexcept: module threads reset()
// it explicitly while attached, so that its destructor has nothing left to drop.
#pragma once

#include <Python.h>

#include <utility>

namespace kestro::py {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() noexcept(false) { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // A new reference for returning to Python.
  PyObject* new_ref() const noexcept { return Py_XNewRef(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Releases `o` now if this thread holds the interpreter lock, else parks it for a thread that will.
void decref_anywhere(PyObject* o);
// From the interpreter's exit on, references dropped through decref_anywhere are leaked, never released.
void stop_releasing_references() noexcept;
// Releases parked references; the caller holds the interpreter lock.
void drain_parked_decrefs();
// For the fork handler in the child, while it is the only thread.
void forget_parked_in_forked_child() noexcept;

class AnyThreadRef {
 public:
  AnyThreadRef() = default;
  static AnyThreadRef steal(PyObject* o) noexcept { return AnyThreadRef(o); }
  AnyThreadRef(const AnyThreadRef&) = delete;
  AnyThreadRef& operator=(const AnyThreadRef&) = delete;
  AnyThreadRef(AnyThreadRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  AnyThreadRef& operator=(AnyThreadRef&& other) {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~AnyThreadRef() { reset(); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  void reset() {
    if (obj_) decref_anywhere(std::exchange(obj_, nullptr));
  }

 private:
  explicit AnyThreadRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace kestro::py
