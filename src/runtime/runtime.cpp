// Owns building the shared runtime, its worker threads and the worker hand-off.
#include "runtime/runtime.hpp"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "runtime/worker_count.hpp"

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
std::once_flag g_build_once;
std::atomic<Runtime*> g_runtime{nullptr};
const std::string* g_build_error = nullptr;

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
  std::call_once(g_build_once, [] {
    try {
      auto* rt = new Runtime(available_parallelism());
      rt->start_workers();
      g_runtime.store(rt, std::memory_order_release);
    } catch (const std::exception& e) {
      g_build_error = new std::string(std::string("cannot create the shared runtime: ") + e.what());
    }
  });
  if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return *rt;
  throw RuntimeUnavailable(g_build_error ? *g_build_error : "cannot create the shared runtime");
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

void Runtime::serve_as_worker() {
  tl_worker = true;
  for (;;) {
    try {
      io_.run();
      return;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      // Every task records its own faults; reaching here is a bug, but the worker must keep serving.
      std::fprintf(stderr, "[kestro] runtime worker fault: %s\n", e.what());
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
  std::thread([this] { serve_loans(); }).detach();
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

AsyncMutexGuard lock_blocking(const std::shared_ptr<AsyncMutex>& mutex) {
  if (mutex->try_lock()) return AsyncMutexGuard(mutex);
  Runtime::get().block_on([](std::shared_ptr<AsyncMutex> m) -> asio::awaitable<void> {
    co_await m->async_lock(asio::use_awaitable);
  }(mutex));
  return AsyncMutexGuard(mutex);
}

}  // namespace kestro::rt
