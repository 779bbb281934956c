// Owns the Python class Device: one shared reference to a driver's record in a broadcast group. Instances
// come only from Motor.add_device. Every call takes a shared borrow; none releases the interpreter lock.
#include <cstdio>
#include <memory>

#include "lib/args.hpp"
#include "lib/can_values.hpp"
#include "lib/convert.hpp"
#include "lib/foc_mode.hpp"
#include "lib/method.hpp"
#include "lib/py_motor.hpp"

namespace kestro::py {

namespace {

struct PyDevice {
  std::shared_ptr<motor::Device> device;
};

constexpr const char* kValueParams[] = {"value"};
constexpr const char* kModeParams[] = {"mode"};

PyObject* set_target(PyObject*, PyDevice& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!parse_args({"set_target", kValueParams, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  float value = 0.0f;
  if (!to_f32(arg, "value", value)) return nullptr;
  self.device->set_target(value);
  Py_RETURN_NONE;
}

PyObject* get_target(PyObject*, PyDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("get_target", nargs, kwnames)) return nullptr;
  return PyFloat_FromDouble(self.device->get_target());
}

PyObject* get_watch_data(PyObject*, PyDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("get_watch_data", nargs, kwnames)) return nullptr;
  return watch_data_to_dict(self.device->get_watch_data_blocking());
}

PyObject* enter_configure(PyObject*, PyDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("enter_configure", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.device->enter_configure());
}

PyObject* exit_configure(PyObject*, PyDevice& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("exit_configure", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.device->exit_configure());
}

PyObject* start_calibration(PyObject*, PyDevice& self, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) {
  if (!parse_no_args("start_calibration", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.device->start_calibration());
}

PyObject* set_foc_mode(PyObject*, PyDevice& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!parse_args({"set_foc_mode", kModeParams, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  motor::FocMode mode{};
  if (!parse_foc_mode(arg, "mode", mode)) return nullptr;
  return none_or_io_error(self.device->set_foc_mode(mode));
}

PyObject* get_slot_index(PyObject*, PyDevice& self) {
  return PyLong_FromUnsignedLong(self.device->slot_index());
}

PyObject* get_node_id(PyObject*, PyDevice& self) {
  return PyLong_FromUnsignedLong(self.device->node_id());
}

PyObject* repr(PyObject*, PyDevice& self) {
  char text[64];
  std::snprintf(text, sizeof text, "Device(slot=%u, node_id=0x%X, target=",
                static_cast<unsigned>(self.device->slot_index()), self.device->node_id());
  const std::string repr =
      text + fixed_text(static_cast<double>(self.device->get_target()), 4) + ")";
  return PyUnicode_FromStringAndSize(repr.data(), static_cast<Py_ssize_t>(repr.size()));
}

PyMethodDef methods[] = {
    {"set_target", as_cfunction(method<PyDevice, set_target>), kFastcallKw,
     "set_target($self, value)\n--\n\n设置目标值（物理量）\n\n"
     "单位随 add_device() 时给定的模式：current 为 A，speed 为 rad/s，position 为 rad。"
     "下一次 Motor.broadcast() 时按该模式的比例编码为有符号 16 位计数（超出范围时饱和，NaN 发送 0）。"},
    {"get_target", as_cfunction(method<PyDevice, get_target>), kFastcallKw,
     "get_target($self)\n--\n\n读取当前目标值\n\n返回单精度换算后的值。"},
    {"get_watch_data", as_cfunction(method<PyDevice, get_watch_data>), kFastcallKw,
     "get_watch_data($self)\n--\n\n获取最新回传数据\n\n"
     "返回 {\"position\": rad, \"speed\": rad/s, \"current\": A}；尚未收到回传帧时全为 0.0。"},
    {"enter_configure", as_cfunction(method<PyDevice, enter_configure>), kFastcallKw,
     "enter_configure($self)\n--\n\n"
     "DR v1：单播进入 DR 配置会话（首帧字节 3=``0x73``，次帧=``0x74``，同 dest 与 CTL 字节 6）。\n\n"
     "dest 为 node_id 的低 16 位。CAN 发送失败时抛出 OSError。"},
    {"exit_configure", as_cfunction(method<PyDevice, exit_configure>), kFastcallKw,
     "exit_configure($self)\n--\n\n"
     "DR v1：在 DR 配置会话内发送「结束会话」（分组 0 code 0；不改变固件运行状态）。"},
    {"start_calibration", as_cfunction(method<PyDevice, start_calibration>), kFastcallKw,
     "start_calibration($self)\n--\n\n"
     "DR v1：在 DR 配置会话内请求编码器电气零位。发送后阻塞约 200 ms。\n\n"
     "等待期间不释放解释器锁。CAN 发送失败时立即抛出 OSError。"},
    {"set_foc_mode", as_cfunction(method<PyDevice, set_foc_mode>), kFastcallKw,
     "set_foc_mode($self, mode)\n--\n\nDR v1：必须在 DR 配置会话内。\n\n"
     "mode 为 'current'、'speed' 或 'position'（不区分大小写）。只改变驱动器固件的模式："
     "广播时仍按 add_device() 时的模式换算本设备的目标值。"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"slot_index", getter<PyDevice, get_slot_index>, nullptr, "槽位索引（0–3）", nullptr},
    {"node_id", getter<PyDevice, get_node_id>, nullptr,
     "驱动器节点 / 回传帧 CAN ID（与嵌入式 ``node_id`` 一致）", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "广播组中单个电机驱动器的收发管理单元\n\n"
                    "实例由 Motor.add_device() 创建，不能直接构造。set_target(value) 设置下一次广播的目标值，"
                    "get_watch_data() 读取该驱动器最新的回传数据。\n\n"
                    "广播帧（CAN ID = host）：8 字节，槽位 k 占字节 2k 与 2k+1，"
                    "为有符号 16 位小端计数（current ×100，speed ×10，position ×100），空槽位为 0。")},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<PyDevice>)},
    {Py_tp_repr, reinterpret_cast<void*>(shared_value<PyDevice, repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.Device", sizeof(Instance<PyDevice>), 0, 0, slots};

}  // namespace

PyTypeObject* device_type() {
  static LazyType type(spec, false);
  return type.get();
}

PyObject* wrap_device(std::shared_ptr<motor::Device> device) {
  PyTypeObject* type = device_type();
  if (!type) return nullptr;
  return new_instance(type, PyDevice{std::move(device)});
}

PyObject* watch_data_to_dict(const motor::WatchData& data) {
  // Interned once: a control loop reads feedback thousands of times a second.
  static PyObject* const keys[3] = {PyUnicode_InternFromString("position"),
                                    PyUnicode_InternFromString("speed"),
                                    PyUnicode_InternFromString("current")};
  if (!keys[0] || !keys[1] || !keys[2]) return nullptr;
  const float values[3] = {data.position, data.speed, data.current};
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  for (int i = 0; i < 3; ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (!v || PyDict_SetItem(dict, keys[i], v) < 0) {
      Py_XDECREF(v);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(v);
  }
  return dict;
}

}  // namespace kestro::py
