// Owns the Python class Motor: one broadcast group on one CAN interface. Every call takes a shared borrow;
// none releases the interpreter lock (the calibration pause and the feedback read keep it).
#include <cstdio>
#include <optional>
#include <string>

#include "instance/motor/mod.hpp"
#include "lib/args.hpp"
#include "lib/can_values.hpp"
#include "lib/convert.hpp"
#include "lib/foc_mode.hpp"
#include "lib/method.hpp"
#include "lib/py_motor.hpp"

namespace kestro::py {

namespace {

struct PyMotor {
  motor::Motor group;
};

constexpr const char* kNewParams[] = {"interface", "host", "host_id"};
constexpr const char* kAddParams[] = {"slot_index", "node_id", "mode"};
constexpr const char* kSetTargetParams[] = {"slot_index", "value"};
constexpr const char* kSlotParams[] = {"slot_index"};
constexpr const char* kModeParams[] = {"mode"};

PyObject* new_motor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> PyObject* {
    PyObject* argv[3] = {};
    if (!parse_tuple_args({"Motor", kNewParams, 3, 1}, args, kwargs, argv)) return nullptr;
    std::string interface;
    if (!to_string(argv[0], "interface", interface)) return nullptr;
    std::optional<std::uint32_t> host;
    std::optional<std::uint32_t> host_id;
    if (!to_optional_unsigned<std::uint32_t>(argv[1], "host", host)) return nullptr;
    const bool host_id_given = argv[2] && argv[2] != Py_None;
    if (!host && !host_id_given) {
      PyErr_SetString(PyExc_ValueError, "missing host CAN id: use second argument or host= / host_id=");
      return nullptr;
    }
    if (!to_optional_unsigned<std::uint32_t>(argv[2], "host_id", host_id)) return nullptr;
    if (host && host_id) {
      PyErr_SetString(PyExc_ValueError, "pass only one of 'host' or 'host_id', not both");
      return nullptr;
    }
    auto opened = motor::Motor::open(interface, host ? *host : *host_id);
    if (!opened) return raise_io_error(opened.error());
    return new_instance(type, PyMotor{std::move(*opened)});
  });
}

PyObject* add_device(PyObject*, PyMotor& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[3] = {};
  if (!parse_args({"add_device", kAddParams, 3, 3}, args, nargs, kwnames, argv)) return nullptr;
  std::uint8_t slot = 0;
  std::uint32_t node_id = 0;
  motor::FocMode mode{};
  if (!to_unsigned<std::uint8_t>(argv[0], "slot_index", slot) ||
      !to_unsigned<std::uint32_t>(argv[1], "node_id", node_id) || !parse_foc_mode(argv[2], "mode", mode)) {
    return nullptr;
  }
  auto added = self.group.add_device(slot, node_id, mode);
  if (!added) return raise_io_error(added.error());
  return wrap_device(std::move(*added));
}

PyObject* set_target(PyObject*, PyMotor& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  if (!parse_args({"set_target", kSetTargetParams, 2, 2}, args, nargs, kwnames, argv)) return nullptr;
  std::uint8_t slot = 0;
  float value = 0.0f;
  if (!to_unsigned<std::uint8_t>(argv[0], "slot_index", slot) || !to_f32(argv[1], "value", value)) {
    return nullptr;
  }
  self.group.set_target(slot, value);
  Py_RETURN_NONE;
}

PyObject* broadcast(PyObject*, PyMotor& self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_no_args("broadcast", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.group.broadcast());
}

