// Owns the timer loops and starting a timer.
#include "core/timer/timer.hpp"

#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/gate.hpp"
#include "lib/py_ref.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace kestro::core {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kNormalLateness = 5ms;

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#endif
}

enum class CallOutcome {
  Called,
  Exiting,  // the interpreter is exiting: the loop ends
  Broken,   // the call's error could not even be reported: the timer stops
};

// One call of the function through the gate. Whatever happens, the interpreter lock is released again.
// An error line is only built under the lock and written after it: standard error may be a pipe that
// nobody drains, and a thread blocked writing to it must not hold up every Python thread. With `due` in the
// future, Python is entered first and the call made at `due`, never before.
CallOutcome call_once(PyObject* func, PyObject* args, PyObject* context, Clock::time_point due = {}) {
  auto gil = gate::enter();
  if (!gil) return CallOutcome::Exiting;
  while (Clock::now() < due) spin_hint();
  CallOutcome outcome = CallOutcome::Called;
  std::string line;
  PyObject* result = gate::call_in_context(func, args, context);
  if (result) {
    Py_DECREF(result);
  } else {
    try {
      line = "Timer function error: " + gate::describe_raised_exception() + "\n";
    } catch (const std::exception& e) {
      PyErr_Clear();
      outcome = CallOutcome::Broken;
      try {
        line = std::string("Timer function error: (could not be described: ") + e.what() +
               "); the timer stops\n";
      } catch (const std::bad_alloc&) {
        // Out of memory even for the line: the timer stops unreported rather than leave the lock held.
      }
    }
  }
  gate::leave(*gil);
  if (!line.empty()) rt::diag::emit(std::move(line));
  return outcome;
}

// How long before a deadline the normal loop hands its call to the blocking pool. The pool thread then
// sleeps to the deadline itself, so the call starts after one wake-up (that thread's own, as in a Python
// thread loop) rather than after the runtime's timer wake-up followed by a hand-off to a pool thread.
constexpr auto kHandOffLead = 2ms;

