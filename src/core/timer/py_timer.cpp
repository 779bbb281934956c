// Owns the Python classes Timer, PrecisionTimer, TimerWrapper and TimerHandle and the functions timer and
// precision_timer.
#include "core/timer/py_timer.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "core/gate.hpp"
#include "core/timer/timer.hpp"
#include "lib/args.hpp"
#include "lib/convert.hpp"
#include "lib/method.hpp"
#include "lib/py_ref.hpp"
#include "runtime/forced_unwind.hpp"

namespace kestro::core {

namespace {

using py::PyRef;
using Clock = std::chrono::steady_clock;

struct PyTimer {
  double frequency_hz;
};
struct PyPrecisionTimer {
  double frequency_hz;
  bool realtime;
};
struct PyTimerWrapper {
  PyRef func;
  double frequency_hz;
  TimerPrecision precision;
};
struct PyTimerHandle {
  StartedTimer timer;
  double frequency_hz;
  TimerPrecision precision;

  bool running() const { return timer.running->load(std::memory_order_acquire); }
  std::uint64_t ticks() const { return timer.tick_count->load(std::memory_order_relaxed); }
  double elapsed() const {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - timer.start_time).count();
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
  }
  double actual_frequency() const {
    const auto n = ticks();
    const double secs = elapsed();
    return secs > 0.0 ? static_cast<double>(n) / secs : 0.0;
  }
};

constexpr const char* kTimerParams[] = {"frequency_hz"};
constexpr const char* kPrecisionParams[] = {"frequency_hz", "realtime"};
constexpr const char* kFuncParam[] = {"func"};

// Positive, and with a period that can be scheduled.
bool check_frequency(double hz) {
  if (!(hz > 0.0)) {
    PyErr_SetString(PyExc_ValueError, "frequency_hz must be positive");
    return false;
  }
  if (!period_of(hz)) {
    PyErr_Format(PyExc_ValueError,
                 "frequency_hz %R has no schedulable period (it must lie between about 1e-9 Hz and 1e9 Hz)",
                 PyRef::steal(PyFloat_FromDouble(hz)).get());
    return false;
  }
  return true;
}

bool convert_timer(PyObject* arg, double& hz) {
  return py::to_f64(arg, "frequency_hz", hz) && check_frequency(hz);
}

bool convert_precision(PyObject* const* argv, double& hz, bool& realtime) {
  if (!py::to_f64(argv[0], "frequency_hz", hz)) return false;
  realtime = false;
  if (argv[1] && !py::to_strict_bool(argv[1], "realtime", realtime)) return false;
  if (!(hz > 0.0)) {
    PyErr_SetString(PyExc_ValueError, "frequency_hz must be positive");
    return false;
  }
  if (hz > 10000.0 && !realtime) {
    PyErr_SetString(PyExc_ValueError, "frequency > 10kHz requires realtime=True");
    return false;
  }
  return check_frequency(hz);
}

py::LazyType& wrapper_lazy();
py::LazyType& handle_lazy();

PyObject* make_wrapper(PyObject* args, PyObject* kwargs, const char* callable, const char* refusal, double hz,
                       TimerPrecision precision) {
  PyObject* func = nullptr;
  if (!py::parse_tuple_args({callable, kFuncParam, 1, 1}, args, kwargs, &func)) return nullptr;
  if (!PyCallable_Check(func)) {
    PyErr_SetString(PyExc_TypeError, refusal);
    return nullptr;
  }
  PyTypeObject* type = wrapper_lazy().get();
  if (!type) return nullptr;
  return py::new_instance(type, PyTimerWrapper{PyRef::borrow(func), hz, precision});
}

// ---- Timer and PrecisionTimer

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    PyObject* arg = nullptr;
    double hz = 0;
    if (!py::parse_tuple_args({"Timer", kTimerParams, 1, 1}, args, kwargs, &arg) || !convert_timer(arg, hz)) {
      return nullptr;
    }
    return py::new_instance(type, PyTimer{hz});
  });
}

