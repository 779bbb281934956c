// Owns where the reader of a non-blocking CAN device puts each frame it receives: into the incoming channel
// (the default), into a handler that an owner installed to take every frame on the reader's own thread, or
// nowhere.
//
// A handler is for an owner that only files frames away (the motor group routes feedback into its records):
// taking a frame where it was read costs no thread hand-off at all, where queueing it wakes the receiving
// task and that task then wakes whoever reads the result. A handler must not block for long, must never take
// the Python interpreter lock, and must not call back into the tap.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "comm/can/frame.hpp"
#include "runtime/channel.hpp"

namespace kestro::comm {

class IncomingTap {
 public:
  using Handler = std::function<void(const CanMessage&)>;

  // Hands one received frame on. False once the frame could not be queued because nobody can receive any
  // more (the channel is closed): the reader then ends.
  bool deliver(CanMessage msg, const rt::Sender<CanMessage>& queue) {
    switch (mode_.load(std::memory_order_acquire)) {
      case Mode::Queue:
        return queue.send(std::move(msg));
      case Mode::Route: {
        std::lock_guard lock(mu_);
        if (handler_) {
          handler_(msg);
          return true;
        }
        [[fallthrough]];
      }
      case Mode::Discard:
        break;
    }
    return !queue.is_closed();
  }

  // From now on every frame goes to `handler`, on the reader's thread.
  void route(Handler handler) {
    std::lock_guard lock(mu_);
    handler_ = std::move(handler);
    mode_.store(Mode::Route, std::memory_order_release);
  }

  // From now on frames are dropped. Returns once a handler that was running has returned, so that nothing
  // the handler reaches is touched afterwards. Without `wait_for_handler` (a forked child, where no reader
  // runs and the parent's reader may have held the lock at the fork) it only stops the handing over.
  void discard(bool wait_for_handler = true) {
    mode_.store(Mode::Discard, std::memory_order_release);
    if (!wait_for_handler) return;
    std::lock_guard lock(mu_);
    handler_ = nullptr;
  }

 private:
  enum class Mode { Queue, Route, Discard };
  std::atomic<Mode> mode_{Mode::Queue};
  std::mutex mu_;
  Handler handler_;
};

}  // namespace kestro::comm
