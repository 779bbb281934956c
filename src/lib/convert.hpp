// Owns the conversion of Python arguments to plain C++ values. On failure each converter returns false with
// the exception set: a type mismatch is a TypeError "argument '{name}': {reason}", a value outside the range
// an OverflowError; an exception raised by the object's own __index__/__float__/__str__ passes through.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "comm/can/frame.hpp"

namespace kestro::py {

bool to_u64(PyObject* o, const char* name, std::uint64_t& out);

template <class U>
bool to_unsigned(PyObject* o, const char* name, U& out) {
  std::uint64_t wide = 0;
  if (!to_u64(o, name, wide)) return false;
  if (wide > std::numeric_limits<U>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
    return false;
  }
  out = static_cast<U>(wide);
  return true;
}

// nullptr (left out) and None give nullopt.
template <class U>
bool to_optional_unsigned(PyObject* o, const char* name, std::optional<U>& out) {
  if (!o || o == Py_None) {
    out.reset();
    return true;
  }
  U v = 0;
  if (!to_unsigned<U>(o, name, v)) return false;
  out = v;
  return true;
}
inline bool to_optional_u64(PyObject* o, const char* name, std::optional<std::uint64_t>& out) {
  return to_optional_unsigned<std::uint64_t>(o, name, out);
}

bool to_f64(PyObject* o, const char* name, double& out);
bool to_f32(PyObject* o, const char* name, float& out);
bool to_string(PyObject* o, const char* name, std::string& out);
// Only a Python bool or a NumPy bool.
bool to_strict_bool(PyObject* o, const char* name, bool& out);
// bytes, bytearray or a sequence of integers 0..255; a str is refused.
bool to_bytes(PyObject* o, const char* name, comm::Payload& out);

// `v` with `decimals` digits after the point, as "%.Nf" would print it in the C locale: reprs never follow
// the program's LC_NUMERIC.
std::string fixed_text(double v, int decimals);

// Rewrites a pending TypeError (or OverflowError) into the "argument '{name}': {reason}" form.
void name_argument_error(const char* name);

}  // namespace kestro::py
