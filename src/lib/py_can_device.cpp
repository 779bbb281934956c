// Owns the Python class CanDevice: the blocking device. send and receive take the instance exclusively
// and keep the interpreter lock while they wait.
#include "lib/py_can_device.hpp"

#include <optional>
#include <string>
#include <vector>

#include "comm/can/can_device.hpp"
#include "lib/args.hpp"
#include "lib/can_values.hpp"
#include "lib/convert.hpp"
#include "lib/method.hpp"

namespace kestro::py {

namespace {

struct PyCanDevice {
  comm::CanDeviceSync device;
};

constexpr const char* kSendParams[] = {"id", "data"};

PyObject* send(PyObject*, PyCanDevice& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  if (!parse_args({"send", kSendParams, 2, 2}, args, nargs, kwnames, argv)) return nullptr;
  std::uint32_t id = 0;
  comm::Payload data;
  if (!to_unsigned<std::uint32_t>(argv[0], "id", id) || !to_bytes(argv[1], "data", data)) return nullptr;
  auto sent = self.device.send(id, data);
  if (!sent) return raise_io_error(sent.error());
  Py_RETURN_NONE;
}

PyObject* receive(PyObject*, PyCanDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("receive", nargs, kwnames)) return nullptr;
  auto got = self.device.receive();
  if (!got) return raise_io_error(got.error());
  return message_to_tuple(*got);
}

PyObject* interface(PyObject*, PyCanDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("interface", nargs, kwnames)) return nullptr;
  const std::string& name = self.device.interface();
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

PyObject* new_can_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> PyObject* {
    std::string interface;
    if (!parse_interface_arg("CanDevice", args, kwargs, interface)) return nullptr;
    auto opened = comm::CanDeviceSync::open(interface);
    if (!opened) return raise_io_error(opened.error());
    return new_instance(type, PyCanDevice{std::move(*opened)});
  });
}

PyMethodDef methods[] = {
    {"send", as_cfunction(method<PyCanDevice, send, Access::Exclusive>), kFastcallKw,
     "send($self, id, data)\n--\n\nSend a CAN frame (blocking)\n\n"
     "id: the CAN frame ID. data: the bytes to send, up to 8 bytes."},
    {"receive", as_cfunction(method<PyCanDevice, receive, Access::Exclusive>), kFastcallKw,
     "receive($self)\n--\n\nReceive a CAN frame (blocking)\n\n"
     "Returns a tuple (id, data) where id is an unsigned 32-bit integer and data is bytes."},
    {"interface", as_cfunction(method<PyCanDevice, interface>), kFastcallKw,
     "interface($self)\n--\n\nGet the interface name"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("CanDevice(interface)\n--\n\n简单模式 CAN 设备（阻塞 API）\n\n"
                                  "此版本使用同步 API，适用于简单场景。")},
    {Py_tp_new, reinterpret_cast<void*>(new_can_device)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<PyCanDevice>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.CanDevice", sizeof(Instance<PyCanDevice>), 0, 0, slots};

}  // namespace

PyTypeObject* can_device_type() {
  static LazyType type(spec, true);
  return type.get();
}

}  // namespace kestro::py
