// Owns the process-wide task registry: the bookkeeping of every timer and background task, the shared task
// id counter, and the never-cleared shutdown flag.
//
// The registry never starts, awaits or aborts a task: stopping is cooperative through the running flags it
// clears. It never takes the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

#include "runtime/async_mutex.hpp"
#include "runtime/join_handle.hpp"

namespace kestro::core {

enum class TaskKind : std::uint8_t { Timer = 0, AsyncTask = 1 };

using RunningFlag = std::shared_ptr<std::atomic<bool>>;
// Keeps a task's join handle until the last holder lets go; never read.
using HandleSlot = std::shared_ptr<rt::AsyncMutexSlot<std::optional<rt::JoinHandle<void>>>>;

// Draws the next task id (the first is 1); timers and background tasks share the counter.
std::uint64_t next_task_id() noexcept;

struct TaskEntry {
  TaskKind kind;
  RunningFlag running;
  HandleSlot handle;
};

struct StatusSummary {
  std::uint64_t running_timers = 0;
  std::uint64_t running_tasks = 0;
  std::uint64_t stopped = 0;
  std::uint64_t total = 0;
};

class TaskManager {
 public:
  void register_task(std::uint64_t id, RunningFlag running, HandleSlot handle, TaskKind kind);
  void unregister(std::uint64_t id);

  std::uint64_t running_count() const;
  std::uint64_t total_count() const;
  std::uint64_t running_count_of(TaskKind kind) const;
  StatusSummary status_summary() const;

  void stop_all();
  // True once nothing runs; false when `timeout_ms` passed first. Polls every 10 ms holding no lock.
  bool wait_all(std::optional<std::uint64_t> timeout_ms) const;
  void cleanup();

  bool shutdown_requested() const noexcept { return shutdown_requested_.load(std::memory_order_acquire); }

 private:
  mutable std::shared_mutex mu_;
  std::unordered_map<std::uint64_t, TaskEntry> tasks_;
  std::atomic<bool> shutdown_requested_{false};
};

// The one registry of the process, created on first use and never destroyed.
TaskManager& task_manager();
// For the fork handler in the child, while it is the only thread: the child starts with an empty registry.
void forget_tasks_in_forked_child() noexcept;

}  // namespace kestro::core
