// Owns the one process-wide asynchronous runtime and its bridging patterns (block on with hand-off, spawn,
// spawn on the blocking pool).
//
// Lifetime: built by the first Runtime::get() and deliberately never destroyed, so that no destructor runs at
// process exit while worker threads are inside it. A build failure is remembered: every later get() fails
// too.
//
// Workers: one per usable processor, all running one io_context. A worker that must block (block_on from
// Python code running on a worker) first lends its place to a helper thread, so the others keep serving.
#pragma once

#include <cxxabi.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/async_mutex.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/forced_unwind.hpp"

namespace kestro::rt {

// Raised by Runtime::get() when the runtime cannot be created.
class RuntimeUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised instead in a process forked from one whose runtime had started: a usage error, not a fault.
class RuntimeLostInFork : public RuntimeUnavailable {
 public:
  using RuntimeUnavailable::RuntimeUnavailable;
};

inline constexpr const char* kRuntimeLostInFork =
    "kestro cannot run in a process forked after kestro had started its threads: they do not exist in the "
    "child. Start child processes with the 'spawn' or 'forkserver' method of multiprocessing, or use kestro "
    "only in the parent";

std::string describe_exception(std::exception_ptr e);

template <class T>
asio::awaitable<std::optional<TaskValue<T>>> as_optional_value(asio::awaitable<T> op) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(op);
    co_return std::monostate{};
  } else {
    co_return co_await std::move(op);
  }
}

