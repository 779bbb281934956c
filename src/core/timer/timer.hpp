// Owns periodic timers: the period of a frequency, the normal loop (a runtime task that calls Python on the
// blocking pool) and the precision loop (a dedicated thread that sleeps, then spins, to each deadline), and
// starting one timer with its registry entry.
//
// Both loops keep deadlines on an absolute grid and call the function only between checks of `running` and
// of the registry's shutdown flag; a call in progress is never interrupted and calls of one timer never
// overlap.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/fork.hpp"
#include "core/manager/registry.hpp"

namespace kestro::core {

enum class TimerPrecision : std::uint8_t { Normal = 0, High = 1, Realtime = 2 };

const char* precision_text(TimerPrecision p) noexcept;         // "normal", "high", "realtime"
const char* precision_thread_text(TimerPrecision p) noexcept;  // "Normal", "High", "Realtime"

// 1 / hz rounded to whole nanoseconds (ties to even); nullopt when that is no usable period (zero, or beyond
// what a duration holds).
std::optional<std::chrono::nanoseconds> period_of(double frequency_hz) noexcept;

// The first grid point strictly after `now`, for a deadline that has passed.
std::chrono::steady_clock::time_point skip_missed(std::chrono::steady_clock::time_point deadline,
                                                  std::chrono::steady_clock::time_point now,
                                                  std::chrono::nanoseconds period);

// Sleeps until `spin_threshold` before `deadline`, then busy-waits for it; returns the instant reached.
std::chrono::steady_clock::time_point precision_sleep_until_sync(
    std::chrono::steady_clock::time_point deadline, std::chrono::nanoseconds spin_threshold);

// The dedicated thread of a precision timer; detached when the last holder lets go.
struct ThreadSlot {
  std::mutex mu;
  std::optional<std::thread> thread;
  std::uint64_t generation = process_generation();
  ~ThreadSlot() {
    if (!thread || !thread->joinable()) return;
    if (generation == process_generation()) {
      thread->detach();
    } else {
      // A forked child's copy of its parent's thread: there is no such thread here to detach (glibc has
      // reclaimed its descriptor), and a joinable std::thread may not be destroyed. Left as it is.
      static_cast<void>(new std::thread(std::move(*thread)));
    }
  }
};

struct StartedTimer {
  std::uint64_t id;
  RunningFlag running;
  std::shared_ptr<std::atomic<std::uint64_t>> tick_count;
  std::chrono::steady_clock::time_point start_time;
  HandleSlot handle;
  std::shared_ptr<ThreadSlot> thread_handle;
};

// Starts `func(*args)` every period, each call inside `context` (a contextvars context of the timer's own),
// and registers the timer. The caller holds the interpreter lock.
// Throws std::runtime_error ("Failed to spawn timer thread: ...") when the thread cannot be started.
StartedTimer start_timer(PyObject* func, PyObject* args, PyObject* context,
                         std::chrono::nanoseconds period, TimerPrecision precision);

}  // namespace kestro::core
