// Owns the blocking pool: threads, separate from the runtime workers, for synchronous work that may take
// long. It grows by one thread whenever a job finds no idle thread, and a thread that stays idle for ten
// seconds ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace kestro::rt {

class BlockingPool {
 public:
  using Job = std::move_only_function<void()>;

  // Throws std::system_error when a needed thread cannot be started.
  void submit(Job job);

  std::size_t thread_count() const;

 private:
  void serve();

  mutable std::mutex mu_;
  std::condition_variable cv_;
  struct Queued {
    std::uint64_t id;
    Job job;
  };
  std::deque<Queued> jobs_;
  std::uint64_t next_job_id_ = 0;
  std::size_t idle_ = 0;
  std::size_t wakeups_ = 0;
  std::size_t threads_ = 0;
};

}  // namespace kestro::rt
