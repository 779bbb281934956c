// Unit tests of the shared runtime's bridging patterns: block_on, spawn, faults, abort, the blocking pool and
// the worker hand-off.
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/channel.hpp"
#include "runtime/diagnostics.hpp"
#include "runtime/thread_start.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using kestro::rt::JoinHandle;
using kestro::rt::Runtime;

TEST(Runtime, IsOneInstanceBuiltOnceUnderRace) {
  std::vector<std::thread> threads;
  std::atomic<Runtime*> seen[8];
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = &Runtime::get(); });
  for (auto& t : threads) t.join();
  for (auto& s : seen) EXPECT_EQ(s.load(), &Runtime::get());
  EXPECT_TRUE(Runtime::is_built());
  EXPECT_GE(Runtime::get().worker_count(), 1u);
}

TEST(Runtime, BlockOnReturnsValueAndRethrowsFaults) {
  auto ok = []() -> asio::awaitable<int> { co_return 41 + 1; };
  EXPECT_EQ(Runtime::get().block_on(ok()), 42);
  auto bad = []() -> asio::awaitable<int> {
    throw std::logic_error("broken invariant");
    co_return 0;
  };
  EXPECT_THROW(Runtime::get().block_on(bad()), std::logic_error);
}

TEST(Runtime, SpawnedFaultEndsOnlyThatTask) {
  auto bad = []() -> asio::awaitable<int> {
    throw std::runtime_error("task fault");
    co_return 0;
  };
  auto good = []() -> asio::awaitable<int> {
    co_await kestro::rt::sleep_for(5ms);
    co_return 3;
  };
  JoinHandle<int> b = Runtime::get().spawn(bad());
  JoinHandle<int> g = Runtime::get().spawn(good());
  auto bo = b.wait();
  ASSERT_FALSE(bo.has_value());
  EXPECT_EQ(bo.error(), "task fault");
  EXPECT_EQ(g.wait().value(), 3);
}

TEST(Runtime, DroppedJoinHandleDetachesWithoutCancelling) {
  std::atomic<bool> ran{false};
  {
    auto h = Runtime::get().spawn([](std::atomic<bool>& flag) -> asio::awaitable<void> {
      co_await kestro::rt::sleep_for(20ms);
      flag = true;
    }(ran));
  }
  for (int i = 0; i < 200 && !ran; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(ran.load());
}

TEST(Runtime, AbortStopsASleepingTask) {
  auto h = Runtime::get().spawn([]() -> asio::awaitable<void> { co_await kestro::rt::sleep_for(1h); }());
  std::this_thread::sleep_for(10ms);
  h.abort();
  auto out = h.wait();
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error(), kestro::rt::kTaskAborted);
}

TEST(Runtime, SpawnFnRunsOnAWorkerAndSpawnBlockingDoesNot) {
  auto on_worker = Runtime::get().spawn_fn([] { return Runtime::on_worker(); });
  EXPECT_TRUE(on_worker.wait().value());
  auto on_pool = Runtime::get().spawn_blocking([] { return Runtime::on_worker(); });
  EXPECT_FALSE(on_pool.wait().value());
  auto throws = Runtime::get().spawn_fn([]() -> int { throw std::runtime_error("fn fault"); });
  EXPECT_EQ(throws.wait().error(), "fn fault");
}

TEST(Runtime, BlockingPoolGrowsForConcurrentJobs) {
  constexpr int kJobs = 6;
  std::atomic<int> started{0};
  std::atomic<bool> release{false};
  std::vector<JoinHandle<void>> jobs;
  for (int i = 0; i < kJobs; ++i) {
    jobs.push_back(Runtime::get().spawn_blocking([&] {
      ++started;
      while (!release) std::this_thread::sleep_for(1ms);
    }));
  }
  // All run at once: none waits for another to finish.
  for (int i = 0; i < 2000 && started < kJobs; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(started.load(), kJobs);
  release = true;
  for (auto& j : jobs) EXPECT_TRUE(j.wait().has_value());
  EXPECT_GE(Runtime::get().blocking_thread_count(), static_cast<std::size_t>(kJobs));
}

// Every worker blocks at once waiting for a message that only another runtime task sends: without the
// hand-off no thread would be left to run the sender.
TEST(Runtime, BlockingOnEveryWorkerStillRunsOtherTasks) {
  const unsigned n = Runtime::get().worker_count();
  auto [tx, rx] = kestro::rt::make_channel<int>();
  std::vector<JoinHandle<int>> blockers;
  for (unsigned i = 0; i < n; ++i) {
    blockers.push_back(Runtime::get().spawn_fn([rx = rx] {
      auto r = Runtime::get().block_on(rx.receive());
      return r.has_value() ? *r : -1;
    }));
  }
  std::this_thread::sleep_for(50ms);
  auto sender = Runtime::get().spawn([](kestro::rt::Sender<int> tx, unsigned n) -> asio::awaitable<void> {
    co_await kestro::rt::sleep_for(10ms);
    for (unsigned i = 0; i < n; ++i) tx.send(1);
  }(tx, n));
  ASSERT_TRUE(sender.wait().has_value());
  for (auto& b : blockers) EXPECT_EQ(b.wait().value(), 1);
}

// A helper that cannot start (a thread limit) must not fail the call that lends its place: that call may hold
// the interpreter lock, and a throw there would never give it back. The runtime serves with one worker fewer.
TEST(Runtime, LendingWithoutAHelperStillRunsTheCall) {
  auto& rt = Runtime::get();
  testing::internal::CaptureStderr();
  kestro::rt::fail_thread_starts(kestro::rt::ThreadSite::Helper, 1 << 20);
  std::vector<JoinHandle<int>> calls;
  for (int i = 0; i < 32; ++i) {
    calls.push_back(rt.spawn_fn([&rt, i] {
      return rt.block_in_place([i] {
        std::this_thread::sleep_for(5ms);
        return i;
      });
    }));
  }
  std::vector<int> got;
  for (auto& c : calls) {
    auto r = c.wait();
    got.push_back(r.has_value() ? *r : -1);
  }
  kestro::rt::fail_thread_starts(kestro::rt::ThreadSite::Helper, 0);
  kestro::rt::diag::flush(5s);
  const std::string err = testing::internal::GetCapturedStderr();
  for (int i = 0; i < 32; ++i) EXPECT_EQ(got[i], i);
  EXPECT_NE(err.find("[kestro] cannot start a runtime helper thread, serving with one worker fewer: "),
            std::string::npos);
}

TEST(Time, TimeoutGivesValueOrNothing) {
  auto fast = []() -> asio::awaitable<int> { co_return 1; };
  auto slow = []() -> asio::awaitable<int> {
    co_await kestro::rt::sleep_for(1h);
    co_return 2;
  };
  EXPECT_EQ(Runtime::get().block_on(kestro::rt::timeout(1s, fast())), std::optional<int>(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Runtime::get().block_on(kestro::rt::timeout(20ms, slow())), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(Time, IntervalKeepsAnAbsoluteGrid) {
  auto run = []() -> asio::awaitable<std::vector<kestro::rt::Clock::time_point>> {
    const auto start = kestro::rt::Clock::now();
    kestro::rt::Interval iv(start, 5ms);
    std::vector<kestro::rt::Clock::time_point> due;
    for (int i = 0; i < 4; ++i) due.push_back(co_await iv.tick());
    co_return due;
  };
  auto due = Runtime::get().block_on(run());
  for (std::size_t i = 1; i < due.size(); ++i) EXPECT_EQ(due[i] - due[i - 1], 5ms);
}
