// Owns the conversions shared by the CAN classes.
#include "lib/can_values.hpp"

#include "lib/args.hpp"
#include "lib/convert.hpp"
#include "lib/py_ref.hpp"

namespace kestro::py {

PyObject* message_to_tuple(const comm::CanMessage& msg) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLong(msg.id));
  if (!id) return nullptr;
  const auto bytes = msg.data.bytes();
  PyRef data = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<Py_ssize_t>(bytes.size())));
  if (!data) return nullptr;
  return PyTuple_Pack(2, id.get(), data.get());
}

PyObject* optional_message_to_python(const std::optional<comm::CanMessage>& msg) {
  if (!msg) Py_RETURN_NONE;
  return message_to_tuple(*msg);
}

bool parse_interface_arg(const char* callable, PyObject* args, PyObject* kwargs, std::string& interface) {
  static constexpr const char* kNames[] = {"interface"};
  PyObject* arg = nullptr;
  if (!parse_tuple_args({callable, kNames, 1, 1}, args, kwargs, &arg)) return false;
  return to_string(arg, "interface", interface);
}

PyObject* raise_io_error(const comm::IoError& err) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(err.message.data(), static_cast<Py_ssize_t>(err.message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_OSError, text.get());
  return nullptr;
}

PyObject* none_or_io_error(const comm::IoResult<void>& result) {
  if (!result) return raise_io_error(result.error());
  Py_RETURN_NONE;
}

}  // namespace kestro::py
