// Owns the signal handlers and the signal wait.
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

#include "comm/can/io_error.hpp"

namespace kestro::core {

namespace {

constexpr int kSignals[2] = {SIGINT, SIGTERM};
constexpr const char* kNames[2] = {"SIGINT", "SIGTERM"};

// Plain globals with trivial destructors: the handler may run at any moment, also during exit.
int g_wake_fd = -1;
std::atomic<unsigned> g_pending{0};
struct sigaction g_previous[2];
std::mutex g_install_mutex;

void on_signal(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const int index = sig == SIGINT ? 0 : 1;
  g_pending.fetch_or(1u << index, std::memory_order_relaxed);
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(g_wake_fd, &one, sizeof one);
  const struct sigaction& prev = g_previous[index];
  if (prev.sa_flags & SA_SIGINFO) {
    if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
    prev.sa_handler(sig);
  }
  errno = saved_errno;
}

void install_handlers() {
  std::lock_guard lock(g_install_mutex);
  if (g_wake_fd < 0) {
    g_wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_wake_fd < 0) {
      throw std::runtime_error("Failed to register SIGINT handler: " + comm::os_error_text(errno));
    }
  }
  for (int i = 0; i < 2; ++i) {
    struct sigaction current;
    if (::sigaction(kSignals[i], nullptr, &current) != 0) {
      throw std::runtime_error(std::string("Failed to register ") + kNames[i] +
                               " handler: " + comm::os_error_text(errno));
    }
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_signal) continue;
    g_previous[i] = current;
    struct sigaction ours {};
    ours.sa_sigaction = on_signal;
    ours.sa_flags = SA_SIGINFO;  // no SA_RESTART, like CPython
    sigemptyset(&ours.sa_mask);
    if (::sigaction(kSignals[i], &ours, nullptr) != 0) {
      throw std::runtime_error(std::string("Failed to register ") + kNames[i] +
                               " handler: " + comm::os_error_text(errno));
    }
  }
}

void drain_wake_fd() {
  std::uint64_t count = 0;
  while (::read(g_wake_fd, &count, sizeof count) > 0) {
  }
}

bool coin() {
  thread_local std::minstd_rand rng{std::random_device{}()};
  return (rng() & 1u) != 0;
}

}  // namespace

void begin_signal_wait() {
  install_handlers();
  g_pending.store(0, std::memory_order_relaxed);
  drain_wake_fd();
}

asio::awaitable<std::string> wait_for_shutdown_signal() {
  const int fd = ::dup(g_wake_fd);
  if (fd < 0) throw std::runtime_error("Failed to register SIGINT handler: " + comm::os_error_text(errno));
  asio::posix::stream_descriptor wake(co_await asio::this_coro::executor, fd);
  for (;;) {
    if (g_pending.load(std::memory_order_relaxed) == 0) {
      co_await wake.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
    }
    drain_wake_fd();
    const unsigned pending = g_pending.exchange(0, std::memory_order_relaxed);
    if (pending == 3u) co_return std::string(kNames[coin() ? 0 : 1]);
    if (pending & 1u) co_return std::string(kNames[0]);
    if (pending & 2u) co_return std::string(kNames[1]);
  }
}

}  // namespace kestro::core
