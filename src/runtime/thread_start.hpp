// Owns starting the runtime's own threads (helpers that stand in for a lending worker, blocking-pool
// threads), with a test hook that makes a start fail as the system does when a process or cgroup limit is
// reached.
#pragma once

#include <thread>
#include <utility>

namespace kestro::rt {

enum class ThreadSite { Helper, Pool };

// Throws std::system_error (EAGAIN) while a failure is armed for `site`.
void check_thread_start(ThreadSite site);

// Starts a detached thread running `f`. Throws std::system_error when it cannot.
template <class F>
void start_detached(ThreadSite site, F&& f) {
  check_thread_start(site);
  std::thread(std::forward<F>(f)).detach();
}

// Test hook: the next `count` starts at `site` fail.
void fail_thread_starts(ThreadSite site, int count);

}  // namespace kestro::rt
