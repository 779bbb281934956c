// Owns the Python classes RunAsync and AsyncHandle and the function run_async.
#include "core/task/py_async_task.hpp"

#include <chrono>
#include <thread>
#include <vector>

#include "core/gate.hpp"
#include "core/task/async_task.hpp"
#include "lib/args.hpp"
#include "lib/convert.hpp"
#include "lib/gil.hpp"
#include "lib/method.hpp"
#include "runtime/runtime.hpp"
#include "runtime/forced_unwind.hpp"

namespace kestro::core {

namespace {

using py::PyRef;

struct PyRunAsync {
  PyRef func;
};

struct PyAsyncHandle {
  std::uint64_t task_id;
  std::shared_ptr<TaskState> state;
  HandleSlot handle;

  bool completed() const { return state->completed.load(std::memory_order_acquire); }
  bool cancelled() const { return state->cancelled.load(std::memory_order_acquire); }
};

py::LazyType& handle_lazy_type();

// ---- AsyncHandle

// A handle that a forked child inherited names a task of the parent's: it never finishes here, and its
// result slots may be locked by a thread that is gone.
bool refuse_inherited_handle() {
  if (!rt::Runtime::lost_in_fork()) return false;
  PyErr_SetString(PyExc_RuntimeError, rt::kRuntimeLostInFork);
  return true;
}

PyObject* fetch(PyAsyncHandle& h) {
  std::optional<std::string> error;
  {
    auto guard = rt::lock_blocking(h.state->error.mutex());
    error = h.state->error.value(guard);
  }
  if (error) {
    // Decoded as it was stored: whole, with any NUL and lone surrogate it holds.
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(error->data(), static_cast<Py_ssize_t>(error->size()), "surrogatepass"));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
  }
  auto guard = rt::lock_blocking(h.state->result.mutex());
  PyObject* stored = h.state->result.value(guard).get();
  return Py_NewRef(stored ? stored : Py_None);
}

PyObject* get_task_id(PyObject*, PyAsyncHandle& h) {
  return PyLong_FromUnsignedLongLong(h.task_id);
}

PyObject* is_done(PyObject*, PyAsyncHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("is_done", nargs, kwnames)) return nullptr;
  return PyBool_FromLong(h.completed() || h.cancelled());
}

PyObject* is_completed(PyObject*, PyAsyncHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("is_completed", nargs, kwnames)) return nullptr;
  return PyBool_FromLong(h.completed());
}

PyObject* is_cancelled(PyObject*, PyAsyncHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("is_cancelled", nargs, kwnames)) return nullptr;
  return PyBool_FromLong(h.cancelled());
}

PyObject* cancel(PyObject*, PyAsyncHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("cancel", nargs, kwnames)) return nullptr;
  if (refuse_inherited_handle()) return nullptr;
  h.state->cancelled.store(true, std::memory_order_release);
  h.state->notify_done();
  Py_RETURN_NONE;
}

PyObject* try_result(PyObject*, PyAsyncHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_no_args("try_result", nargs, kwnames)) return nullptr;
  if (refuse_inherited_handle()) return nullptr;
  return fetch(h);
}

constexpr const char* kWaitParams[] = {"timeout_ms"};

PyObject* wait(PyObject*, PyAsyncHandle& h, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  if (!py::parse_args({"wait", kWaitParams, 1, 0}, args, nargs, kwnames, &arg)) return nullptr;
  std::optional<std::uint64_t> timeout_ms;
  if (!py::to_optional_u64(arg, "timeout_ms", timeout_ms)) return nullptr;
  if (refuse_inherited_handle()) return nullptr;

  const auto start = std::chrono::steady_clock::now();
  auto expired = [&] {
    if (!timeout_ms) return false;
    if (*timeout_ms > static_cast<std::uint64_t>(INT64_MAX / 1'000'000)) return false;
    return std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(*timeout_ms);
  };
  auto poll = [&]() -> bool {  // false: timed out
    if (h.completed()) return true;
    for (;;) {
      if (h.cancelled()) return true;
      if (expired()) return false;
      // A 1 ms poll that ends early when the task finishes or is cancelled.
      py::without_gil([&] { h.state->sleep_unless_done(std::chrono::milliseconds(1)); });
      if (h.completed()) return true;
    }
  };
  // Called from a background task, the wait would hold a worker: lend its place for the duration.
  const bool finished = rt::Runtime::on_worker() ? rt::Runtime::get().block_in_place(poll) : poll();
  if (!finished) {
    PyErr_SetString(PyExc_TimeoutError, "Async task wait timed out");
    return nullptr;
  }
  return fetch(h);
}

PyObject* handle_repr(PyObject*, PyAsyncHandle& h) {
  const char* status = h.cancelled() ? "cancelled" : h.completed() ? "completed" : "running";
  return PyUnicode_FromFormat("AsyncHandle(id=%llu, status=%s)", static_cast<unsigned long long>(h.task_id),
                              status);
}

KESTRO_CATCHES_FORCED_UNWIND void handle_dealloc(PyObject* self) {
  auto& h = py::value_of<PyAsyncHandle>(self);
  try {
    if (!h.completed() && !h.cancelled()) {
      gate::report("Warning: AsyncHandle(id=" + std::to_string(h.task_id) +
                   ") dropped while task still running. Consider calling handle.cancel() or handle.wait() "
                   "before dropping.\n");
    }
    task_manager().unregister(h.task_id);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // Nothing can be raised from a deallocator; the entry stays until cleanup().
  }
  py::instance_dealloc<PyAsyncHandle>(self);
}

