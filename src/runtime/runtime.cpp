// Owns building the shared runtime, its worker threads and the worker hand-off.
#include "runtime/runtime.hpp"

#include <chrono>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>

#include "runtime/diagnostics.hpp"
#include "runtime/thread_start.hpp"
#include "runtime/worker_count.hpp"
#include "runtime/forced_unwind.hpp"

// Workers are never joined, so they still run while exit() destroys statics. Asio's thread call stack must
// then live in compiler TLS: its pthread-key form is deleted by a static destructor and a worker reading it
// afterwards crashes.
#if !defined(ASIO_HAS_THREAD_KEYWORD_EXTENSION)
#error "Asio must keep its thread call stack in compiler TLS (ASIO_HAS_THREAD_KEYWORD_EXTENSION)"
#endif

namespace kestro::rt {

namespace {

thread_local bool tl_worker = false;

// Plain pointers: the runtime and a build failure are kept for the life of the process, and no static
// destructor may run while worker threads still use them.
std::mutex* g_build_mutex = new std::mutex;
bool g_build_tried = false;  // under g_build_mutex
std::atomic<Runtime*> g_runtime{nullptr};
const std::string* g_build_error = nullptr;
// Set in a forked child whose parent had started (or was starting) the runtime: its threads are gone.
std::atomic<bool> g_lost_in_fork{false};
std::atomic<void* (*)()> g_release_hook{nullptr};
std::atomic<void (*)(void*)> g_reacquire_hook{nullptr};

}  // namespace

std::string describe_exception(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::system_error& err) {
    if (err.code() == asio::error::operation_aborted) return kTaskAborted;
    return err.what();
  } catch (const std::exception& err) {
    return err.what();
  } catch (...) {
    return "unknown internal fault";
  }
}

Runtime::Runtime(unsigned workers)
    // A hint above 1 keeps continuations on the shared queue where every worker can take them.
    : io_(static_cast<int>(workers < 2 ? 2 : workers)),
      keep_running_(io_.get_executor()),
      workers_(workers) {}

Runtime& Runtime::get() {
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return *rt;
  if (g_lost_in_fork.load(std::memory_order_acquire)) throw RuntimeLostInFork(kRuntimeLostInFork);
  std::lock_guard lock(*g_build_mutex);
  if (!g_build_tried) {
    g_build_tried = true;
    try {
      auto* rt = new Runtime(available_parallelism());
      rt->start_workers();
      g_runtime.store(rt, std::memory_order_release);
    } catch (const std::exception& e) {
      g_build_error = new std::string(std::string("cannot create the shared runtime: ") + e.what());
    }
  }
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return *rt;
  throw RuntimeUnavailable(g_build_error ? *g_build_error : "cannot create the shared runtime");
}

bool Runtime::lost_in_fork() noexcept {
  return g_lost_in_fork.load(std::memory_order_acquire);
}

bool runtime_lost_in_fork() noexcept {
  return Runtime::lost_in_fork();
}

void Runtime::forget_in_forked_child() noexcept {
  // Only the forking thread exists here. A runtime that was built or being built has no workers any more,
  // and its locks may have been held by threads that are gone: it is never touched again. A child whose
  // parent never started it builds its own on first use.
  if (auto* fresh = new (std::nothrow) std::mutex) g_build_mutex = fresh;
  if (g_runtime.load(std::memory_order_relaxed) || g_build_tried) {
    g_runtime.store(nullptr, std::memory_order_release);
    g_lost_in_fork.store(true, std::memory_order_release);
  }
}

bool Runtime::is_built() noexcept {
  return g_runtime.load(std::memory_order_acquire) != nullptr;
}

bool Runtime::on_worker() noexcept {
  return tl_worker;
}

void Runtime::start_workers() {
  for (unsigned i = 0; i < workers_; ++i) {
    std::thread([this] { serve_as_worker(); }).detach();
  }
}

