// Owns the async mutex: a lock that a runtime task waits for without holding its thread, with an
// uncontended synchronous fast path (try_lock) so that synchronous callers usually skip the runtime.
//
// Ownership is handed directly to the next waiter on unlock, so waiters are served first come, first served.
// A thread may also wait in the queue itself (lock_waiting): it is handed the lock directly, with no runtime
// worker involved.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/error.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/waiter.hpp"

namespace kestro::rt {

class AsyncMutex : public std::enable_shared_from_this<AsyncMutex> {
 public:
  bool try_lock() {
    std::lock_guard lock(mu_);
    if (locked_) return false;
    locked_ = true;
    return true;
  }

  void unlock() {
    std::unique_lock lock(mu_);
    if (waiters_.empty()) {
      locked_ = false;
      return;
    }
    Pending next = std::move(waiters_.front());
    waiters_.pop_front();
    lock.unlock();
    if (next.thread) {
      // Notified under its mutex: the waiter's stack holds it and may be gone as soon as this returns.
      std::lock_guard handed(next.thread->mu);
      next.thread->owned = true;
      next.thread->cv.notify_one();
      return;
    }
    next.waiter.complete(asio::error_code());
  }

  // Blocks the calling thread until it owns the lock.
  void lock_waiting() {
    ThreadWait wait;
    {
      std::lock_guard lock(mu_);
      if (!locked_) {
        locked_ = true;
        return;
      }
      waiters_.push_back(Pending{++next_id_, {}, &wait});
    }
    std::unique_lock lock(wait.mu);
    wait.cv.wait(lock, [&] { return wait.owned; });
  }

  bool is_locked() const {
    std::lock_guard lock(mu_);
    return locked_;
  }

  // Completes with no error once the caller owns the lock; with operation_aborted if cancelled first.
  template <class Token = asio::use_awaitable_t<>>
  auto async_lock(Token&& token = {}) {
    return asio::async_initiate<Token, void(asio::error_code)>(
        [self = shared_from_this()](auto handler) { self->start_lock(std::move(handler)); }, token);
  }

 private:
  // A thread waiting in lock_waiting.
  struct ThreadWait {
    std::mutex mu;
    std::condition_variable cv;
    bool owned = false;
  };

  struct Pending {
    std::uint64_t id;
    Waiter<asio::error_code> waiter;
    ThreadWait* thread = nullptr;
  };

  struct CancelLock {
    std::weak_ptr<AsyncMutex> mutex;
    std::uint64_t id;
    void operator()(asio::cancellation_type) {
      if (auto m = mutex.lock()) m->abandon(id);
    }
  };

  template <class Handler>
  void start_lock(Handler&& handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    std::unique_lock lock(mu_);
    if (!locked_) {
      locked_ = true;
      lock.unlock();
      Waiter<asio::error_code>(std::forward<Handler>(handler)).complete(asio::error_code());
      return;
    }
    const std::uint64_t id = ++next_id_;
    if (slot.is_connected()) slot.template emplace<CancelLock>(weak_from_this(), id);
    waiters_.push_back(Pending{id, Waiter<asio::error_code>(std::forward<Handler>(handler)), nullptr});
  }

  void abandon(std::uint64_t id) {
    std::unique_lock lock(mu_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (it->id == id) {
        Pending pending = std::move(*it);
        waiters_.erase(it);
        lock.unlock();
        pending.waiter.complete(asio::error::operation_aborted);
        return;
      }
    }
  }

  mutable std::mutex mu_;
  bool locked_ = false;
  std::deque<Pending> waiters_;
  std::uint64_t next_id_ = 0;
};

// Unlocks on destruction; movable so that it can be returned from an awaitable.
class AsyncMutexGuard {
 public:
  AsyncMutexGuard() = default;
  explicit AsyncMutexGuard(std::shared_ptr<AsyncMutex> m) : mutex_(std::move(m)) {}
  AsyncMutexGuard(AsyncMutexGuard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  AsyncMutexGuard& operator=(AsyncMutexGuard&& other) noexcept {
    if (this != &other) {
      reset();
      mutex_ = std::exchange(other.mutex_, nullptr);
    }
    return *this;
  }
  ~AsyncMutexGuard() { reset(); }

  explicit operator bool() const noexcept { return static_cast<bool>(mutex_); }
  void reset() {
    if (mutex_) std::exchange(mutex_, nullptr)->unlock();
  }

 private:
  std::shared_ptr<AsyncMutex> mutex_;
};

// A value that only the holder of its async mutex may touch.
template <class T>
class AsyncMutexSlot {
 public:
  AsyncMutexSlot() : mutex_(std::make_shared<AsyncMutex>()) {}
  explicit AsyncMutexSlot(T value) : mutex_(std::make_shared<AsyncMutex>()), value_(std::move(value)) {}

  const std::shared_ptr<AsyncMutex>& mutex() const { return mutex_; }
  // Only while holding a guard of mutex().
  T& value(const AsyncMutexGuard&) { return value_; }

 private:
  std::shared_ptr<AsyncMutex> mutex_;
  T value_{};
};

}  // namespace kestro::rt
