// Owns join handles: the result of a task spawned on the shared runtime, awaitable from a runtime task or
// waited for from any thread. Dropping the last handle detaches the task; it never cancels or joins it.
#pragma once

#include <condition_variable>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include <asio/async_result.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/waiter.hpp"

namespace kestro::rt {

template <class T>
using TaskValue = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

// A task's outcome: its value, or the text of the internal fault that ended it.
template <class T>
using TaskOutcome = std::expected<TaskValue<T>, std::string>;

inline constexpr const char* kTaskAborted = "task was aborted";

// True in a process forked from one whose runtime had started (defined with the runtime).
bool runtime_lost_in_fork() noexcept;

template <class T>
class JoinState {
 public:
  using Outcome = TaskOutcome<T>;

  void finish(Outcome outcome) {
    std::deque<Waiter<>> woken;
    {
      std::lock_guard lock(mu_);
      outcome_ = std::move(outcome);
      woken.swap(waiters_);
    }
    cv_.notify_all();
    for (auto& w : woken) w.complete();
  }

  bool is_finished() const {
    std::lock_guard lock(mu_);
    return outcome_.has_value();
  }

  Outcome wait_blocking() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return outcome_.has_value(); });
    return take(lock);
  }

  template <class Token>
  auto async_wait(std::shared_ptr<JoinState> self, Token&& token) {
    return asio::async_initiate<Token, void()>(
        [self](auto handler) {
          std::unique_lock lock(self->mu_);
          if (self->outcome_) {
            lock.unlock();
            Waiter<>(std::move(handler)).complete();
            return;
          }
          self->waiters_.emplace_back(std::move(handler));
        },
        token);
  }

  Outcome take_finished() {
    std::unique_lock lock(mu_);
    return take(lock);
  }

  // Only tasks spawned as coroutines can be aborted; the signal is emitted on their strand.
  std::optional<asio::strand<asio::io_context::executor_type>> strand;
  asio::cancellation_signal abort_signal;

 private:
  Outcome take(std::unique_lock<std::mutex>&) {
    Outcome out = std::move(*outcome_);
    outcome_ = std::unexpected(std::string("task result already taken"));
    return out;
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::optional<Outcome> outcome_;
  std::deque<Waiter<>> waiters_;
};

template <class T>
class JoinHandle {
 public:
  JoinHandle() = default;
  explicit JoinHandle(std::shared_ptr<JoinState<T>> state) : state_(std::move(state)) {}
  JoinHandle(JoinHandle&&) noexcept = default;
  JoinHandle& operator=(JoinHandle&&) noexcept = default;
  JoinHandle(const JoinHandle&) = delete;
  JoinHandle& operator=(const JoinHandle&) = delete;

  explicit operator bool() const noexcept { return static_cast<bool>(state_); }
  bool is_finished() const { return state_->is_finished(); }

  // Blocks the calling thread. Not for runtime workers: use Runtime::block_in_place around it there.
  TaskOutcome<T> wait() { return state_->wait_blocking(); }

  asio::awaitable<TaskOutcome<T>> join() {
    auto state = state_;
    // A named local: g++ 12 may destroy temporaries of a co_await expression twice.
    auto finished = state->async_wait(state, asio::use_awaitable);
    co_await std::move(finished);
    TaskOutcome<T> out = state->take_finished();
    co_return out;
  }

  // Asks a coroutine task to stop at its next suspension point; it then ends with kTaskAborted.
  void abort() { aborter()(); }

  // What abort() does, callable after this handle has moved on or gone.
  std::function<void()> aborter() const {
    return [state = state_] {
      // In a forked child the parent's runtime is never touched: its locks may be held by threads that
      // are gone, and nothing would run the abort anyway.
      if (!state || !state->strand || runtime_lost_in_fork()) return;
      asio::post(*state->strand, [state] { state->abort_signal.emit(asio::cancellation_type::terminal); });
    };
  }

 private:
  std::shared_ptr<JoinState<T>> state_;
};

}  // namespace kestro::rt
