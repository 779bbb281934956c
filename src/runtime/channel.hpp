// Owns the unbounded multi-producer channel used between runtime tasks and Python-facing calls.
//
// Ends: any number of Sender and Receiver copies share one queue. When the last Sender goes, receivers first
// drain what is queued and then see Closed; when the last Receiver goes, the queue is dropped and every later
// send fails. A receive that is cancelled (for example by select) either takes a message or leaves it queued:
// it never consumes a message that its caller does not get.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/waiter.hpp"

namespace kestro::rt {

namespace testing {
// Called by a blocked receive whose time ran out, before it withdraws: tests send from here to land a value
// in that window.
inline void (*before_blocked_receive_withdraws)() = nullptr;
}  // namespace testing

enum class RecvError : std::uint8_t { Closed, Cancelled, TimedOut };
enum class TryRecvError : std::uint8_t { Empty, Closed };

template <class T>
using RecvResult = std::expected<T, RecvError>;

template <class T>
class ChannelCore : public std::enable_shared_from_this<ChannelCore<T>> {
 public:
  bool send(T value) {
    std::unique_lock lock(mu_);
    if (receivers_ == 0) return false;
    if (!waiters_.empty()) {
      Pending pending = std::move(waiters_.front());
      waiters_.pop_front();
      lock.unlock();
      pending.finish(RecvResult<T>(std::move(value)));
      return true;
    }
    queue_.push_back(std::move(value));
    return true;
  }

  std::expected<T, TryRecvError> try_receive() {
    std::lock_guard lock(mu_);
    if (!queue_.empty()) {
      T value = std::move(queue_.front());
      queue_.pop_front();
      return value;
    }
    return std::unexpected(senders_ == 0 ? TryRecvError::Closed : TryRecvError::Empty);
  }

  std::size_t size() const {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

  bool receiver_closed() const {
    std::lock_guard lock(mu_);
    return receivers_ == 0;
  }

  template <class Handler>
  void start_receive(Handler&& handler, std::optional<std::chrono::steady_clock::duration> timeout) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    std::unique_lock lock(mu_);
    if (!queue_.empty()) {
      T value = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      Waiter<RecvResult<T>>(std::forward<Handler>(handler)).complete(std::move(value));
      return;
    }
    if (senders_ == 0) {
      lock.unlock();
      Waiter<RecvResult<T>>(std::forward<Handler>(handler)).complete(std::unexpected(RecvError::Closed));
      return;
    }
    const std::uint64_t id = ++next_id_;
    std::shared_ptr<asio::steady_timer> timer;
    if (timeout) {
      timer = std::make_shared<asio::steady_timer>(asio::get_associated_executor(handler), *timeout);
      timer->async_wait([weak = this->weak_from_this(), id](const asio::error_code& ec) {
        if (ec) return;
        if (auto core = weak.lock()) core->abandon(id, RecvError::TimedOut);
      });
    }
    // The cancellation handler must be in place before the waiter becomes visible to senders.
    if (slot.is_connected()) {
      slot.template emplace<CancelReceive>(this->weak_from_this(), id);
    }
    waiters_.push_back(Pending{id, Waiter<RecvResult<T>>(std::forward<Handler>(handler)), std::move(timer)});
  }

  // Waits on the calling thread itself until a value comes, every sender is gone, or `deadline` passes (none:
  // no deadline). A sender hands the value straight to the blocked thread: no runtime task resumes in
  // between and no timer is armed, so a thread outside the runtime is woken once per value.
  RecvResult<T> receive_blocking(std::optional<std::chrono::steady_clock::time_point> deadline) {
    auto blocked = std::make_shared<BlockedReceiver>();
    std::uint64_t id = 0;
    {
      std::lock_guard lock(mu_);
      if (!queue_.empty()) {
        T value = std::move(queue_.front());
        queue_.pop_front();
        return value;
      }
      if (senders_ == 0) return std::unexpected(RecvError::Closed);
      id = ++next_id_;
      waiters_.push_back(Pending{
          id, Waiter<RecvResult<T>>::calling([blocked](RecvResult<T> r) { blocked->hand_over(std::move(r)); }),
          nullptr});
    }
    if (deadline && !blocked->wait_until(*deadline)) {
      if (testing::before_blocked_receive_withdraws) testing::before_blocked_receive_withdraws();
      if (withdraw(id)) return std::unexpected(RecvError::TimedOut);
      // A sender took this waiter just as time ran out: its value is on the way and must not be lost.
    }
    return blocked->take();
  }

  void add_sender() {
    std::lock_guard lock(mu_);
    ++senders_;
  }
  void drop_sender() {
    std::deque<Pending> woken;
    {
      std::lock_guard lock(mu_);
      if (--senders_ == 0) woken.swap(waiters_);
    }
    for (auto& pending : woken) pending.finish(std::unexpected(RecvError::Closed));
  }
  void add_receiver() {
    std::lock_guard lock(mu_);
    ++receivers_;
  }
  void drop_receiver() {
    std::deque<T> dropped;
    std::function<void()> abandoned;
    {
      std::lock_guard lock(mu_);
      if (--receivers_ == 0) {
        dropped.swap(queue_);
        abandoned.swap(abandoned_);
      }
    }
    if (abandoned) abandoned();
  }

