// Owns starting a background task and its body.
#include "core/task/async_task.hpp"

#include "core/gate.hpp"
#include "runtime/runtime.hpp"

namespace kestro::core {

namespace {

using py::AnyThreadRef;

// Calls the function once through the gate and stores what it gave.
void call_body(const std::shared_ptr<TaskState>& shared, const RunningFlag& running, AnyThreadRef& func,
               AnyThreadRef& args, AnyThreadRef& context) {
  TaskState& state = *shared;
  auto gil = gate::enter();
  if (!gil) return;
  // Checked again with the interpreter lock held: a task cancelled or stopped while it waited for the lock
  // has not begun either.
  if (state.cancelled.load(std::memory_order_acquire) || !running->load(std::memory_order_acquire)) {
    func.reset();
    args.reset();
    context.reset();
    gate::leave(*gil);
    return;
  }
  PyObject* returned = gate::call_in_context(func.get(), args.get(), context.get());
  std::optional<std::string> error;
  if (!returned) error = gate::describe_raised_exception();
  // The handle was dropped while the body ran, so nobody will read the result: it goes now, attached, not
  // parked. On a free-threaded build only the thread that made an object frees it at once; released on
  // another thread, it would wait for this worker's next call into Python.
  if (returned && shared.use_count() == 1) Py_CLEAR(returned);
  // Dropped while the lock is held, so that nothing is parked.
  func.reset();
  args.reset();
  context.reset();
  gate::leave(*gil);
  // The text was built before taking the slot: a reader holding the interpreter lock may wait for it.
  if (returned) {
    auto guard = rt::lock_blocking(state.result.mutex());
    state.result.value(guard) = AnyThreadRef::steal(returned);
  } else {
    auto guard = rt::lock_blocking(state.error.mutex());
    state.error.value(guard) = std::move(error);
  }
}

// Runs on a runtime worker. The function is called through the gate, never from a coroutine frame.
void run_body(const std::shared_ptr<TaskState>& state, const RunningFlag& running, AnyThreadRef& func,
              AnyThreadRef& args, AnyThreadRef& context) {
  if (!state->cancelled.load(std::memory_order_acquire) && running->load(std::memory_order_acquire)) {
    // The worker lends its place before it waits for the interpreter lock, not only for the call: whoever
    // holds the lock may itself be waiting for the runtime (a blocking CAN call on the main thread), and
    // with every worker waiting for the lock nothing would serve it. Meanwhile the function may run for as
    // long as it likes.
    rt::Runtime::get().block_in_place([&] { call_body(state, running, func, args, context); });
  } else {
    // Cancelled before it began: the function and its arguments are released now, not parked.
    rt::Runtime::get().block_in_place([&] { gate::release({&func, &args, &context}); });
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

StartedTask start_task(PyObject* func, PyObject* args, PyObject* context) {
  const std::uint64_t id = next_task_id();
  auto state = std::make_shared<TaskState>();
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto handle = std::make_shared<rt::AsyncMutexSlot<std::optional<rt::JoinHandle<void>>>>();

  auto f = AnyThreadRef::steal(Py_NewRef(func));
  auto a = AnyThreadRef::steal(Py_NewRef(args));
  auto c = AnyThreadRef::steal(Py_NewRef(context));
  rt::JoinHandle<void> join = rt::Runtime::get().spawn_fn(
      [state, running, f = std::move(f), a = std::move(a), c = std::move(c)]() mutable {
        run_body(state, running, f, a, c);
      });
  {
    auto guard = rt::lock_blocking(handle->mutex());
    handle->value(guard) = std::move(join);
  }
  task_manager().register_task(id, running, handle, TaskKind::AsyncTask);
  return StartedTask{id, std::move(state), std::move(handle)};
}

}  // namespace kestro::core
