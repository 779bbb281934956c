// Owns the module functions shutdown_all, block_all and block_until: park the calling thread until a
// signal or a deadline, then stop every registered task and wait for the registry.
#include "core/manager/py_shutdown.hpp"

#include <chrono>
#include <optional>
#include <string>

#include "core/manager/registry.hpp"
#include "core/manager/signals.hpp"
#include "lib/args.hpp"
#include "lib/convert.hpp"
#include "lib/gil.hpp"
#include "lib/method.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace kestro::core {

namespace {

void print(const std::string& text) {
  rt::diag::write_now(text);
}

void print_outcome(bool all_stopped) {
  print(all_stopped ? "[kestro] All tasks stopped successfully\n"
                    : "[kestro] Shutdown timed out, some tasks may still be running\n");
}

// A signal that ended a wait has also been recorded by the interpreter: run its handling now and drop what
// it raises (KeyboardInterrupt for Ctrl+C), so that it does not reach the caller.
void absorb_pending_signals() {
  if (PyErr_CheckSignals() < 0) PyErr_Clear();
}

constexpr const char* kTimeoutParam[] = {"timeout_ms"};
constexpr const char* kUntilParams[] = {"wait_ms", "shutdown_timeout_ms"};

PyObject* shutdown_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  std::optional<std::uint64_t> timeout;
  if (!py::parse_args({"shutdown_all", kTimeoutParam, 1, 0}, args, nargs, kwnames, &arg) ||
      !py::to_optional_u64(arg, "timeout_ms", timeout)) {
    return nullptr;
  }
  const bool done = py::without_gil([&] {
    task_manager().stop_all();
    return task_manager().wait_all(timeout);
  });
  return PyBool_FromLong(done);
}

PyObject* block_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg = nullptr;
  std::optional<std::uint64_t> timeout;
  if (!py::parse_args({"block_all", kTimeoutParam, 1, 0}, args, nargs, kwnames, &arg) ||
      !py::to_optional_u64(arg, "timeout_ms", timeout)) {
    return nullptr;
  }
  auto listener = begin_signal_wait();
  const std::string name = py::without_gil([&] {
    return rt::Runtime::get().block_on(
        [](std::shared_ptr<SignalListener> listener) -> asio::awaitable<std::string> {
          std::string signal = co_await wait_for_shutdown_signal(std::move(listener));
          print("\n[kestro] Received " + signal + ", initiating graceful shutdown...\n");
          task_manager().stop_all();
          co_return signal;
        }(listener));
  });
  const bool done = py::without_gil([&] { return task_manager().wait_all(timeout); });
  print_outcome(done);
  absorb_pending_signals();
  return PyUnicode_FromString(name.c_str());
}

asio::awaitable<std::string> wait_for_stop_reason(std::shared_ptr<SignalListener> listener,
                                                  std::optional<std::uint64_t> wait_ms) {
  // A limit beyond what a timer can hold is no limit.
  const auto limit = std::chrono::milliseconds(wait_ms.value_or(0));
  if (!wait_ms ||
      *wait_ms > static_cast<std::uint64_t>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(rt::kNoDeadline).count())) {
    co_return "signal:" + co_await wait_for_shutdown_signal(std::move(listener));
  }
  auto raced = co_await rt::select(wait_for_shutdown_signal(std::move(listener)), rt::sleep_for(limit));
  if (raced.first) co_return "signal:" + *raced.first;
  co_return std::string("timeout");
}

PyObject* block_until(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2] = {};
  std::optional<std::uint64_t> wait_ms, shutdown_timeout_ms;
  if (!py::parse_args({"block_until", kUntilParams, 2, 0}, args, nargs, kwnames, argv) ||
      !py::to_optional_u64(argv[0], "wait_ms", wait_ms) ||
      !py::to_optional_u64(argv[1], "shutdown_timeout_ms", shutdown_timeout_ms)) {
    return nullptr;
  }
  std::string reason;
  auto listener = begin_signal_wait();
  const bool done = py::without_gil([&] {
    reason = rt::Runtime::get().block_on(wait_for_stop_reason(std::move(listener), wait_ms));
    print("\n[kestro] Stopping (reason: " + reason + "), initiating graceful shutdown...\n");
    task_manager().stop_all();
    const bool all = task_manager().wait_all(shutdown_timeout_ms);
    print_outcome(all);
    return all;
  });
  if (reason.size() >= 7 && reason.starts_with("signal:")) absorb_pending_signals();
  return Py_BuildValue("(sO)", reason.c_str(), done ? Py_True : Py_False);
}

}  // namespace

PyMethodDef shutdown_all_def = {"shutdown_all", py::as_cfunction(py::function<shutdown_all>), py::kFastcallKw,
                                "shutdown_all(timeout_ms=None)\n--\n\n优雅关闭所有任务的便捷函数\n\n"
                                "停止所有定时器和任务并等待它们结束；timeout_ms 为毫秒数，None 表示不限时。"
                                "全部结束时返回 True，超时返回 False。"};

PyMethodDef block_all_def = {
    "block_all", py::as_cfunction(py::function<block_all>), py::kFastcallKw,
    "block_all(timeout_ms=None)\n--\n\n阻塞等待系统退出信号\n\n"
    "阻塞当前线程，直到收到 SIGINT（Ctrl+C）或 SIGTERM，然后优雅关闭：停止所有定时器和任务。"
    "timeout_ms 限制关闭时等待任务的时间。返回信号名称：\"SIGINT\"、\"SIGTERM\" 或 \"unknown\"。"};

PyMethodDef block_until_def = {
    "block_until", py::as_cfunction(py::function<block_until>), py::kFastcallKw,
    "block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n阻塞等待指定时间或直到收到退出信号\n\n"
    "wait_ms 为等待信号的最长时间；shutdown_timeout_ms 限制关闭时等待任务的时间。"
    "无论等待如何结束都会执行关闭。返回 (原因, 是否全部停止)，原因为 \"signal:SIGINT\"、"
    "\"signal:SIGTERM\" 或 \"timeout\"。"};

}  // namespace kestro::core
