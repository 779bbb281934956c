// Owns the count of frames that each non-blocking device has queued but its writer has not yet handled, and
// the wait that lets those frames reach the bus before the process ends: a program that queues its last
// command (a zero target, say) and exits must not lose it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

namespace kestro::comm {

using PendingCount = std::atomic<std::size_t>;

// A counter that wait_for_pending_frames watches for as long as someone holds it.
std::shared_ptr<PendingCount> watched_pending_count();

// Entries the registry holds, live or not yet cleared (for tests).
std::size_t watched_counter_slots();

// For the fork handler in the child, while it is the only thread.
void forget_pending_frames_in_forked_child() noexcept;

// Waits until no watched counter is above zero, or `limit` has passed. True when nothing was left.
bool wait_for_pending_frames(std::chrono::milliseconds limit);

}  // namespace kestro::comm
