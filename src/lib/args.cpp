// Owns argument parsing and its TypeError messages.
#include "lib/args.hpp"

#include <cstring>
#include <vector>

#include "lib/py_ref.hpp"

namespace kestro::py {

bool parse_no_args(const char* callable, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", callable, nargs);
    return false;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", callable,
                 PyTuple_GET_ITEM(kwnames, 0));
    return false;
  }
  return true;
}

bool refuse_keywords(const char* callable, PyObject* kwargs) {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return true;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  PyDict_Next(kwargs, &pos, &key, &value);
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", callable, key);
  return false;
}

bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(p.count);
  if (nargs > count) {
    if (p.count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", p.callable, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", p.callable, count,
                   count == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* key_utf8 = PyUnicode_AsUTF8(key);
    if (!key_utf8) return false;
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (std::strcmp(p.names[i], key_utf8) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.callable, key);
      return false;
    }
    if (out[index]) {
      if (index < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", p.callable,
                     p.names[index], index + 1);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.callable,
                     p.names[index]);
      }
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (std::size_t i = 0; i < p.required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", p.callable, p.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

bool parse_tuple_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> flat;
  flat.reserve(static_cast<std::size_t>(nargs) + 2);
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  PyRef kwnames;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  return parse_args(params, flat.data(), nargs, kwnames.get(), out);
}

}  // namespace kestro::py
