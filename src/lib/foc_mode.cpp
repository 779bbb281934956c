// Owns the mode text parser shared by Device and Motor.
#include "lib/foc_mode.hpp"

#include <cstring>
#include <string>

#include "lib/convert.hpp"
#include "lib/py_ref.hpp"

namespace kestro::py {

bool parse_foc_mode(PyObject* text, const char* name, comm::protocol::FocMode& out) {
  using comm::protocol::FocMode;
  std::string checked;
  if (!to_string(text, name, checked)) return false;
  // str.lower itself, not a subclass's override.
  PyRef lowered =
      PyRef::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", text));
  if (!lowered) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
  if (!utf8) return false;
  const std::string_view word(utf8, static_cast<std::size_t>(size));
  if (word == "current") {
    out = FocMode::Current;
  } else if (word == "speed") {
    out = FocMode::Speed;
  } else if (word == "position") {
    out = FocMode::Position;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown mode '%U', expected 'current', 'speed', or 'position'",
                 lowered.get());
    return false;
  }
  return true;
}

}  // namespace kestro::py