// Sleeps to an absolute instant on the steady clock, with no timer slack added to the wake-up.
void sleep_to(Clock::time_point deadline) {
  thread_local bool slack_cleared = false;
  if (!slack_cleared) {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    slack_cleared = true;
  }
  const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
  timespec ts{static_cast<time_t>(since_epoch.count() / 1'000'000'000),
              static_cast<long>(since_epoch.count() % 1'000'000'000)};
  // steady_clock is CLOCK_MONOTONIC; a signal ends the sleep early, so sleep again.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// What a pool job of the normal loop reports back: when it took its tick, and how its call went.
struct NormalTick {
  Clock::time_point taken;
  std::optional<CallOutcome> outcome;  // none: the registry asked to stop, nothing was called
};

asio::awaitable<void> normal_loop(std::chrono::nanoseconds period, RunningFlag running,
                                  std::shared_ptr<std::atomic<std::uint64_t>> ticks, py::AnyThreadRef func,
                                  py::AnyThreadRef args, py::AnyThreadRef context) {
  auto& runtime = rt::Runtime::get();
  Clock::time_point deadline = Clock::now();  // the first tick completes at once
  for (;;) {
    if (!running->load(std::memory_order_acquire)) break;
    if (Clock::now() < deadline - kHandOffLead) co_await rt::sleep_until(deadline - kHandOffLead);
    PyObject* f = func.get();
    PyObject* a = args.get();
    PyObject* c = context.get();
    std::optional<rt::JoinHandle<NormalTick>> job;
    try {
      job.emplace(runtime.spawn_blocking([f, a, c, deadline] {
        sleep_to(deadline);
        NormalTick tick{Clock::now(), std::nullopt};
        if (!task_manager().shutdown_requested()) tick.outcome = call_once(f, a, c);
        return tick;
      }));
    } catch (const std::system_error& e) {
      rt::diag::emit(std::string("[kestro] Timer stopped: cannot start a thread for its call: ") + e.what() +
                     "\n");
      running->store(false, std::memory_order_release);
      break;
    }
    auto tick = co_await job->join();
    // An internal fault of the job is discarded: the tick counts and the grid goes on.
    const Clock::time_point taken = tick ? tick->taken : Clock::now();
    if (tick && !tick->outcome) {
      running->store(false, std::memory_order_release);
      break;
    }
    if (tick && *tick->outcome == CallOutcome::Exiting) break;
    if (tick && *tick->outcome == CallOutcome::Broken) {
      running->store(false, std::memory_order_release);
      break;
    }
    deadline = taken - deadline > kNormalLateness ? skip_missed(deadline, taken, period) : deadline + period;
    ticks->fetch_add(1, std::memory_order_relaxed);
  }
  // A coroutine frame never enters Python: the function and its arguments go on a pool thread that does.
  try {
    runtime.spawn_blocking(
        [func = std::move(func), args = std::move(args), context = std::move(context)]() mutable {
          gate::release({&func, &args, &context});
        });
  } catch (const std::system_error&) {
    // No thread for it: they are parked for the next entry instead.
  }
}

// How long before its deadline the precision loop enters Python, at most: the call then starts the moment the
// deadline passes. Entering after it put the entry (the interpreter lock, the thread state) between the
// deadline and the call, and a virtual machine's periodic interrupts landing in that window made one call in
// a hundred about 10 us late in many runs. The lock is held that much longer per call, so the lead is kept
// within 1 % of the period.
constexpr auto kEnterLead = 10us;

void precision_loop(std::chrono::nanoseconds period, std::chrono::nanoseconds spin_threshold,
                    RunningFlag running, std::shared_ptr<std::atomic<std::uint64_t>> ticks,
                    py::AnyThreadRef func, py::AnyThreadRef args, py::AnyThreadRef context) {
  const auto enter_lead = std::min<std::chrono::nanoseconds>(kEnterLead, period / 100);
  Clock::time_point next = Clock::now() + period;
  Clock::time_point due{};  // the first call is made at once
  for (;;) {
    if (!running->load(std::memory_order_acquire)) break;
    if (task_manager().shutdown_requested()) {
      running->store(false, std::memory_order_release);
      break;
    }
    const CallOutcome outcome = call_once(func.get(), args.get(), context.get(), due);
    if (outcome == CallOutcome::Exiting) break;
    if (outcome == CallOutcome::Broken) {
      running->store(false, std::memory_order_release);
      break;
    }
    ticks->fetch_add(1, std::memory_order_relaxed);
    precision_sleep_until_sync(next - enter_lead, spin_threshold);
    due = next;
    next += period;
    const auto now = Clock::now();
    if (now > next) next = skip_missed(next, now, period);
  }
  gate::release({&func, &args, &context});
}

}  // namespace

const char* precision_text(TimerPrecision p) noexcept {
  switch (p) {
    case TimerPrecision::Normal:
      return "normal";
    case TimerPrecision::High:
      return "high";
    case TimerPrecision::Realtime:
      return "realtime";
  }
  return "normal";
}

const char* precision_thread_text(TimerPrecision p) noexcept {
  switch (p) {
    case TimerPrecision::Normal:
      return "Normal";
    case TimerPrecision::High:
      return "High";
    case TimerPrecision::Realtime:
      return "Realtime";
  }
  return "Normal";
}

std::optional<std::chrono::nanoseconds> period_of(double frequency_hz) noexcept {
  // Seconds as a float first, then whole nanoseconds, rounded to nearest with ties to even. Rounded once:
  // the product in floating point would round first, and a product that lands on .5 then goes the wrong
  // way (5120 Hz is 195312.50000000001 ns, not 195312.5).
  const double secs = 1.0 / frequency_hz;
  const double product = secs * 1e9;
  const double product_error = std::fma(secs, 1e9, -product);  // exact: secs * 1e9 - product
  double ns = std::nearbyint(product);
  if (const double halfway = product - ns; halfway == 0.5 && product_error > 0) {
    ns += 1.0;
  } else if (halfway == -0.5 && product_error < 0) {
    ns -= 1.0;
  }
  // Deadlines are instants plus multiples of the period: keep far from the clock's range.
  constexpr double kLongest = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 4);
  if (!(ns >= 1.0) || !(ns < kLongest)) return std::nullopt;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

Clock::time_point skip_missed(Clock::time_point deadline, Clock::time_point now,
                              std::chrono::nanoseconds period) {
  const auto behind = std::chrono::duration_cast<std::chrono::nanoseconds>(now - deadline);
  const auto missed = behind.count() / period.count() + 1;
  return deadline + period * missed;
}

Clock::time_point precision_sleep_until_sync(Clock::time_point deadline,
                                             std::chrono::nanoseconds spin_threshold) {
  auto now = Clock::now();
  if (now >= deadline) return now;
  const auto remaining = deadline - now;
  if (remaining > spin_threshold) std::this_thread::sleep_for(remaining - spin_threshold);
  for (;;) {
    now = Clock::now();
    if (now >= deadline) return now;
    spin_hint();
  }
}

StartedTimer start_timer(PyObject* func, PyObject* args, PyObject* context,
                         std::chrono::nanoseconds period, TimerPrecision precision) {
  StartedTimer t;
  t.id = next_task_id();
  t.running = std::make_shared<std::atomic<bool>>(true);
  t.tick_count = std::make_shared<std::atomic<std::uint64_t>>(0);
  t.start_time = Clock::now();
  t.handle = std::make_shared<rt::AsyncMutexSlot<std::optional<rt::JoinHandle<void>>>>();
  t.thread_handle = std::make_shared<ThreadSlot>();
  auto f = py::AnyThreadRef::steal(Py_NewRef(func));
  auto a = py::AnyThreadRef::steal(Py_NewRef(args));
  auto c = py::AnyThreadRef::steal(Py_NewRef(context));
  if (precision == TimerPrecision::Normal) {
    auto join = rt::Runtime::get().spawn(
        normal_loop(period, t.running, t.tick_count, std::move(f), std::move(a), std::move(c)));
    // The slot is new: its lock is free, also on a runtime worker.
    auto guard = rt::lock_blocking(t.handle->mutex());
    t.handle->value(guard) = std::move(join);
  } else {
    const auto spin = precision == TimerPrecision::High ? std::chrono::nanoseconds(800'000)
                                                        : std::chrono::nanoseconds(3'000'000);
    std::string name = "timer-" + std::to_string(t.id) + "-" + precision_thread_text(precision);
    std::thread thread;
    try {
      thread = std::thread(precision_loop, period, spin, t.running, t.tick_count, std::move(f), std::move(a),
                           std::move(c));
    } catch (const std::system_error& e) {
      throw std::runtime_error(std::string("Failed to spawn timer thread: ") + e.what());
    }
    // Named here rather than by the thread itself, so that the name is there when the handle is: a program
    // that looks its timer's thread up to give it a real-time priority finds it at once. The system keeps
    // 15 bytes of a thread name.
    ::pthread_setname_np(thread.native_handle(), name.substr(0, 15).c_str());
    std::lock_guard lock(t.thread_handle->mu);
    t.thread_handle->thread = std::move(thread);
  }
  task_manager().register_task(t.id, t.running, t.handle, TaskKind::Timer);
  return t;
}

}  // namespace kestro::core