PyMethodDef handle_methods[] = {
    {"is_done", py::as_cfunction(py::method<PyAsyncHandle, is_done>), py::kFastcallKw,
     "is_done($self)\n--\n\n检查任务是否已完成\n\n任务成功完成、失败或被取消时都返回 True。"},
    {"is_completed", py::as_cfunction(py::method<PyAsyncHandle, is_completed>), py::kFastcallKw,
     "is_completed($self)\n--\n\n检查任务是否成功完成\n\n函数返回、抛出异常或被跳过后返回 True。"},
    {"is_cancelled", py::as_cfunction(py::method<PyAsyncHandle, is_cancelled>), py::kFastcallKw,
     "is_cancelled($self)\n--\n\n检查任务是否被取消"},
    {"cancel", py::as_cfunction(py::method<PyAsyncHandle, cancel>), py::kFastcallKw,
     "cancel($self)\n--\n\n取消任务\n\n只把任务标记为已取消，不会中断正在执行的代码。"},
    {"try_result", py::as_cfunction(py::method<PyAsyncHandle, try_result>), py::kFastcallKw,
     "try_result($self)\n--\n\n获取任务结果（非阻塞）\n\n任务未完成时返回 None；任务失败时抛出 "
     "RuntimeError。"},
    {"wait", py::as_cfunction(py::method<PyAsyncHandle, wait>), py::kFastcallKw,
     "wait($self, timeout_ms=None)\n--\n\n等待任务完成并获取结果（阻塞）\n\n"
     "timeout_ms 为毫秒数，None 表示不限时。超时抛出 TimeoutError，任务失败时抛出 RuntimeError。"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"task_id", py::getter<PyAsyncHandle, get_task_id>, nullptr, "获取任务 ID", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_doc, const_cast<char*>("异步任务句柄\n\n用于查询和控制异步执行的函数。")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(py::shared_value<PyAsyncHandle, handle_repr>)},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {0, nullptr},
};

PyType_Spec handle_spec = {"builtins.AsyncHandle", sizeof(py::Instance<PyAsyncHandle>), 0, 0, handle_slots};

py::LazyType& handle_lazy_type() {
  static py::LazyType type(handle_spec, false);
  return type;
}

// ---- RunAsync

PyObject* run_async_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    py::Borrow borrow = py::Borrow::shared(py::instance_of<PyRunAsync>(self)->borrow);
    if (!borrow) return nullptr;
    if (!py::refuse_keywords("RunAsync.__call__", kwargs)) return nullptr;
    PyTypeObject* type = handle_lazy_type().get();
    if (!type) return nullptr;
    // The function runs in a copy of the starter's context, as an asyncio task does.
    PyRef context = PyRef::steal(PyContext_CopyCurrent());
    if (!context) return nullptr;
    StartedTask task = start_task(py::value_of<PyRunAsync>(self).func.get(), args, context.get());
    return py::new_instance(type, PyAsyncHandle{task.id, std::move(task.state), std::move(task.handle)});
  });
}

PyObject* run_async_repr(PyObject*, PyRunAsync&) {
  return PyUnicode_FromString("RunAsync(...)");
}

constexpr const char* kFuncParam[] = {"func"};

PyObject* run_async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    PyObject* func = nullptr;
    if (!py::parse_tuple_args({"RunAsync", kFuncParam, 1, 1}, args, kwargs, &func)) return nullptr;
    return py::new_instance(type, PyRunAsync{PyRef::borrow(func)});
  });
}

PyType_Slot run_async_slots[] = {
    {Py_tp_doc, const_cast<char*>("RunAsync(func)\n--\n\n异步任务装饰器\n\n"
                                  "被装饰的函数在独立的异步任务中执行，调用时立即返回 AsyncHandle。\n\n"
                                  "示例::\n\n"
                                  "    @kestro.run_async\n"
                                  "    def compute(x):\n"
                                  "        return x * 2\n\n"
                                  "    handle = compute(21)\n"
                                  "    print(handle.wait())  # 42\n")},
    {Py_tp_new, reinterpret_cast<void*>(run_async_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<PyRunAsync>)},
    {Py_tp_call, reinterpret_cast<void*>(run_async_call)},
    {Py_tp_repr, reinterpret_cast<void*>(py::shared_value<PyRunAsync, run_async_repr>)},
    {0, nullptr},
};

PyType_Spec run_async_spec = {"builtins.RunAsync", sizeof(py::Instance<PyRunAsync>), 0, 0, run_async_slots};

py::LazyType& run_async_lazy_type() {
  static py::LazyType type(run_async_spec, true);
  return type;
}

PyObject* run_async(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* func = nullptr;
  if (!py::parse_args({"run_async", kFuncParam, 1, 1}, args, nargs, kwnames, &func)) return nullptr;
  PyTypeObject* type = run_async_lazy_type().get();
  if (!type) return nullptr;
  return py::new_instance(type, PyRunAsync{PyRef::borrow(func)});
}

}  // namespace

PyTypeObject* async_handle_type() {
  return handle_lazy_type().get();
}
PyTypeObject* run_async_type() {
  return run_async_lazy_type().get();
}

PyMethodDef run_async_def = {"run_async", py::as_cfunction(py::function<run_async>), py::kFastcallKw,
                             "run_async(func)\n--\n\n便捷函数：创建异步任务装饰器\n\n"
                             "函数本身即可直接用作装饰器，返回包装 func 的 RunAsync。"};

}  // namespace kestro::core
