// Owns the Python class TaskManager and the function get_task_manager.
#include "core/manager/py_task_manager.hpp"

#include <optional>

#include "core/manager/registry.hpp"
#include "lib/args.hpp"
#include "lib/convert.hpp"
#include "lib/gil.hpp"
#include "lib/method.hpp"
#include "lib/py_ref.hpp"

namespace kestro::core {

namespace {

using py::PyRef;

// Every instance works on the one registry; the value carries nothing.
struct PyTaskManager {};

constexpr const char* kTimeoutParam[] = {"timeout_ms"};

bool parse_timeout(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::optional<std::uint64_t>& timeout) {
  PyObject* arg = nullptr;
  if (!py::parse_args({callable, kTimeoutParam, 1, 0}, args, nargs, kwnames, &arg)) return false;
  return py::to_optional_u64(arg, "timeout_ms", timeout);
}

PyObject* count(std::uint64_t n) {
  return PyLong_FromUnsignedLongLong(n);
}

PyObject* get_running_count(PyObject*, PyTaskManager&) {
  return count(task_manager().running_count());
}
PyObject* get_total_count(PyObject*, PyTaskManager&) {
  return count(task_manager().total_count());
}
PyObject* get_timer_count(PyObject*, PyTaskManager&) {
  return count(task_manager().running_count_of(TaskKind::Timer));
}
PyObject* get_async_task_count(PyObject*, PyTaskManager&) {
  return count(task_manager().running_count_of(TaskKind::AsyncTask));
}

PyObject* stop_all(PyObject*, PyTaskManager&, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("stop_all", nargs, kwnames)) return nullptr;
  (void)args;
  task_manager().stop_all();
  Py_RETURN_NONE;
}

PyObject* wait_all(PyObject*, PyTaskManager&, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<std::uint64_t> timeout;
  if (!parse_timeout("wait_all", args, nargs, kwnames, timeout)) return nullptr;
  const bool done = py::without_gil([&] { return task_manager().wait_all(timeout); });
  return PyBool_FromLong(done);
}

PyObject* shutdown(PyObject*, PyTaskManager&, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::optional<std::uint64_t> timeout;
  if (!parse_timeout("shutdown", args, nargs, kwnames, timeout)) return nullptr;
  const bool done = py::without_gil([&] {
    task_manager().stop_all();
    return task_manager().wait_all(timeout);
  });
  return PyBool_FromLong(done);
}

PyObject* cleanup(PyObject*, PyTaskManager&, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("cleanup", nargs, kwnames)) return nullptr;
  task_manager().cleanup();
  Py_RETURN_NONE;
}

PyObject* status(PyObject*, PyTaskManager&, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("status", nargs, kwnames)) return nullptr;
  const StatusSummary s = task_manager().status_summary();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, std::uint64_t> items[] = {{"running_timers", s.running_timers},
                                                         {"running_tasks", s.running_tasks},
                                                         {"stopped", s.stopped},
                                                         {"total", s.total}};
  for (const auto& [key, value] : items) {
    PyRef v = PyRef::steal(count(value));
    if (!v || PyDict_SetItemString(dict.get(), key, v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* repr(PyObject*, PyTaskManager&) {
  const StatusSummary s = task_manager().status_summary();
  return PyUnicode_FromFormat(
      "TaskManager(timers=%llu, tasks=%llu, stopped=%llu, total=%llu)",
      static_cast<unsigned long long>(s.running_timers), static_cast<unsigned long long>(s.running_tasks),
      static_cast<unsigned long long>(s.stopped), static_cast<unsigned long long>(s.total));
}

PyObject* new_task_manager(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    if (!py::parse_tuple_args({"TaskManager", nullptr, 0, 0}, args, kwargs, nullptr)) return nullptr;
    return py::new_instance(type, PyTaskManager{});
  });
}

PyMethodDef methods[] = {
    {"stop_all", py::as_cfunction(py::method<PyTaskManager, stop_all>), py::kFastcallKw,
     "stop_all($self)\n--\n\n停止所有任务\n\n清除所有任务的运行标志并设置全局关闭标志；不等待任务结束。"},
    {"wait_all", py::as_cfunction(py::method<PyTaskManager, wait_all>), py::kFastcallKw,
     "wait_all($self, timeout_ms=None)\n--\n\n等待所有任务完成\n\n"
     "timeout_ms 为毫秒数，None 表示不限时。所有任务都已完成时返回 True，超时返回 False。"},
    {"shutdown", py::as_cfunction(py::method<PyTaskManager, shutdown>), py::kFastcallKw,
     "shutdown($self, timeout_ms=None)\n--\n\n优雅关闭所有任务\n\n"
     "先停止所有任务，再等待它们完成。所有任务都已完成时返回 True，超时返回 False。"},
    {"cleanup", py::as_cfunction(py::method<PyTaskManager, cleanup>), py::kFastcallKw,
     "cleanup($self)\n--\n\n清理已完成的任务\n\n从注册表中移除所有已停止的任务。"},
    {"status", py::as_cfunction(py::method<PyTaskManager, status>), py::kFastcallKw,
     "status($self)\n--\n\n获取任务状态\n\n"
     "返回字典，键依次为 running_timers、running_tasks、stopped、total。"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"running_count", py::getter<PyTaskManager, get_running_count>, nullptr, "获取运行中的任务数量", nullptr},
    {"total_count", py::getter<PyTaskManager, get_total_count>, nullptr, "获取所有任务数量", nullptr},
    {"timer_count", py::getter<PyTaskManager, get_timer_count>, nullptr, "获取运行中的定时器数量", nullptr},
    {"async_task_count", py::getter<PyTaskManager, get_async_task_count>, nullptr, "获取运行中的异步任务数量",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("TaskManager()\n--\n\nPython 可访问的任务管理器\n\n"
                                  "所有实例共用进程内唯一的任务注册表。")},
    {Py_tp_new, reinterpret_cast<void*>(new_task_manager)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<PyTaskManager>)},
    {Py_tp_repr, reinterpret_cast<void*>(py::shared_value<PyTaskManager, repr>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.TaskManager", sizeof(py::Instance<PyTaskManager>), 0, 0, slots};
py::LazyType lazy_type(spec, true);

PyObject* get_task_manager(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("get_task_manager", nargs, kwnames)) return nullptr;
  PyTypeObject* type = lazy_type.get();
  if (!type) return nullptr;
  return py::new_instance(type, PyTaskManager{});
}

}  // namespace

PyTypeObject* task_manager_type() {
  return lazy_type.get();
}

PyMethodDef get_task_manager_def = {
    "get_task_manager", py::as_cfunction(py::function<get_task_manager>), py::kFastcallKw,
    "get_task_manager()\n--\n\n获取全局任务管理器\n\n返回全局任务管理器实例；所有实例共用同一个注册表。"};

}  // namespace kestro::core
