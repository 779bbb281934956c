// Owns the parking of completion handlers for the runtime's own asynchronous operations (channels, the async
// mutex, join handles): a handler is stored type-erased and later resumed on its own executor.
#pragma once

#include <functional>
#include <utility>

#include <asio/associated_executor.hpp>
#include <asio/post.hpp>
#include <asio/system_executor.hpp>

namespace kestro::rt {

template <class... Args>
class Waiter {
 public:
  Waiter() = default;

  template <class Handler>
  explicit Waiter(Handler&& handler) {
    auto ex = asio::get_associated_executor(handler, asio::system_executor());
    resume_ = [h = std::forward<Handler>(handler), ex](Args... args) mutable {
      // Never run the handler inline: the completing thread may hold our locks, and the waiting coroutine
      // must resume on its own executor.
      asio::post(ex,
                 [h = std::move(h), ... a = std::move(args)]() mutable { std::move(h)(std::move(a)...); });
    };
  }

  // A waiter that is a blocked thread rather than a handler: `fn` runs on the completing thread, so it must do
  // no more than hand the value over and wake that thread.
  template <class Fn>
  static Waiter calling(Fn&& fn) {
    Waiter waiter;
    waiter.resume_ = std::forward<Fn>(fn);
    return waiter;
  }

  explicit operator bool() const noexcept { return static_cast<bool>(resume_); }

  void complete(Args... args) {
    auto resume = std::move(resume_);
    resume_ = nullptr;
    resume(std::move(args)...);
  }

 private:
  std::move_only_function<void(Args...)> resume_;
};

}  // namespace kestro::rt
