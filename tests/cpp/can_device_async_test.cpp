// Unit tests of the non-blocking device's channel side, which Python cannot reach while a device lives.
#include "comm/can/can_device_async.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "comm/can/pending_frames.hpp"
#include "runtime/exit_flush.hpp"
#include "runtime/runtime.hpp"

using kestro::comm::CanDeviceAsync;
using kestro::comm::CanMessage;
using kestro::comm::IncomingReceiver;
namespace rt = kestro::rt;

TEST(CanDeviceAsync, SendFailsWithChannelClosedOnceTheTaskIsGone) {
  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  CanDeviceAsync dev("vcan0", out_tx, std::make_shared<IncomingReceiver>(in_rx), {});
  const std::uint8_t payload[] = {1, 2, 3};
  ASSERT_TRUE(dev.send_nonblocking(0x10, payload));
  EXPECT_EQ(out_rx.try_receive()->data.size(), 3u);
  { auto gone = std::move(out_rx); }  // the task's receiving end goes
  auto failed = dev.send_nonblocking(0x10, payload);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "channel closed");
  EXPECT_EQ(failed.error().kind, kestro::comm::IoErrorKind::BrokenPipe);
}

TEST(CanDeviceAsync, ReceivesKeepOrderAndEndWithNothingOnceClosed) {
  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  CanDeviceAsync dev("vcan0", out_tx, std::make_shared<IncomingReceiver>(in_rx), {});
  for (std::uint32_t i = 0; i < 5; ++i) in_tx.send(CanMessage{i, {}});
  EXPECT_EQ(dev.receive_timeout(0)->id, 0u);
  EXPECT_EQ(dev.try_receive()->id, 1u);
  EXPECT_EQ(dev.receive_timeout(1000)->id, 2u);
  EXPECT_EQ(dev.try_receive()->id, 3u);
  EXPECT_EQ(dev.receive_timeout(UINT64_MAX)->id, 4u);
  EXPECT_FALSE(dev.try_receive());
  EXPECT_FALSE(dev.receive_timeout(0));
  EXPECT_FALSE(dev.receive_timeout(10));
  { auto gone = std::move(in_tx); }
  EXPECT_FALSE(dev.try_receive());
  // Closed: even a wait without deadline returns at once.
  EXPECT_FALSE(dev.receive_timeout(UINT64_MAX));
}

TEST(CanDeviceAsync, ReceiveWaitsForTheMutexBeforeItsDeadlineStarts) {
  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  auto incoming = std::make_shared<IncomingReceiver>(in_rx);
  CanDeviceAsync dev("vcan0", out_tx, incoming, {});
  ASSERT_TRUE(incoming->mutex()->try_lock());
  std::thread holder([&, tx = in_tx] {
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    tx.send(CanMessage{9, {}});
    incoming->mutex()->unlock();
  });
  const auto start = std::chrono::steady_clock::now();
  auto got = dev.receive_timeout(20);  // 20 ms limit, but only from when the mutex is free
  holder.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 9u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
}

TEST(PendingFrames, ExitWaitsOnlyForCountersThatAreHeldAndAboveZero) {
  using kestro::comm::wait_for_pending_frames;
  using kestro::comm::watched_pending_count;
  EXPECT_TRUE(wait_for_pending_frames(std::chrono::milliseconds(0)));
  auto count = watched_pending_count();
  count->store(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait_for_pending_frames(std::chrono::milliseconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  // The wait is registered for the interpreter's exit, which knows nothing of CAN.
  EXPECT_FALSE(kestro::rt::run_exit_flushes(std::chrono::milliseconds(30)));
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    count->store(0);
  });
  EXPECT_TRUE(wait_for_pending_frames(std::chrono::seconds(60)));
  writer.join();
  count->store(5);
  count.reset();  // a writer that is gone holds nothing up
  EXPECT_TRUE(wait_for_pending_frames(std::chrono::milliseconds(0)));
}

TEST(PendingFrames, CountersOfDroppedDevicesDoNotPileUpUntilExit) {
  using kestro::comm::watched_counter_slots;
  using kestro::comm::watched_pending_count;
  auto kept = watched_pending_count();
  const auto before = watched_counter_slots();
  for (int i = 0; i < 1000; ++i) watched_pending_count();  // each one dropped at once
  EXPECT_LE(watched_counter_slots(), before + 1);
}

TEST(CanDeviceAsync, ForkedChildStopsRoutingWithoutWaitingForTheParentsHandler) {
  rt::Runtime::get();  // started: a child forked from here on has lost its threads
  auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
  auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
  const CanDeviceAsync dev("vcan0", out_tx, std::make_shared<IncomingReceiver>(in_rx), {});
  std::promise<void> inside;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  dev.route_incoming([&](const CanMessage&) {
    inside.set_value();
    released.wait();
  });
  // The reader is inside the handler when the process forks.
  std::thread reader([&, tx = in_tx] { dev.tap()->deliver(CanMessage{0x201, {}}, tx); });
  inside.get_future().wait();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // What the module's fork handler does in the child; the alarm ends a child that waits for good.
    rt::Runtime::forget_in_forked_child();
    ::alarm(10);
    dev.discard_incoming();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  release.set_value();
  reader.join();
  dev.discard_incoming();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the child waited for a handler of its parent's reader, which no thread in it will finish";
}