PyObject* timer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    py::Borrow b = py::Borrow::shared(py::instance_of<PyTimer>(self)->borrow);
    if (!b) return nullptr;
    return make_wrapper(args, kwargs, "Timer.__call__", "timer decorator requires a callable",
                        py::value_of<PyTimer>(self).frequency_hz, TimerPrecision::Normal);
  });
}

PyObject* precision_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    PyObject* argv[2] = {};
    double hz = 0;
    bool realtime = false;
    if (!py::parse_tuple_args({"PrecisionTimer", kPrecisionParams, 2, 1}, args, kwargs, argv) ||
        !convert_precision(argv, hz, realtime)) {
      return nullptr;
    }
    return py::new_instance(type, PyPrecisionTimer{hz, realtime});
  });
}

PyObject* precision_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    py::Borrow b = py::Borrow::shared(py::instance_of<PyPrecisionTimer>(self)->borrow);
    if (!b) return nullptr;
    const auto& t = py::value_of<PyPrecisionTimer>(self);
    return make_wrapper(args, kwargs, "PrecisionTimer.__call__",
                        "precision_timer decorator requires a callable", t.frequency_hz,
                        t.realtime ? TimerPrecision::Realtime : TimerPrecision::High);
  });
}

PyType_Slot timer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Timer(frequency_hz)\n--\n\n普通定时器装饰器\n\n"
         "以固定频率重复执行被装饰的函数，精度约 1-10 ms。frequency_hz 单位为 Hz，10.0 表示每秒执行十次。\n\n"
         "示例::\n\n    @kestro.timer(10.0)\n    def tick():\n        ...\n\n"
         "    handle = tick()\n    handle.stop()\n")},
    {Py_tp_new, reinterpret_cast<void*>(timer_new)},
    {Py_tp_call, reinterpret_cast<void*>(timer_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<PyTimer>)},
    {0, nullptr},
};
PyType_Spec timer_spec = {"builtins.Timer", sizeof(py::Instance<PyTimer>), 0, 0, timer_slots};

PyType_Slot precision_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "PrecisionTimer(frequency_hz, realtime=False)\n--\n\n高精度定时器装饰器\n\n"
         "精度约 10-100 µs。realtime=True 选择实时模式：使用专用线程，更精确但更占用 CPU。\n\n"
         "示例::\n\n    @kestro.precision_timer(100)          # 高精度模式\n    def control():\n        "
         "...\n\n"
         "    @kestro.precision_timer(1000, realtime=True)  # 实时模式\n    def fast():\n        ...\n")},
    {Py_tp_new, reinterpret_cast<void*>(precision_new)},
    {Py_tp_call, reinterpret_cast<void*>(precision_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<PyPrecisionTimer>)},
    {0, nullptr},
};
PyType_Spec precision_spec = {"builtins.PrecisionTimer", sizeof(py::Instance<PyPrecisionTimer>), 0, 0,
                              precision_slots};

py::LazyType& timer_lazy() {
  static py::LazyType t(timer_spec, true);
  return t;
}
py::LazyType& precision_lazy() {
  static py::LazyType t(precision_spec, true);
  return t;
}

// ---- TimerWrapper

void warn_if_coroutine(PyObject* func) {
  PyObject* saved = PyErr_GetRaisedException();
  PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
  if (inspect) {
    PyRef result = PyRef::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", func));
    if (result.get() == Py_True) {
      gate::report(
          "Warning: Timer callback is an async function (coroutine function). It will not be awaited and "
          "will likely fail to execute properly. Please use a synchronous function.\n");
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved);
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guarded_object([&]() -> PyObject* {
    py::Borrow b = py::Borrow::shared(py::instance_of<PyTimerWrapper>(self)->borrow);
    if (!b) return nullptr;
    if (!py::refuse_keywords("TimerWrapper.__call__", kwargs)) return nullptr;
    auto& w = py::value_of<PyTimerWrapper>(self);
    PyTypeObject* type = handle_lazy().get();
    if (!type) return nullptr;
    const auto period = period_of(w.frequency_hz);  // checked when the decorator was made
    warn_if_coroutine(w.func.get());
    // Its calls run in a copy of the starter's context, as an asyncio task's do.
    PyRef context = PyRef::steal(PyContext_CopyCurrent());
    if (!context) return nullptr;
    StartedTimer started = start_timer(w.func.get(), args, context.get(), *period, w.precision);
    return py::new_instance(type, PyTimerHandle{std::move(started), w.frequency_hz, w.precision});
  });
}

PyObject* wrapper_repr(PyObject*, PyTimerWrapper& w) {
  // Shortest form that reads back as the same float, never with an exponent.
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, w.frequency_hz, std::chars_format::fixed);
  const std::string freq = ec == std::errc() ? std::string(buf, end) : std::to_string(w.frequency_hz);
  return PyUnicode_FromFormat("TimerWrapper(frequency=%sHz, mode=%s)", freq.c_str(),
                              precision_text(w.precision));
}

