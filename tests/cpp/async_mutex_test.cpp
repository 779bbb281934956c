// Unit tests of the async mutex: the synchronous fast path, exclusion under contention, and hand-off order.
#include "runtime/async_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using kestro::rt::AsyncMutex;
using kestro::rt::AsyncMutexGuard;
using kestro::rt::Runtime;

TEST(AsyncMutex, TryLockFailsWhileHeld) {
  auto m = std::make_shared<AsyncMutex>();
  ASSERT_TRUE(m->try_lock());
  EXPECT_FALSE(m->try_lock());
  m->unlock();
  EXPECT_TRUE(m->try_lock());
  m->unlock();
  EXPECT_FALSE(m->is_locked());
}

TEST(AsyncMutex, ExcludesAcrossTasksAndThreads) {
  auto m = std::make_shared<AsyncMutex>();
  int counter = 0;  // guarded by m only
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  auto task = [&](int rounds) -> asio::awaitable<void> {
    for (int i = 0; i < rounds; ++i) {
      co_await m->async_lock();
      AsyncMutexGuard guard(m);
      if (inside.fetch_add(1) != 0) overlap = true;
      ++counter;
      if (i % 16 == 0) co_await kestro::rt::sleep_for(std::chrono::microseconds(10));
      inside.fetch_sub(1);
    }
  };
  std::vector<kestro::rt::JoinHandle<void>> handles;
  for (int t = 0; t < 8; ++t) handles.push_back(Runtime::get().spawn(task(500)));
  // Synchronous users take the same lock through the fast path or by blocking.
  std::thread sync_user([&] {
    for (int i = 0; i < 500; ++i) {
      auto guard = kestro::rt::lock_blocking(m);
      if (inside.fetch_add(1) != 0) overlap = true;
      ++counter;
      inside.fetch_sub(1);
    }
  });
  for (auto& h : handles) ASSERT_TRUE(h.wait().has_value());
  sync_user.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, 9 * 500);
}

TEST(AsyncMutex, WaitersAreServedInArrivalOrder) {
  auto m = std::make_shared<AsyncMutex>();
  ASSERT_TRUE(m->try_lock());
  std::mutex order_mu;
  std::vector<int> order;
  std::vector<kestro::rt::JoinHandle<void>> handles;
  for (int i = 0; i < 5; ++i) {
    handles.push_back(Runtime::get().spawn([](std::shared_ptr<AsyncMutex> m, int i, std::mutex& mu,
                                              std::vector<int>& order) -> asio::awaitable<void> {
      co_await m->async_lock();
      AsyncMutexGuard guard(m);
      std::lock_guard lock(mu);
      order.push_back(i);
    }(m, i, order_mu, order)));
    // Let each waiter queue up before the next one starts.
    std::this_thread::sleep_for(10ms);
  }
  m->unlock();
  for (auto& h : handles) ASSERT_TRUE(h.wait().has_value());
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(AsyncMutex, AbortedWaiterLeavesTheQueue) {
  auto m = std::make_shared<AsyncMutex>();
  ASSERT_TRUE(m->try_lock());
  auto waiter = Runtime::get().spawn([](std::shared_ptr<AsyncMutex> m) -> asio::awaitable<void> {
    co_await m->async_lock();
    m->unlock();
  }(m));
  std::this_thread::sleep_for(20ms);
  waiter.abort();
  auto outcome = waiter.wait();
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), kestro::rt::kTaskAborted);
  m->unlock();
  // The aborted waiter did not take ownership on its way out.
  EXPECT_TRUE(m->try_lock());
  m->unlock();
}
