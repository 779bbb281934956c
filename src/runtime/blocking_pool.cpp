// Owns the blocking pool's threads and their hand-out of jobs.
#include "runtime/blocking_pool.hpp"

#include <chrono>
#include <thread>

#include "runtime/thread_start.hpp"

namespace kestro::rt {

namespace {
constexpr auto kIdleLimit = std::chrono::seconds(10);
}

void BlockingPool::submit(Job job) {
  std::unique_lock lock(mu_);
  const std::uint64_t id = ++next_job_id_;
  jobs_.push_back(Queued{id, std::move(job)});
  if (idle_ > 0) {
    --idle_;
    ++wakeups_;
    lock.unlock();
    cv_.notify_one();
    return;
  }
  ++threads_;
  lock.unlock();
  try {
    start_detached(ThreadSite::Pool, [this] { serve(); });
  } catch (...) {
    std::lock_guard relock(mu_);
    --threads_;
    // Withdrawn unless a thread already took it (then it runs, and the start failure does not matter).
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
      if (it->id == id) {
        jobs_.erase(it);
        throw;
      }
    }
  }
}

std::size_t BlockingPool::thread_count() const {
  std::lock_guard lock(mu_);
  return threads_;
}

void BlockingPool::serve() {
  std::unique_lock lock(mu_);
  for (;;) {
    while (jobs_.empty()) {
      ++idle_;
      if (!cv_.wait_for(lock, kIdleLimit, [&] { return wakeups_ > 0; })) {
        --idle_;
        if (jobs_.empty()) {
          --threads_;
          return;
        }
        continue;
      }
      --wakeups_;
    }
    Job job = std::move(jobs_.front().job);
    jobs_.pop_front();
    lock.unlock();
    // A job reports its own faults; one that unwinds the thread (interpreter exit) ends it here.
    job();
    job = nullptr;
    lock.lock();
  }
}

}  // namespace kestro::rt
