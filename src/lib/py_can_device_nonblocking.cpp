// Owns the Python class CanDeviceNonBlocking: frames are queued for the device's background task and taken
// from its incoming channel. Every call takes a shared borrow; none releases the interpreter lock.
#include <optional>
#include <string>
#include <vector>

#include "comm/can/can_device_async.hpp"
#include "lib/args.hpp"
#include "lib/can_values.hpp"
#include "lib/convert.hpp"
#include "lib/method.hpp"
#include "lib/py_can_device.hpp"

namespace kestro::py {

namespace {

struct PyCanDeviceNonBlocking {
  comm::CanDeviceAsync device;
};

constexpr const char* kSendParams[] = {"id", "data"};
constexpr const char* kTimeoutParams[] = {"timeout_ms"};

PyObject* send(PyObject*, PyCanDeviceNonBlocking& self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  PyObject* argv[2] = {};
  if (!parse_args({"send", kSendParams, 2, 2}, args, nargs, kwnames, argv)) return nullptr;
  std::uint32_t id = 0;
  comm::Payload data;
  if (!to_unsigned<std::uint32_t>(argv[0], "id", id) || !to_bytes(argv[1], "data", data)) return nullptr;
  auto queued = self.device.send_nonblocking(id, data);
  if (!queued) return raise_io_error(queued.error());
  Py_RETURN_NONE;
}

PyObject* try_receive(PyObject*, PyCanDeviceNonBlocking& self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (!parse_no_args("try_receive", nargs, kwnames)) return nullptr;
  return optional_message_to_python(self.device.try_receive());
}

PyObject* receive_timeout(PyObject*, PyCanDeviceNonBlocking& self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!parse_args({"receive_timeout", kTimeoutParams, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  std::uint64_t timeout_ms = 0;
  if (!to_u64(arg, "timeout_ms", timeout_ms)) return nullptr;
  return optional_message_to_python(self.device.receive_timeout(timeout_ms));
}

PyObject* interface(PyObject*, PyCanDeviceNonBlocking& self, PyObject* const*, Py_ssize_t nargs,
                    PyObject* kwnames) {
  if (!parse_no_args("interface", nargs, kwnames)) return nullptr;
  const std::string& name = self.device.interface();
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

PyObject* new_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> PyObject* {
    std::string interface;
    if (!parse_interface_arg("CanDeviceNonBlocking", args, kwargs, interface)) return nullptr;
    auto opened = comm::CanDeviceAsync::open(interface);
    if (!opened) return raise_io_error(opened.error());
    return new_instance(type, PyCanDeviceNonBlocking{std::move(*opened)});
  });
}

PyMethodDef methods[] = {
    {"send", as_cfunction(method<PyCanDeviceNonBlocking, send>), kFastcallKw,
     "send($self, id, data)\n--\n\nSend a CAN frame (non-blocking)\n\n"
     "id: the CAN frame ID. data: the bytes to send, up to 8 bytes."},
    {"try_receive", as_cfunction(method<PyCanDeviceNonBlocking, try_receive>), kFastcallKw,
     "try_receive($self)\n--\n\nTry to receive a CAN frame (non-blocking)\n\n"
     "Returns the (id, data) tuple if a message is available, None otherwise."},
    {"receive_timeout", as_cfunction(method<PyCanDeviceNonBlocking, receive_timeout>), kFastcallKw,
     "receive_timeout($self, timeout_ms)\n--\n\nReceive a CAN frame with timeout\n\n"
     "timeout_ms: the time limit in milliseconds. Returns the (id, data) tuple if a message was received, "
     "None on timeout."},
    {"interface", as_cfunction(method<PyCanDeviceNonBlocking, interface>), kFastcallKw,
     "interface($self)\n--\n\nGet the interface name"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("CanDeviceNonBlocking(interface)\n--\n\n高级异步 CAN 设备（非阻塞 API）\n\n"
                                  "后台任务负责收发 CAN 报文，API 不会阻塞。")},
    {Py_tp_new, reinterpret_cast<void*>(new_device)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<PyCanDeviceNonBlocking>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.CanDeviceNonBlocking", sizeof(Instance<PyCanDeviceNonBlocking>), 0, 0, slots};

}  // namespace

PyTypeObject* can_device_nonblocking_type() {
  static LazyType type(spec, true);
  return type.get();
}

}  // namespace kestro::py
