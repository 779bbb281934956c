// Owns the diagnostic lines that runtime threads write to standard error. They go through a writer thread of
// their own, so that a standard error that stops draining (a full pipe nobody reads) never blocks a runtime
// worker, nor anyone who waits for one, nor the interpreter.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace kestro::rt::diag {

// Set false by the owner of the lines it was given to: its lines that are still queued are then dropped.
using Wanted = std::shared_ptr<const std::atomic<bool>>;

// Queues `line` (ending in its newline) for standard error. A full queue drops the line and counts it; the
// count is reported once the writer catches up.
void emit(std::string line, Wanted wanted = nullptr);

// Writes `text` to standard error at once, on this thread. Straight to the descriptor, never through stdio:
// a write blocked on a full pipe would hold the stream's lock, and the interpreter flushes that stream on
// its way out, so the process could never end.
void write_now(const std::string& text);

// Waits until the queued lines are written, or `limit` has passed. True when nothing was left.
bool flush(std::chrono::milliseconds limit);

// For the fork handler in the child, while it is the only thread.
void forget_in_forked_child() noexcept;

// Lines queued and not yet taken by the writer (for tests).
std::size_t queued();

// Test hook: while true, the writer takes no line, as if standard error had stopped draining.
void hold_writer_for_tests(bool hold);

}  // namespace kestro::rt::diag
