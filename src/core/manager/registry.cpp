// Owns the task registry's operations and the task id counter.
#include "core/manager/registry.hpp"

#include <chrono>
#include <new>
#include <thread>
#include <vector>

namespace kestro::core {

namespace {
std::atomic<std::uint64_t> TASK_ID_COUNTER{1};
}

std::uint64_t next_task_id() noexcept {
  return TASK_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
}

// Leaked on purpose: threads may still use it while the process exits.
std::atomic<TaskManager*> TASK_MANAGER{new TaskManager()};

TaskManager& task_manager() {
  return *TASK_MANAGER.load(std::memory_order_acquire);
}

void forget_tasks_in_forked_child() noexcept {
  // The parent's tasks and timers run on threads that are not in this process: none of them is this
  // process's to list, stop or wait for.
  if (auto* fresh = new (std::nothrow) TaskManager()) TASK_MANAGER.store(fresh, std::memory_order_release);
}

void TaskManager::register_task(std::uint64_t id, RunningFlag running, HandleSlot handle, TaskKind kind) {
  TaskEntry replaced;
  std::unique_lock lock(mu_);
  auto [it, inserted] = tasks_.try_emplace(id, TaskEntry{kind, std::move(running), std::move(handle)});
  if (!inserted) {
    replaced = std::move(it->second);
    it->second = TaskEntry{kind, std::move(running), std::move(handle)};
  }
  lock.unlock();
  // `replaced` is dropped here, outside the lock.
}

void TaskManager::unregister(std::uint64_t id) {
  std::optional<TaskEntry> removed;
  std::unique_lock lock(mu_);
  if (auto it = tasks_.find(id); it != tasks_.end()) {
    removed = std::move(it->second);
    tasks_.erase(it);
  }
}

std::uint64_t TaskManager::running_count() const {
  std::shared_lock lock(mu_);
  std::uint64_t n = 0;
  for (const auto& [id, e] : tasks_) n += e.running->load(std::memory_order_acquire) ? 1 : 0;
  return n;
}

std::uint64_t TaskManager::total_count() const {
  std::shared_lock lock(mu_);
  return tasks_.size();
}

std::uint64_t TaskManager::running_count_of(TaskKind kind) const {
  std::shared_lock lock(mu_);
  std::uint64_t n = 0;
  for (const auto& [id, e] : tasks_)
    n += (e.kind == kind && e.running->load(std::memory_order_acquire)) ? 1 : 0;
  return n;
}

StatusSummary TaskManager::status_summary() const {
  std::shared_lock lock(mu_);
  StatusSummary s;
  for (const auto& [id, e] : tasks_) {
    if (!e.running->load(std::memory_order_acquire)) {
      ++s.stopped;
    } else if (e.kind == TaskKind::Timer) {
      ++s.running_timers;
    } else {
      ++s.running_tasks;
    }
  }
  s.total = tasks_.size();
  return s;
}

void TaskManager::stop_all() {
  shutdown_requested_.store(true, std::memory_order_release);
  std::shared_lock lock(mu_);
  for (auto& [id, e] : tasks_) e.running->store(false, std::memory_order_release);
}

bool TaskManager::wait_all(std::optional<std::uint64_t> timeout_ms) const {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (running_count() == 0) return true;
    if (timeout_ms) {
      const auto elapsed = std::chrono::steady_clock::now() - start;
      // Compared in nanoseconds without overflow: a limit beyond ~584 years can never be reached.
      if (*timeout_ms <= static_cast<std::uint64_t>(INT64_MAX / 1'000'000) &&
          elapsed >= std::chrono::milliseconds(static_cast<std::int64_t>(*timeout_ms))) {
        return false;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void TaskManager::cleanup() {
  std::vector<TaskEntry> removed;
  std::unique_lock lock(mu_);
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if (!it->second.running->load(std::memory_order_acquire)) {
      removed.push_back(std::move(it->second));
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace kestro::core
