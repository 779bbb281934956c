// Owns the argument converters and the "argument '{}': {}" error form.
#include "lib/convert.hpp"

#include <charconv>
#include <cstring>

#include "lib/py_ref.hpp"

namespace kestro::py {

void name_argument_error(const char* name) {
  PyObject* kind = nullptr;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    kind = PyExc_TypeError;
  } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    kind = PyExc_OverflowError;
  } else {
    return;
  }
  PyObject* original = PyErr_GetRaisedException();
  PyRef text = PyRef::steal(PyObject_Str(original));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("invalid value"));
  }
  PyErr_Format(kind, "argument '%s': %U", name, text.get());
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetCause(raised, original);  // steals original
  PyErr_SetRaisedException(raised);
}

bool to_u64(PyObject* o, const char* name, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) {
    name_argument_error(name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument_error(name);
    return false;
  }
  out = v;
  return true;
}

bool to_f64(PyObject* o, const char* name, double& out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    name_argument_error(name);
    return false;
  }
  out = v;
  return true;
}

bool to_f32(PyObject* o, const char* name, float& out) {
  double v = 0;
  if (!to_f64(o, name, v)) return false;
  out = static_cast<float>(v);
  return true;
}

bool to_string(PyObject* o, const char* name, std::string& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", name,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (!utf8) {
    // Lone surrogates cannot be encoded: the value is not a usable text.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': the text cannot be encoded as UTF-8", name);
    }
    return false;
  }
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_strict_bool(PyObject* o, const char* name, bool& out) {
  if (PyBool_Check(o)) {
    out = o == Py_True;
    return true;
  }
  const char* tname = Py_TYPE(o)->tp_name;
  if (std::strcmp(tname, "numpy.bool") == 0 || std::strcmp(tname, "numpy.bool_") == 0) {
    const int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBool'", name, tname);
  return false;
}

bool to_bytes(PyObject* o, const char* name, comm::Payload& out) {
  if (PyBytes_Check(o)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o));
    out = comm::Payload(std::span(p, static_cast<std::size_t>(PyBytes_GET_SIZE(o))));
    return true;
  }
  if (PyByteArray_Check(o)) {
    // Exported while it is read: without the GIL another thread could resize it and free the storage.
    struct Export {
      Py_buffer view;
      ~Export() { PyBuffer_Release(&view); }
    };
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) return false;
    const Export held{view};
    const auto* p = static_cast<const std::uint8_t*>(held.view.buf);
    out = comm::Payload(std::span(p, static_cast<std::size_t>(held.view.len)));
    return true;
  }
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'", name,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    name_argument_error(name);
    return false;
  }
  out = comm::Payload();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(o, i));
    if (!item) {
      name_argument_error(name);
      return false;
    }
    std::uint8_t b = 0;
    if (!to_unsigned<std::uint8_t>(item.get(), name, b)) return false;
    out.push_back(b);
  }
  return true;
}

std::string fixed_text(double v, int decimals) {
  char buf[400];  // the longest double in fixed notation has 309 digits before the point
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  return ec == std::errc{} ? std::string(buf, end) : std::string("nan");
}

}  // namespace kestro::py