PyObject* get_watch_data(PyObject*, PyMotor& self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!parse_args({"get_watch_data", kSlotParams, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  std::uint8_t slot = 0;
  if (!to_unsigned<std::uint8_t>(arg, "slot_index", slot)) return nullptr;
  std::optional<motor::WatchData> data = self.group.get_watch_data(slot);
  if (!data) Py_RETURN_NONE;
  return watch_data_to_dict(*data);
}

PyObject* enter_configure_broadcast(PyObject*, PyMotor& self, PyObject* const*, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  if (!parse_no_args("enter_configure_broadcast", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.group.enter_configure_broadcast());
}

PyObject* exit_configure_broadcast(PyObject*, PyMotor& self, PyObject* const*, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  if (!parse_no_args("exit_configure_broadcast", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.group.exit_configure_broadcast());
}

PyObject* calibrate_broadcast(PyObject*, PyMotor& self, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
  if (!parse_no_args("calibrate_broadcast", nargs, kwnames)) return nullptr;
  return none_or_io_error(self.group.calibrate_broadcast());
}

PyObject* set_foc_mode_broadcast(PyObject*, PyMotor& self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!parse_args({"set_foc_mode_broadcast", kModeParams, 1, 1}, args, nargs, kwnames, &arg)) return nullptr;
  motor::FocMode mode{};
  if (!parse_foc_mode(arg, "mode", mode)) return nullptr;
  return none_or_io_error(self.group.set_foc_mode_broadcast(mode));
}

PyObject* get_host(PyObject*, PyMotor& self) {
  return PyLong_FromUnsignedLong(self.group.host_id());
}

PyObject* repr(PyObject*, PyMotor& self) {
  char text[96];
  std::snprintf(text, sizeof text, "Motor(host=0x%X, devices=%zu)", self.group.host_id(),
                self.group.device_count());
  return PyUnicode_FromString(text);
}

constexpr const char* kHostDoc = "宿主侧控制帧 CAN ID（与 ``host`` 相同）";

PyMethodDef methods[] = {
    {"add_device", as_cfunction(method<PyMotor, add_device>), kFastcallKw,
     "add_device($self, slot_index, node_id, mode)\n--\n\n向广播组添加一个驱动器\n\n"
     "slot_index：必须与驱动器固件的 target_index 一致（0–3，大于 3 视为 3）。\n"
     "node_id：驱动器回传帧的 CAN ID（配置帧 dest 取其低 16 位）。\n"
     "mode：'current'、'speed' 或 'position'（不区分大小写），决定广播时目标值的比例。\n\n"
     "依次发送：进入配置会话（0x73、0x74）、设置 FOC 模式、结束会话；不写 flash，不请求编码器零位。"
     "CAN 发送失败时抛出 OSError，且不登记该设备。"},
    {"set_target", as_cfunction(method<PyMotor, set_target>), kFastcallKw,
     "set_target($self, slot_index, value)\n--\n\n通过槽位索引直接设置目标值\n\n"
     "value 的单位随该槽位设备的模式（A、rad/s 或 rad）。槽位上没有 Device 时忽略。"},
    {"broadcast", as_cfunction(method<PyMotor, broadcast>), kFastcallKw,
     "broadcast($self)\n--\n\n将所有 Device 的目标值打包成一条 CAN 广播帧并发送\n\n"
     "帧 ID 为 host，8 字节：4 个有符号 16 位小端值，槽位 k 占字节 2k 与 2k+1，空槽位为 0。"
     "帧交给后台发送任务后立即返回。"},
    {"get_watch_data", as_cfunction(method<PyMotor, get_watch_data>), kFastcallKw,
     "get_watch_data($self, slot_index)\n--\n\n通过槽位索引获取回传数据\n\n"
     "返回 {\"position\": rad, \"speed\": rad/s, \"current\": A}；槽位为空时返回 None。"},
    {"enter_configure_broadcast", as_cfunction(method<PyMotor, enter_configure_broadcast>), kFastcallKw,
     "enter_configure_broadcast($self)\n--\n\n"
     "DR v1：广播进入 DR 配置会话（dest ``0xFFFF``；``0x73`` 再 ``0x74``，同 dest 与 CTL 字节 6）。"},
    {"exit_configure_broadcast", as_cfunction(method<PyMotor, exit_configure_broadcast>), kFastcallKw,
     "exit_configure_broadcast($self)\n--\n\nDR v1：广播结束 DR 配置会话（分组 0 code ``0``）。"},
    {"calibrate_broadcast", as_cfunction(method<PyMotor, calibrate_broadcast>), kFastcallKw,
     "calibrate_broadcast($self)\n--\n\n"
     "DR v1：在 DR 配置会话内广播请求编码器电气零位；发送后阻塞约 200 ms。\n\n等待期间不释放解释器锁。"},
    {"set_foc_mode_broadcast", as_cfunction(method<PyMotor, set_foc_mode_broadcast>), kFastcallKw,
     "set_foc_mode_broadcast($self, mode)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"host", getter<PyMotor, get_host>, nullptr, kHostDoc, nullptr},
    {"host_id", getter<PyMotor, get_host>, nullptr, kHostDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Motor(interface, host=None, host_id=None)\n--\n\n广播式电机控制器\n\n"
                       "一个 Motor 服务一个 CAN 接口与一个 host CAN ID。add_device() 最多登记 4 个驱动器"
                       "（广播帧的 4 个槽位），每次 broadcast() 把所有目标值打包进一条 CAN 帧。"
                       "后台任务按 CAN ID 把各驱动器的回传帧分发到对应的 Device。\n\n"
                       "host 与 host_id 是同一个值的两个名字，只能给出其一。")},
    {Py_tp_new, reinterpret_cast<void*>(new_motor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<PyMotor>)},
    {Py_tp_repr, reinterpret_cast<void*>(shared_value<PyMotor, repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.Motor", sizeof(Instance<PyMotor>), 0, 0, slots};

}  // namespace

PyTypeObject* motor_type() {
  static LazyType type(spec, true);
  return type.get();
}

}  // namespace kestro::py
