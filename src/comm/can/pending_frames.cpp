// Owns the registry of pending-frame counters of the non-blocking devices.
#include "comm/can/pending_frames.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "runtime/exit_flush.hpp"

namespace kestro::comm {

namespace {

// Leaked: writers may still count while the process exits.
struct Registry {
  std::mutex mu;
  std::vector<std::weak_ptr<PendingCount>> counts;
};

std::atomic<Registry*> g_registry{new Registry};

Registry& registry() {
  return *g_registry.load(std::memory_order_acquire);
}

bool anything_pending() {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  std::erase_if(r.counts, [](const auto& w) { return w.expired(); });
  return std::any_of(r.counts.begin(), r.counts.end(), [](const auto& w) {
    auto c = w.lock();
    return c && c->load(std::memory_order_acquire) > 0;
  });
}

}  // namespace

std::shared_ptr<PendingCount> watched_pending_count() {
  // From the first device on, the interpreter's exit gives queued frames a moment to reach the bus.
  rt::on_exit_flush(wait_for_pending_frames);
  auto count = std::make_shared<PendingCount>(0);
  auto& r = registry();
  std::lock_guard lock(r.mu);
  // Dropped devices leave expired entries: cleared here too, so a program that keeps rebuilding its
  // devices does not grow the registry until exit.
  std::erase_if(r.counts, [](const auto& w) { return w.expired(); });
  r.counts.push_back(count);
  return count;
}

std::size_t watched_counter_slots() {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  return r.counts.size();
}

bool wait_for_pending_frames(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (anything_pending()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void forget_pending_frames_in_forked_child() noexcept {
  // The counters belong to the parent's devices, whose writers are not in this process.
  if (auto* fresh = new (std::nothrow) Registry) g_registry.store(fresh, std::memory_order_release);
}

}  // namespace kestro::comm
