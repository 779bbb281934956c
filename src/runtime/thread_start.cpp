// Owns the armed thread-start failures of the test hook.
#include "runtime/thread_start.hpp"

#include <atomic>
#include <cerrno>
#include <system_error>

namespace kestro::rt {

namespace {

std::atomic<int> g_failures[2] = {0, 0};

}  // namespace

void check_thread_start(ThreadSite site) {
  auto& armed = g_failures[static_cast<int>(site)];
  int left = armed.load(std::memory_order_relaxed);
  while (left > 0) {
    if (armed.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      throw std::system_error(EAGAIN, std::generic_category(), "thread start refused");
    }
  }
}

void fail_thread_starts(ThreadSite site, int count) {
  g_failures[static_cast<int>(site)].store(count, std::memory_order_relaxed);
}

}  // namespace kestro::rt
