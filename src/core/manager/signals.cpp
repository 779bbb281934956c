// Owns the signal handlers, the listeners of the waits and the wait itself.
#include "core/manager/signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <random>
#include <stdexcept>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/os_error.hpp"

namespace kestro::core {

namespace {

constexpr int kSignals[2] = {SIGINT, SIGTERM};
constexpr const char* kNames[2] = {"SIGINT", "SIGTERM"};
constexpr int kMaxListeners = 64;

// A listener's state. Plain globals with trivial destructors: the handler may run at any moment, also during
// exit. A slot's eventfd is made on its first claim and kept for its later ones.
struct Slot {
  std::atomic<bool> claimed{false};    // owned by a SignalListener
  std::atomic<bool> listening{false};  // the handler marks and wakes it
  std::atomic<unsigned> pending{0};
  std::atomic<int> wake_fd{-1};
};
Slot g_slots[kMaxListeners];
struct sigaction g_previous[2];
std::mutex g_install_mutex;

void on_signal(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const int index = sig == SIGINT ? 0 : 1;
  const std::uint64_t one = 1;
  for (Slot& slot : g_slots) {
    if (!slot.listening.load(std::memory_order_acquire)) continue;
    slot.pending.fetch_or(1u << index, std::memory_order_release);
    [[maybe_unused]] ssize_t n = ::write(slot.wake_fd.load(std::memory_order_relaxed), &one, sizeof one);
  }
  const struct sigaction& prev = g_previous[index];
  if (prev.sa_flags & SA_SIGINFO) {
    if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
    prev.sa_handler(sig);
  }
  errno = saved_errno;
}

std::runtime_error registration_error(int index, int err) {
  return std::runtime_error(std::string("Failed to register ") + kNames[index] +
                            " handler: " + rt::os_error_text(err));
}

void install_handlers() {
  std::lock_guard lock(g_install_mutex);
  for (int i = 0; i < 2; ++i) {
    struct sigaction current;
    if (::sigaction(kSignals[i], nullptr, &current) != 0) throw registration_error(i, errno);
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_signal) continue;
    g_previous[i] = current;
    struct sigaction ours {};
    ours.sa_sigaction = on_signal;
    ours.sa_flags = SA_SIGINFO;  // no SA_RESTART, like CPython
    sigemptyset(&ours.sa_mask);
    if (::sigaction(kSignals[i], &ours, nullptr) != 0) throw registration_error(i, errno);
  }
}

void drain(int fd) {
  std::uint64_t count = 0;
  while (::read(fd, &count, sizeof count) > 0) {
  }
}

// Claims a free slot, with its eventfd drained and nothing pending, and starts its listening.
int claim_slot() {
  for (int i = 0; i < kMaxListeners; ++i) {
    Slot& slot = g_slots[i];
    if (slot.claimed.exchange(true, std::memory_order_acquire)) continue;
    int fd = slot.wake_fd.load(std::memory_order_relaxed);
    if (fd < 0) {
      fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (fd < 0) {
        const int err = errno;
        slot.claimed.store(false, std::memory_order_release);
        throw registration_error(0, err);
      }
      slot.wake_fd.store(fd, std::memory_order_relaxed);
    }
    drain(fd);
    slot.pending.store(0, std::memory_order_relaxed);
    slot.listening.store(true, std::memory_order_release);
    return i;
  }
  throw registration_error(0, EMFILE);
}

bool coin() {
  thread_local std::minstd_rand rng{std::random_device{}()};
  return (rng() & 1u) != 0;
}

}  // namespace

void forget_signal_waits_in_forked_child() noexcept {
  // The waits belong to the parent's threads, and the kept eventfds are shared with the parent: a signal to
  // this child must not wake (or drain) a wait of the parent's.
  for (Slot& slot : g_slots) {
    slot.listening.store(false, std::memory_order_release);
    slot.claimed.store(false, std::memory_order_release);
    const int fd = slot.wake_fd.exchange(-1, std::memory_order_relaxed);
    if (fd >= 0) ::close(fd);
  }
}

SignalListener::~SignalListener() {
  Slot& slot = g_slots[slot_];
  slot.listening.store(false, std::memory_order_release);
  slot.claimed.store(false, std::memory_order_release);
}

std::shared_ptr<SignalListener> begin_signal_wait() {
  install_handlers();
  return std::shared_ptr<SignalListener>(new SignalListener(claim_slot()));
}

asio::awaitable<std::string> wait_for_shutdown_signal(std::shared_ptr<SignalListener> listener) {
  Slot& slot = g_slots[listener->slot_];
  const int fd = ::dup(slot.wake_fd.load(std::memory_order_relaxed));
  if (fd < 0) throw registration_error(0, errno);
  asio::posix::stream_descriptor wake(co_await asio::this_coro::executor, fd);
  for (;;) {
    if (slot.pending.load(std::memory_order_acquire) == 0) {
      co_await wake.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
    }
    drain(fd);
    const unsigned pending = slot.pending.exchange(0, std::memory_order_acquire);
    if (pending == 3u) co_return std::string(kNames[coin() ? 0 : 1]);
    if (pending & 1u) co_return std::string(kNames[0]);
    if (pending & 2u) co_return std::string(kNames[1]);
  }
}

}  // namespace kestro::core