// Runs `f` and records its value or fault into `state`. The forced unwinding of a thread that CPython ends at
// interpreter exit must pass through untouched.
template <class T, class F>
KESTRO_CATCHES_FORCED_UNWIND void run_into(JoinState<T>& state, F& f) {
  try {
    if constexpr (std::is_void_v<T>) {
      f();
      state.finish(std::monostate{});
    } else {
      state.finish(f());
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    state.finish(std::unexpected(describe_exception(std::current_exception())));
  }
}

class Runtime {
 public:
  // The shared runtime, built on first use. Throws RuntimeUnavailable.
  static Runtime& get();
  // Whether the runtime has been built (never builds it).
  static bool is_built() noexcept;
  // Whether the calling thread currently serves as a runtime worker.
  static bool on_worker() noexcept;
  // Whether this process was forked from one whose runtime had started (get() then always throws
  // RuntimeLostInFork, and work queued before the fork never finishes here).
  static bool lost_in_fork() noexcept;
  // For the fork handler in the child, while it is the only thread.
  static void forget_in_forked_child() noexcept;

  asio::io_context& context() noexcept { return io_; }
  asio::io_context::executor_type executor() noexcept { return io_.get_executor(); }
  unsigned worker_count() const noexcept { return workers_; }
  std::size_t blocking_thread_count() const { return pool_.thread_count(); }

  // Runs `f` on this thread; on a worker, a helper thread serves the runtime in its place meanwhile.
  template <class F>
  decltype(auto) block_in_place(F&& f) {
    if (!on_worker()) return std::forward<F>(f)();
    PlaceLoan loan(*this);
    return std::forward<F>(f)();
  }

  // Runs `op` on the runtime and blocks the calling thread (with hand-off on a worker) until it completes.
  // A fault inside `op` is rethrown here.
  template <class T>
  T block_on(asio::awaitable<T> op) {
    return block_in_place([&]() -> T { return wait_for(std::move(op)); });
  }

  using Strand = asio::strand<asio::io_context::executor_type>;
  Strand make_strand() { return asio::make_strand(io_); }

  // Spawns `op` as a runtime task on its own strand (so that it can be aborted safely).
  template <class T>
  JoinHandle<T> spawn(asio::awaitable<T> op) {
    return spawn_on(make_strand(), std::move(op));
  }

  // Spawns `op` on `strand`: tasks sharing a strand may share objects that are not thread-safe.
  template <class T>
  JoinHandle<T> spawn_on(Strand strand, asio::awaitable<T> op) {
    auto state = std::make_shared<JoinState<T>>();
    state->strand.emplace(std::move(strand));
    asio::co_spawn(*state->strand, as_optional_value(std::move(op)),
                   asio::bind_cancellation_slot(state->abort_signal.slot(),
                                                [state](std::exception_ptr e, std::optional<TaskValue<T>> v) {
                                                  if (e) {
                                                    state->finish(std::unexpected(describe_exception(e)));
                                                  } else {
                                                    state->finish(std::move(*v));
                                                  }
                                                }));
    return JoinHandle<T>(std::move(state));
  }

  // Runs the plain function `f` as a runtime task on a worker thread. Unlike a coroutine task, its stack
  // holds no catch-all, so it may call into Python.
  template <class F, class T = std::invoke_result_t<F&>>
  JoinHandle<T> spawn_fn(F f) {
    auto state = std::make_shared<JoinState<T>>();
    asio::post(io_, [state, f = std::move(f)]() mutable { run_into(*state, f); });
    return JoinHandle<T>(std::move(state));
  }

  // Runs the plain function `f` on the blocking pool.
  template <class F, class T = std::invoke_result_t<F&>>
  JoinHandle<T> spawn_blocking(F f) {
    auto state = std::make_shared<JoinState<T>>();
    pool_.submit([state, f = std::move(f)]() mutable { run_into(*state, f); });
    return JoinHandle<T>(std::move(state));
  }

 private:
  explicit Runtime(unsigned workers);
  void start_workers();
  void serve_as_worker();

  // While alive, a helper thread serves the runtime in place of the calling worker.
  class PlaceLoan {
   public:
    explicit PlaceLoan(Runtime& rt);
    ~PlaceLoan();
    PlaceLoan(const PlaceLoan&) = delete;
    PlaceLoan& operator=(const PlaceLoan&) = delete;

   private:
    std::shared_ptr<std::atomic<bool>> returned_;
  };

  // Helper threads that stand in for lending workers; a helper whose loan ended waits for the next one and
  // ends after ten idle seconds.
  void lend_place(std::shared_ptr<std::atomic<bool>> returned);
  void serve_loans();
  std::mutex loans_mu_;
  std::condition_variable loans_cv_;
  std::deque<std::shared_ptr<std::atomic<bool>>> loans_;
  std::size_t idle_helpers_ = 0;

  template <class T>
  T wait_for(asio::awaitable<T> op) {
    struct Sync {
      std::mutex mu;
      std::condition_variable cv;
      bool done = false;
      std::exception_ptr fault;
      std::optional<TaskValue<T>> value;
    };
    auto sync = std::make_shared<Sync>();
    asio::co_spawn(io_, as_optional_value(std::move(op)),
                   [sync](std::exception_ptr e, std::optional<TaskValue<T>> v) {
                     {
                       std::lock_guard lock(sync->mu);
                       sync->fault = e;
                       sync->value = std::move(v);
                       sync->done = true;
                     }
                     sync->cv.notify_one();
                   });
    std::unique_lock lock(sync->mu);
    sync->cv.wait(lock, [&] { return sync->done; });
    if (sync->fault) std::rethrow_exception(sync->fault);
    if constexpr (!std::is_void_v<T>) return std::move(*sync->value);
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> keep_running_;
  BlockingPool pool_;
  unsigned workers_;
};

// Takes `mutex`: at once when it is free, else by waiting in its queue on this thread (on a worker, with
// hand-off). The wait runs between the blocking hooks. In a process that lost the runtime in a fork, a
// lock that is not free throws RuntimeLostInFork instead of waiting.
AsyncMutexGuard lock_blocking(const std::shared_ptr<AsyncMutex>& mutex);

// Takes a plain mutex that runtime tasks take too (briefly). Like lock_blocking, it throws RuntimeLostInFork
// in a process that lost the runtime in a fork when the mutex is not free, rather than wait for good.
std::unique_lock<std::mutex> lock_or_refuse_in_fork(std::mutex& mu);

// What a thread lets go of around such a wait. The Python edge releases the interpreter there: the holder of
// the lock may need it, or need a worker that is itself waiting for it. `release` returns what `reacquire`
// takes back (null: nothing was let go).
struct BlockingHooks {
  void* (*release)() = nullptr;
  void (*reacquire)(void*) = nullptr;
};
void set_blocking_hooks(BlockingHooks hooks);

}  // namespace kestro::rt
