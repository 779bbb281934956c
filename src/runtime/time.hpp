// Owns the time services for runtime tasks: sleep, a fixed-period interval, and select/timeout over two
// awaitables that never lose the result of the branch that finished second.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/join_handle.hpp"
#include "runtime/runtime.hpp"
#include "runtime/waiter.hpp"

namespace kestro::rt {

using Clock = std::chrono::steady_clock;

// Durations this long are treated as "no deadline" (a timer cannot represent them).
inline constexpr auto kNoDeadline = std::chrono::hours(24 * 365 * 100);

inline asio::awaitable<void> sleep_for(Clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::use_awaitable);
}

inline asio::awaitable<void> sleep_until(Clock::time_point t) {
  asio::steady_timer timer(co_await asio::this_coro::executor, t);
  co_await timer.async_wait(asio::use_awaitable);
}

// Ticks on an absolute grid: start, start + period, ... A late tick fires at once and the grid is kept.
class Interval {
 public:
  Interval(Clock::time_point start, Clock::duration period) : next_(start), period_(period) {}

  asio::awaitable<Clock::time_point> tick() {
    const auto due = next_;
    next_ += period_;
    if (Clock::now() < due) co_await sleep_until(due);
    co_return due;
  }

  Clock::time_point next() const { return next_; }
  void reset(Clock::time_point next) { next_ = next; }

 private:
  Clock::time_point next_;
  Clock::duration period_;
};

// The outcome of each branch of a select: its value, or nullopt when it was cancelled or failed.
template <class A, class B>
struct SelectResult {
  std::optional<TaskValue<A>> first;
  std::optional<TaskValue<B>> second;
};

namespace detail {

template <class A, class B>
struct SelectState {
  std::mutex mu;     // guards both_done and done_flag
  int finished = 0;  // touched on the select's strand only
  // Touched on the select's strand only.
  bool any_finished = false;
  bool started[2] = {false, false};
  Waiter<> both_done;
  bool done_flag = false;
  asio::cancellation_signal cancel_first, cancel_second;
  SelectResult<A, B> result;

  // Runs on the strand. The waiter is woken by a later strand handler, so that the co_spawn machinery is
  // done with the cancellation slots before the waiter can release them.
  template <class Strand>
  void branch_done(Strand& strand, std::shared_ptr<SelectState> self) {
    if (++finished < 2) return;
    asio::post(strand, [self = std::move(self)] {
      Waiter<> w;
      {
        std::lock_guard lock(self->mu);
        self->done_flag = true;
        w = std::move(self->both_done);
      }
      if (w) w.complete();
    });
  }
};

// A branch is only cancelled once it has started: co_spawn throws out of a coroutine that is cancelled before
// its body runs. A branch that starts after the other one finished skips its operation instead.
//
// Cancellation must not turn a produced value into an error: by default a cancelled coroutine throws at its
// next co_await.
template <class T, class St>
asio::awaitable<std::optional<TaskValue<T>>> select_branch(std::shared_ptr<St> st, int index,
                                                           asio::awaitable<T> op) {
  co_await asio::this_coro::throw_if_cancelled(false);
  st->started[index] = true;
  if (st->any_finished) co_return std::nullopt;
  co_return co_await as_optional_value(std::move(op));
}

}  // namespace detail

// Runs `a` and `b` concurrently. When one finishes, the other is cancelled; select then waits for both and
// returns what each produced, so a receive that completed while being cancelled still delivers its value.
template <class A, class B>
asio::awaitable<SelectResult<A, B>> select(asio::awaitable<A> a, asio::awaitable<B> b) {
  auto st = std::make_shared<detail::SelectState<A, B>>();
  auto strand = asio::make_strand(co_await asio::this_coro::executor);
  asio::co_spawn(strand, detail::select_branch(st, 0, std::move(a)),
                 asio::bind_cancellation_slot(
                     st->cancel_first.slot(),
                     asio::bind_executor(
                         strand, [st, strand](std::exception_ptr e, std::optional<TaskValue<A>> v) mutable {
                           if (!e) st->result.first = std::move(v);
                           st->any_finished = true;
                           if (st->started[1]) st->cancel_second.emit(asio::cancellation_type::terminal);
                           st->branch_done(strand, st);
                         })));
  asio::co_spawn(strand, detail::select_branch(st, 1, std::move(b)),
                 asio::bind_cancellation_slot(
                     st->cancel_second.slot(),
                     asio::bind_executor(
                         strand, [st, strand](std::exception_ptr e, std::optional<TaskValue<B>> v) mutable {
                           if (!e) st->result.second = std::move(v);
                           st->any_finished = true;
                           if (st->started[0]) st->cancel_first.emit(asio::cancellation_type::terminal);
                           st->branch_done(strand, st);
                         })));
  // g++ 12 may destroy temporaries inside a co_await expression twice: keep every object that owns state
  // (the initiation capturing `st`) in a named local.
  auto wait_both = [st](auto handler) {
    std::unique_lock lock(st->mu);
    if (st->done_flag) {
      lock.unlock();
      Waiter<>(std::move(handler)).complete();
      return;
    }
    st->both_done = Waiter<>(std::move(handler));
  };
  auto both = asio::async_initiate<const asio::use_awaitable_t<>&, void()>(wait_both, asio::use_awaitable);
  co_await std::move(both);
  SelectResult<A, B> out = std::move(st->result);
  co_return out;
}

// `op`'s value, or nullopt when `limit` passed first (op is then cancelled).
template <class T>
asio::awaitable<std::optional<TaskValue<T>>> timeout(Clock::duration limit, asio::awaitable<T> op) {
  auto r = co_await select(std::move(op), sleep_for(limit));
  std::optional<TaskValue<T>> out = std::move(r.first);
  co_return out;
}

}  // namespace kestro::rt
