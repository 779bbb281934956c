// Unit tests of the async mutex: the synchronous fast path, exclusion under contention, and hand-off order.
#include "runtime/async_mutex.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
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

namespace {

// Stands in for the interpreter lock in the test below.
std::mutex g_big_lock;
thread_local bool t_holds_big_lock = false;

void* release_big_lock() {
  if (!t_holds_big_lock) return nullptr;
  t_holds_big_lock = false;
  g_big_lock.unlock();
  return &g_big_lock;
}

void reacquire_big_lock(void*) {
  g_big_lock.lock();
  t_holds_big_lock = true;
}

}  // namespace

// The freeze of a fetch that holds the interpreter lock: the lock it waits for was handed to a task that
// still has to be resumed, and every worker is blocked waiting for the interpreter lock. The wait must let go
// of it.
TEST(AsyncMutex, SynchronousWaitLetsGoOfTheBigLockThatBusyWorkersWaitFor) {
  auto m = std::make_shared<AsyncMutex>();
  ASSERT_TRUE(m->try_lock());
  std::atomic<bool> task_had_it{false};
  auto waiting_task = Runtime::get().spawn(
      [](std::shared_ptr<AsyncMutex> m, std::atomic<bool>& had) -> asio::awaitable<void> {
        co_await m->async_lock();
        AsyncMutexGuard guard(m);
        had = true;
      }(m, task_had_it));
  std::this_thread::sleep_for(50ms);  // the task is queued on m

  kestro::rt::set_blocking_hooks({release_big_lock, reacquire_big_lock});
  std::atomic<unsigned> blocked{0};
  std::vector<kestro::rt::JoinHandle<void>> busy;
  std::promise<bool> outcome;
  // The caller that holds the big lock, as a Python thread holds the interpreter.
  std::thread caller([&] {
    g_big_lock.lock();
    t_holds_big_lock = true;
    const unsigned workers = Runtime::get().worker_count();
    for (unsigned i = 0; i < workers; ++i) {
      busy.push_back(Runtime::get().spawn_fn([&] {
        ++blocked;
        std::lock_guard lock(g_big_lock);
      }));
    }
    while (blocked.load() < workers) std::this_thread::yield();
    m->unlock();  // handed to the task, which no worker is free to resume
    AsyncMutexGuard guard = kestro::rt::lock_blocking(m);
    const bool ok = task_had_it.load() && t_holds_big_lock;
    t_holds_big_lock = false;
    g_big_lock.unlock();
    outcome.set_value(ok);
  });
  auto result = outcome.get_future();
  if (result.wait_for(20s) != std::future_status::ready) {
    caller.detach();  // frozen: nothing can end it
    FAIL() << "the synchronous wait froze";
  }
  caller.join();
  kestro::rt::set_blocking_hooks({});
  EXPECT_TRUE(result.get());
  ASSERT_TRUE(waiting_task.wait().has_value());
  for (auto& h : busy) ASSERT_TRUE(h.wait().has_value());
}

TEST(AsyncMutex, ForkedChildRefusesLocksThatAThreadOfItsParentHeld) {
  Runtime::get();  // started: a child forked from here on has lost its threads
  auto m = std::make_shared<AsyncMutex>();
  std::mutex plain;  // as a motor group's device list, which its receive task takes
  std::promise<void> held;
  std::promise<void> release;
  std::thread holder([&] {
    AsyncMutexGuard guard = kestro::rt::lock_blocking(m);
    std::lock_guard plain_guard(plain);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // What the module's fork handler does in the child; the alarm ends a child that waits for good.
    Runtime::forget_in_forked_child();
    ::alarm(10);
    int refused = 0;
    try {
      AsyncMutexGuard guard = kestro::rt::lock_blocking(m);
    } catch (const kestro::rt::RuntimeLostInFork&) {
      refused |= 1;
    }
    try {
      auto lock = kestro::rt::lock_or_refuse_in_fork(plain);
    } catch (const kestro::rt::RuntimeLostInFork&) {
      refused |= 2;
    }
    ::_exit(refused);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  release.set_value();
  holder.join();
  ASSERT_TRUE(WIFEXITED(status)) << "the child waited for a lock that nobody in it will release";
  EXPECT_EQ(WEXITSTATUS(status), 3);
}
