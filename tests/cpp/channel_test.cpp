// Unit tests of the unbounded channel: order, closing from either end, timeouts, and cancellation without
// loss.
#include "runtime/channel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

using namespace std::chrono_literals;
using kestro::rt::make_channel;
using kestro::rt::RecvError;
using kestro::rt::Runtime;
using kestro::rt::TryRecvError;

TEST(Channel, KeepsOrderAndDrainsAfterLastSenderGoes) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.send(i));
  { auto drop = std::move(tx); }
  for (int i = 0; i < 100; ++i) {
    auto v = rx.try_receive();
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, i);
  }
  EXPECT_EQ(rx.try_receive().error(), TryRecvError::Closed);
  auto r = Runtime::get().block_on(rx.receive());
  EXPECT_EQ(r.error(), RecvError::Closed);
}

TEST(Channel, EmptyIsNotClosed) {
  auto [tx, rx] = make_channel<int>();
  EXPECT_EQ(rx.try_receive().error(), TryRecvError::Empty);
}

TEST(Channel, SendFailsOnceEveryReceiverIsGone) {
  auto [tx, rx] = make_channel<int>();
  auto rx2 = rx;
  { auto drop = std::move(rx); }
  EXPECT_FALSE(tx.is_closed());
  EXPECT_TRUE(tx.send(1));
  { auto drop = std::move(rx2); }
  EXPECT_TRUE(tx.is_closed());
  EXPECT_FALSE(tx.send(2));
}

TEST(Channel, WaitingReceiverWakesOnSendFromAnotherThread) {
  auto [tx, rx] = make_channel<int>();
  std::thread sender([tx = tx] {
    std::this_thread::sleep_for(20ms);
    tx.send(7);
  });
  auto r = Runtime::get().block_on(rx.receive());
  sender.join();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, 7);
}

TEST(Channel, WaitingReceiverSeesCloseWhenLastSenderGoes) {
  auto [tx, rx] = make_channel<int>();
  std::thread closer([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    auto drop = std::move(tx);
  });
  auto r = Runtime::get().block_on(rx.receive());
  closer.join();
  EXPECT_EQ(r.error(), RecvError::Closed);
}

TEST(Channel, ReceiveForTimesOutAndThenStillReceives) {
  auto [tx, rx] = make_channel<int>();
  const auto start = std::chrono::steady_clock::now();
  auto r = Runtime::get().block_on(rx.receive_for(30ms));
  EXPECT_EQ(r.error(), RecvError::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  tx.send(5);
  auto again = Runtime::get().block_on(rx.receive_for(1s));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, 5);
}

// Racing receives against a timer under heavy sending: every message sent is received exactly once.
TEST(Channel, SelectNeverLosesAMessage) {
  auto [tx, rx] = make_channel<int>();
  constexpr int kCount = 20000;
  std::thread producer([tx = tx] {
    for (int i = 0; i < kCount; ++i) {
      tx.send(i);
      if (i % 64 == 0) std::this_thread::yield();
    }
  });
  auto receiver = [](kestro::rt::Receiver<int> rx) -> asio::awaitable<int> {
    int expected = 0;
    while (expected < kCount) {
      auto r =
          co_await kestro::rt::select(rx.receive(), kestro::rt::sleep_for(std::chrono::microseconds(50)));
      if (r.first && r.first->has_value()) {
        if (**r.first != expected) co_return -1;
        ++expected;
      }
    }
    co_return expected;
  };
  int got = 0;
  try {
    got = Runtime::get().block_on(receiver(rx));
  } catch (const std::exception& e) {
    ADD_FAILURE() << "receiver failed: " << e.what();
  }
  producer.join();
  EXPECT_EQ(got, kCount);
  EXPECT_EQ(rx.try_receive().error(), TryRecvError::Empty);
}

std::optional<kestro::rt::Sender<int>> g_late_sender;

TEST(Channel, BlockedThreadGetsAValueSentAsItsTimeRanOutAndWakesOnClose) {
  // The value is handed to the waiter after its deadline passed but before it withdrew: it must come back
  // as the result, not be dropped with a timeout.
  auto [tx, rx] = make_channel<int>();
  g_late_sender.emplace(tx);
  kestro::rt::testing::before_blocked_receive_withdraws = [] { ASSERT_TRUE(g_late_sender->send(42)); };
  auto got = rx.receive_blocking(std::chrono::steady_clock::now());
  kestro::rt::testing::before_blocked_receive_withdraws = nullptr;
  g_late_sender.reset();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 42);
  EXPECT_EQ(rx.try_receive().error(), TryRecvError::Empty);

  std::thread closer([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    auto drop = std::move(tx);
  });
  EXPECT_EQ(rx.receive_blocking(std::nullopt).error(), RecvError::Closed);
  closer.join();
}