KESTRO_CATCHES_FORCED_UNWIND void Runtime::serve_as_worker() {
  tl_worker = true;
  for (;;) {
    try {
      io_.run();
      return;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      // Every task records its own faults; reaching here is a bug, but the worker must keep serving.
      diag::emit(std::string("[kestro] runtime worker fault: ") + e.what() + "\n");
    }
  }
}

Runtime::PlaceLoan::PlaceLoan(Runtime& rt) : returned_(std::make_shared<std::atomic<bool>>(false)) {
  tl_worker = false;
  rt.lend_place(returned_);
}

void Runtime::lend_place(std::shared_ptr<std::atomic<bool>> returned) {
  std::unique_lock lock(loans_mu_);
  loans_.push_back(std::move(returned));
  // An idle helper for every pending loan: wake one; otherwise start another.
  if (idle_helpers_ >= loans_.size()) {
    lock.unlock();
    loans_cv_.notify_one();
    return;
  }
  lock.unlock();
  try {
    start_detached(ThreadSite::Helper, [this] { serve_loans(); });
  } catch (const std::system_error& e) {
    // Never fatal: this worker is in the middle of a call that holds the interpreter. The runtime serves
    // with one worker fewer until it is back; the loan stays queued and the next helper drops it.
    diag::emit(std::string("[kestro] cannot start a runtime helper thread, serving with one worker fewer: ") +
               e.what() + "\n");
  }
}

void Runtime::serve_loans() {
  tl_worker = true;
  std::unique_lock lock(loans_mu_);
  for (;;) {
    if (loans_.empty()) {
      ++idle_helpers_;
      const bool woken = loans_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !loans_.empty(); });
      --idle_helpers_;
      if (!woken) return;
    }
    auto returned = std::move(loans_.front());
    loans_.pop_front();
    lock.unlock();
    // Serves until the lender is back; the short slice bounds how long it lingers afterwards.
    while (!returned->load(std::memory_order_acquire)) io_.run_one_for(std::chrono::milliseconds(5));
    lock.lock();
  }
}

Runtime::PlaceLoan::~PlaceLoan() {
  returned_->store(true, std::memory_order_release);
  tl_worker = true;
}

void set_blocking_hooks(BlockingHooks hooks) {
  g_release_hook.store(hooks.release, std::memory_order_release);
  g_reacquire_hook.store(hooks.reacquire, std::memory_order_release);
}

std::unique_lock<std::mutex> lock_or_refuse_in_fork(std::mutex& mu) {
  std::unique_lock lock(mu, std::try_to_lock);
  if (lock.owns_lock()) return lock;
  if (Runtime::lost_in_fork()) throw RuntimeLostInFork(kRuntimeLostInFork);
  lock.lock();
  return lock;
}

KESTRO_CATCHES_FORCED_UNWIND AsyncMutexGuard lock_blocking(const std::shared_ptr<AsyncMutex>& mutex) {
  if (mutex->try_lock()) return AsyncMutexGuard(mutex);
  // In a process forked after the runtime started, the holder is most likely a thread of the parent's (a
  // device's reader in the middle of an update): it does not exist here, and nothing would ever wake us.
  if (Runtime::lost_in_fork()) throw RuntimeLostInFork(kRuntimeLostInFork);
  auto* release = g_release_hook.load(std::memory_order_acquire);
  auto* reacquire = g_reacquire_hook.load(std::memory_order_acquire);
  void* released = release ? release() : nullptr;
  try {
    // Waiting in the queue needs no free worker; on a worker, a helper serves in its place meanwhile.
    if (Runtime::on_worker()) {
      Runtime::get().block_in_place([&] { mutex->lock_waiting(); });
    } else {
      mutex->lock_waiting();
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if (released) reacquire(released);
    throw;
  }
  // Owned by the guard before the interpreter is taken back: a thread that ends there still unlocks.
  AsyncMutexGuard guard(mutex);
  if (released) reacquire(released);
  return guard;
}

}  // namespace kestro::rt
