// Owns argument parsing for METH_FASTCALL | METH_KEYWORDS entry points: every parameter by position or by
// keyword, trailing parameters optional, and the interpreter's TypeError forms for missing, surplus,
// duplicated and unexpected arguments.
#pragma once

#include <Python.h>

#include <cstddef>

namespace kestro::py {

struct Params {
  const char* callable;      // as named in messages, e.g. "wait_all"
  const char* const* names;  // parameter names in order
  std::size_t count;
  std::size_t required;  // the first `required` parameters have no default
};

// Fills `out[0..count)` with borrowed references, nullptr where an optional argument was left out.
// Returns false with a TypeError set when the call does not fit the parameters.
bool parse_args(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// The same for tp_new and tp_call slots, which get a tuple and a dict.
bool parse_tuple_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Refuses keyword arguments of a tp_call slot that takes positional arguments only.
bool refuse_keywords(const char* callable, PyObject* kwargs);

// Refuses any argument at all.
bool parse_no_args(const char* callable, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kestro::py