PyType_Slot wrapper_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("包装后的定时器函数\n\n每次调用都会启动一个新的定时器并返回其 TimerHandle。")},
    {Py_tp_call, reinterpret_cast<void*>(wrapper_call)},
    {Py_tp_repr, reinterpret_cast<void*>(py::shared_value<PyTimerWrapper, wrapper_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::instance_dealloc<PyTimerWrapper>)},
    {0, nullptr},
};
PyType_Spec wrapper_spec = {"builtins.TimerWrapper", sizeof(py::Instance<PyTimerWrapper>), 0, 0,
                            wrapper_slots};

py::LazyType& wrapper_lazy() {
  static py::LazyType t(wrapper_spec, false);
  return t;
}

// ---- TimerHandle

#define KESTRO_NOARG_METHOD(fn_name, body)                                                                \
  PyObject* fn_name(PyObject*, PyTimerHandle& h, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) { \
    if (!py::parse_no_args(#fn_name, nargs, kwnames)) return nullptr;                                     \
    body                                                                                                  \
  }

KESTRO_NOARG_METHOD(stop, {
  h.timer.running->store(false, std::memory_order_release);
  Py_RETURN_NONE;
})
KESTRO_NOARG_METHOD(is_running, { return PyBool_FromLong(h.running()); })
KESTRO_NOARG_METHOD(frequency, { return PyFloat_FromDouble(h.frequency_hz); })
KESTRO_NOARG_METHOD(precision_mode, { return PyUnicode_FromString(precision_text(h.precision)); })
KESTRO_NOARG_METHOD(tick_count, { return PyLong_FromUnsignedLongLong(h.ticks()); })
KESTRO_NOARG_METHOD(actual_frequency, { return PyFloat_FromDouble(h.actual_frequency()); })
KESTRO_NOARG_METHOD(elapsed_secs, { return PyFloat_FromDouble(h.elapsed()); })

#undef KESTRO_NOARG_METHOD

PyObject* get_task_id(PyObject*, PyTimerHandle& h) {
  return PyLong_FromUnsignedLongLong(h.timer.id);
}

PyObject* handle_repr(PyObject*, PyTimerHandle& h) {
  const double actual = h.actual_frequency();
  const std::string repr = "TimerHandle(id=" + std::to_string(h.timer.id) + ", freq=" +
                           py::fixed_text(h.frequency_hz, 1) + "Hz, actual=" + py::fixed_text(actual, 1) +
                           "Hz, mode=" + precision_text(h.precision) + ", ticks=" + std::to_string(h.ticks()) +
                           ", running=" + (h.running() ? "true" : "false") + ")";
  return PyUnicode_FromStringAndSize(repr.data(), static_cast<Py_ssize_t>(repr.size()));
}

KESTRO_CATCHES_FORCED_UNWIND void handle_dealloc(PyObject* self) {
  auto& h = py::value_of<PyTimerHandle>(self);
  try {
    if (h.running()) {
      gate::report("Warning: TimerHandle(id=" + std::to_string(h.timer.id) +
                   ") dropped while still running. Make sure to save the handle returned by timer-decorated "
                   "functions.\n");
    }
    h.timer.running->store(false, std::memory_order_release);
    task_manager().unregister(h.timer.id);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
  py::instance_dealloc<PyTimerHandle>(self);
}

PyMethodDef handle_methods[] = {
    {"stop", py::as_cfunction(py::method<PyTimerHandle, stop>), py::kFastcallKw,
     "stop($self)\n--\n\n停止定时器\n\n在两次调用之间生效，不会中断正在执行的调用。"},
    {"is_running", py::as_cfunction(py::method<PyTimerHandle, is_running>), py::kFastcallKw,
     "is_running($self)\n--\n\n检查定时器是否正在运行"},
    {"frequency", py::as_cfunction(py::method<PyTimerHandle, frequency>), py::kFastcallKw,
     "frequency($self)\n--\n\n获取执行频率\n\n返回配置的频率（Hz），而非测得的频率。"},
    {"precision_mode", py::as_cfunction(py::method<PyTimerHandle, precision_mode>), py::kFastcallKw,
     "precision_mode($self)\n--\n\n获取精度模式\n\n返回 \"normal\"、\"high\" 或 \"realtime\"。"},
    {"tick_count", py::as_cfunction(py::method<PyTimerHandle, tick_count>), py::kFastcallKw,
     "tick_count($self)\n--\n\n获取已执行的 tick 次数"},
    {"actual_frequency", py::as_cfunction(py::method<PyTimerHandle, actual_frequency>), py::kFastcallKw,
     "actual_frequency($self)\n--\n\n获取实际平均频率（Hz）\n\n已执行次数除以启动以来的时间，单位 Hz。"},
    {"elapsed_secs", py::as_cfunction(py::method<PyTimerHandle, elapsed_secs>), py::kFastcallKw,
     "elapsed_secs($self)\n--\n\n获取运行时间（秒）\n\n自启动以来的时间，单位为秒；停止后仍继续增加。"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"task_id", py::getter<PyTimerHandle, get_task_id>, nullptr, "获取任务 ID", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_doc, const_cast<char*>("定时器任务句柄\n\n用于控制周期执行的函数。")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(py::shared_value<PyTimerHandle, handle_repr>)},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {0, nullptr},
};
PyType_Spec handle_spec = {"builtins.TimerHandle", sizeof(py::Instance<PyTimerHandle>), 0, 0, handle_slots};

py::LazyType& handle_lazy() {
  static py::LazyType t(handle_spec, false);
  return t;
}

// ---- module functions

PyObject* timer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  double hz = 0;
  if (!py::parse_args({"timer", kTimerParams, 1, 1}, args, nargs, kwnames, &arg) || !convert_timer(arg, hz)) {
    return nullptr;
  }
  PyTypeObject* type = timer_lazy().get();
  return type ? py::new_instance(type, PyTimer{hz}) : nullptr;
}

PyObject* precision_timer_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  double hz = 0;
  bool realtime = false;
  if (!py::parse_args({"precision_timer", kPrecisionParams, 2, 1}, args, nargs, kwnames, argv) ||
      !convert_precision(argv, hz, realtime)) {
    return nullptr;
  }
  PyTypeObject* type = precision_lazy().get();
  return type ? py::new_instance(type, PyPrecisionTimer{hz, realtime}) : nullptr;
}

}  // namespace

PyTypeObject* timer_type() {
  return timer_lazy().get();
}
PyTypeObject* precision_timer_type() {
  return precision_lazy().get();
}
PyTypeObject* timer_wrapper_type() {
  return wrapper_lazy().get();
}
PyTypeObject* timer_handle_type() {
  return handle_lazy().get();
}

PyMethodDef timer_def = {"timer", py::as_cfunction(py::function<timer_fn>), py::kFastcallKw,
                         "timer(frequency_hz)\n--\n\n普通定时器装饰器\n\n返回 Timer；精度约 1-10 ms。"};
PyMethodDef precision_timer_def = {
    "precision_timer", py::as_cfunction(py::function<precision_timer_fn>), py::kFastcallKw,
    "precision_timer(frequency_hz, realtime=False)\n--\n\n高精度定时器装饰器\n\n"
    "返回 PrecisionTimer；精度约 10-100 µs，realtime=True 时使用实时模式。"};

}  // namespace kestro::core