  void on_abandoned(std::function<void()> fn) {
    std::unique_lock lock(mu_);
    if (receivers_ > 0) {
      abandoned_ = std::move(fn);
      return;
    }
    lock.unlock();
    fn();
  }

 private:
  struct Pending {
    std::uint64_t id;
    Waiter<RecvResult<T>> waiter;
    std::shared_ptr<asio::steady_timer> timer;

    void finish(RecvResult<T> result) {
      if (timer) {
        // A timer is not safe to touch from another thread: cancel it where it waits.
        auto ex = timer->get_executor();
        asio::post(ex, [t = std::move(timer)] { t->cancel(); });
      }
      waiter.complete(std::move(result));
    }
  };

  struct BlockedReceiver {
    std::mutex mu;
    std::condition_variable cv;
    std::optional<RecvResult<T>> result;

    void hand_over(RecvResult<T> r) {
      {
        std::lock_guard lock(mu);
        result.emplace(std::move(r));
      }
      cv.notify_one();
    }
    bool wait_until(std::chrono::steady_clock::time_point deadline) {
      std::unique_lock lock(mu);
      return cv.wait_until(lock, deadline, [&] { return result.has_value(); });
    }
    RecvResult<T> take() {
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return result.has_value(); });
      return std::move(*result);
    }
  };

  struct CancelReceive {
    std::weak_ptr<ChannelCore> core;
    std::uint64_t id;
    void operator()(asio::cancellation_type) {
      if (auto c = core.lock()) c->abandon(id, RecvError::Cancelled);
    }
  };

  // Takes waiter `id` out of the queue; nullopt when a sender has already taken it.
  std::optional<Pending> withdraw(std::uint64_t id) {
    std::lock_guard lock(mu_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
      if (it->id == id) {
        Pending pending = std::move(*it);
        waiters_.erase(it);
        return pending;
      }
    }
    return std::nullopt;
  }

  void abandon(std::uint64_t id, RecvError why) {
    if (auto pending = withdraw(id)) pending->finish(std::unexpected(why));
  }

  mutable std::mutex mu_;
  std::deque<T> queue_;
  std::deque<Pending> waiters_;
  std::size_t senders_ = 0;
  std::size_t receivers_ = 0;
  std::uint64_t next_id_ = 0;
  std::function<void()> abandoned_;
};

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<ChannelCore<T>> core) : core_(std::move(core)) { core_->add_sender(); }
  Sender(const Sender& other) : core_(other.core_) {
    if (core_) core_->add_sender();
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(core_, other.core_);
    return *this;
  }
  ~Sender() {
    if (core_) core_->drop_sender();
  }

  // False when every receiver is gone; the value is dropped.
  bool send(T value) const { return core_->send(std::move(value)); }
  bool is_closed() const { return core_->receiver_closed(); }

 private:
  std::shared_ptr<ChannelCore<T>> core_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<ChannelCore<T>> core) : core_(std::move(core)) { core_->add_receiver(); }
  Receiver(const Receiver& other) : core_(other.core_) {
    if (core_) core_->add_receiver();
  }
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver other) noexcept {
    std::swap(core_, other.core_);
    return *this;
  }
  ~Receiver() {
    if (core_) core_->drop_receiver();
  }

  std::expected<T, TryRecvError> try_receive() const { return core_->try_receive(); }
  std::size_t size() const { return core_->size(); }

  // Runs `fn` once, on the thread that drops the last receiver (at once if none is left): a sender that
  // only waits for input learns that nobody will read it without waiting for the next value.
  void on_abandoned(std::function<void()> fn) const { core_->on_abandoned(std::move(fn)); }

  template <class Token = asio::use_awaitable_t<>>
  auto receive(Token&& token = {}) const {
    return asio::async_initiate<Token, void(RecvResult<T>)>(
        [core = core_](auto handler) { core->start_receive(std::move(handler), std::nullopt); }, token);
  }

  // Blocks the calling thread (never a runtime worker without a place loan) until a value comes or the
  // channel closes, at most until `deadline` if one is given.
  RecvResult<T> receive_blocking(std::optional<std::chrono::steady_clock::time_point> deadline) const {
    return core_->receive_blocking(deadline);
  }

  // Waits at most `timeout`; the result is TimedOut when nothing arrived in time.
  template <class Token = asio::use_awaitable_t<>>
  auto receive_for(std::chrono::steady_clock::duration timeout, Token&& token = {}) const {
    return asio::async_initiate<Token, void(RecvResult<T>)>(
        [core = core_, timeout](auto handler) { core->start_receive(std::move(handler), timeout); }, token);
  }

 private:
  std::shared_ptr<ChannelCore<T>> core_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto core = std::make_shared<ChannelCore<T>>();
  return {Sender<T>(core), Receiver<T>(core)};
}

}  // namespace kestro::rt
