// Owns starting a background task and its body.
#include "core/task/async_task.hpp"

#include "core/gate.hpp"
#include "runtime/runtime.hpp"

namespace kestro::core {

namespace {

using py::AnyThreadRef;
using py::PyRef;

// UTF-8 with lone surrogates passed through (an OSError about a surrogate-escaped file name has them), so
// that the text decodes back to the same str when it is raised again.
std::string utf8_or(PyObject* text, const char* fallback) {
  PyRef bytes = PyRef::steal(text ? PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass") : nullptr);
  if (!bytes) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// Runs on a runtime worker. The function is called through the gate, never from a coroutine frame.
void run_body(const std::shared_ptr<TaskState>& state, const RunningFlag& running, AnyThreadRef& func,
              AnyThreadRef& args) {
  if (!state->cancelled.load(std::memory_order_acquire) && running->load(std::memory_order_acquire)) {
    auto gil = gate::enter();
    // Checked again with the interpreter lock held: a task cancelled or stopped while it waited for the
    // lock has not begun either.
    if (gil &&
        (state->cancelled.load(std::memory_order_acquire) || !running->load(std::memory_order_acquire))) {
      func.reset();
      args.reset();
      gate::leave(*gil);
      gil.reset();
    }
    if (gil) {
      // The function may run for as long as it likes: the worker lends its place meanwhile, so that the
      // runtime keeps serving (signal waits, CAN I/O, other tasks) however many functions run.
      PyObject* returned =
          rt::Runtime::get().block_in_place([&] { return PyObject_Call(func.get(), args.get(), nullptr); });
      std::optional<std::string> error;
      if (!returned) error = describe_raised_exception();
      // Dropped while the lock is held, so that nothing is parked.
      func.reset();
      args.reset();
      gate::leave(*gil);
      // The text was built before taking the slot: a reader holding the interpreter lock may wait for it.
      if (returned) {
        auto guard = rt::lock_blocking(state->result.mutex());
        state->result.value(guard) = AnyThreadRef::steal(returned);
      } else {
        auto guard = rt::lock_blocking(state->error.mutex());
        state->error.value(guard) = std::move(error);
      }
    }
  }
  state->completed.store(true, std::memory_order_release);
  running->store(false, std::memory_order_release);
  state->notify_done();
}

}  // namespace

void TaskState::notify_done() {
  // Taking the mutex orders the flag store before a poller's check-then-wait.
  { std::lock_guard lock(done_mu_); }
  done_cv_.notify_all();
}

bool TaskState::sleep_unless_done(std::chrono::nanoseconds limit) {
  std::unique_lock lock(done_mu_);
  return done_cv_.wait_for(lock, limit, [&] {
    return completed.load(std::memory_order_acquire) || cancelled.load(std::memory_order_acquire);
  });
}

std::string describe_raised_exception() {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return "SystemError: attempted to fetch exception but none was set";
  PyRef owned = PyRef::steal(exc);
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exc)));
  std::string text = utf8_or(qualname.get(), "<unknown>");
  PyRef str = PyRef::steal(PyObject_Str(exc));
  text += ": ";
  text += utf8_or(str.get(), "<exception str() failed>");
  return text;
}

StartedTask start_task(PyObject* func, PyObject* args) {
  const std::uint64_t id = next_task_id();
  auto state = std::make_shared<TaskState>();
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto handle = std::make_shared<rt::AsyncMutexSlot<std::optional<rt::JoinHandle<void>>>>();

  rt::JoinHandle<void> join = rt::Runtime::get().spawn_fn(
      [state, running, func = AnyThreadRef::steal(Py_NewRef(func)),
       args = AnyThreadRef::steal(Py_NewRef(args))]() mutable { run_body(state, running, func, args); });
  {
    auto guard = rt::lock_blocking(handle->mutex());
    handle->value(guard) = std::move(join);
  }
  task_manager().register_task(id, running, handle, TaskKind::AsyncTask);
  return StartedTask{id, std::move(state), std::move(handle)};
}

}  // namespace kestro::core
