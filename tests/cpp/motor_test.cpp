// Unit tests of the broadcast group on an assembled CAN device: what is queued, how feedback is routed, the
// routing's lines, and the queueing failures that Python cannot reach while a device lives.
#include "instance/motor/mod.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "runtime/runtime.hpp"

namespace rt = kestro::rt;
using kestro::comm::CanDeviceAsync;
using kestro::comm::CanMessage;
using kestro::comm::IncomingReceiver;
using kestro::motor::Device;
using kestro::motor::FocMode;
using kestro::motor::Motor;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A device whose background task is the test: it reads what was queued and injects what arrives.
struct Wire {
  rt::Sender<CanMessage> to_host;      // frames "received" from the bus
  rt::Receiver<CanMessage> from_host;  // frames queued for sending
  std::shared_ptr<const CanDeviceAsync> can;

  static Wire make() {
    auto [out_tx, out_rx] = rt::make_channel<CanMessage>();
    auto [in_tx, in_rx] = rt::make_channel<CanMessage>();
    auto can = std::make_shared<const CanDeviceAsync>(
        "vcan0", out_tx, std::make_shared<IncomingReceiver>(in_rx), CanDeviceAsync::Tasks{});
    return Wire{in_tx, out_rx, can};
  }

  // What the device's reader does with a frame it read.
  void arrive(CanMessage msg) { can->tap()->deliver(std::move(msg), to_host); }

  std::vector<CanMessage> queued() {
    std::vector<CanMessage> out;
    while (auto m = from_host.try_receive()) out.push_back(std::move(*m));
    return out;
  }
};

template <class F>
bool eventually(F&& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace

TEST(Motor, AddDeviceQueuesEntryModeAndEndOnTheHostId) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x100);
  auto added = group.add_device(0, 0x201, FocMode::Speed);
  ASSERT_TRUE(added);
  auto frames = wire.queued();
  ASSERT_EQ(frames.size(), 4u);
  const Bytes expected[] = {{0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54},
                            {0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53},
                            {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x11, 0xCA},
                            {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frames[i].id, 0x100u);
    EXPECT_EQ(frames[i].data, expected[i]) << "frame " << i;
  }
  EXPECT_EQ(group.device_count(), 1u);
  EXPECT_EQ((*added)->slot_index(), 0);
}

TEST(Motor, BroadcastPacksSlotsAndTheFirstDeviceOfASlotIsTheOneAddressed) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x100);
  ASSERT_TRUE(group.broadcast());
  EXPECT_EQ(wire.queued().at(0).data, Bytes(8, 0));

  auto a = *group.add_device(1, 0x201, FocMode::Speed);
  auto b = *group.add_device(1, 0x202, FocMode::Speed);
  auto far = *group.add_device(9, 0x203, FocMode::Current);  // sits in slot 3
  EXPECT_EQ(far->slot_index(), 3);
  wire.queued();
  a->set_target(1.0f);
  b->set_target(2.0f);
  far->set_target(-400.0f);
  ASSERT_TRUE(group.broadcast());
  // The later device of slot 1 wins the frame; slot 3 saturates.
  EXPECT_EQ(wire.queued().at(0).data, (Bytes{0, 0, 20, 0, 0, 0, 0x00, 0x80}));

  group.set_target(1, 5.0f);
  EXPECT_EQ(a->get_target(), 5.0f);
  EXPECT_EQ(b->get_target(), 2.0f);
  group.set_target(2, 1.0f);  // empty slot: ignored
  group.set_target(9, 1.0f);  // never matches: stored slots are at most 3
  EXPECT_EQ(far->get_target(), -400.0f);
  EXPECT_FALSE(group.get_watch_data(2));
  EXPECT_FALSE(group.get_watch_data(9));
  EXPECT_TRUE(group.get_watch_data(3));
}

TEST(Motor, BroadcastCommandsUseDestFFFF) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x7FF);
  ASSERT_TRUE(group.enter_configure_broadcast());
  ASSERT_TRUE(group.set_foc_mode_broadcast(FocMode::Position));
  ASSERT_TRUE(group.exit_configure_broadcast());
  auto frames = wire.queued();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].data, (Bytes{0x44, 0x52, 0x31, 0x73, 0xFF, 0xFF, 0x03, 0x57}));
  EXPECT_EQ(frames[1].data, (Bytes{0x44, 0x52, 0x31, 0x74, 0xFF, 0xFF, 0x03, 0x50}));
  EXPECT_EQ(frames[2].data, (Bytes{0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x12, 0xCA}));
  EXPECT_EQ(frames[3].data, (Bytes{0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x00, 0xD8}));
  for (const auto& f : frames) EXPECT_EQ(f.id, 0x7FFu);
}

TEST(Motor, CalibrationWaitsAfterAQueuedFrame) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x100);
  auto dev = *group.add_device(0, 0x201, FocMode::Current);
  wire.queued();
  for (int which = 0; which < 2; ++which) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(which == 0 ? group.calibrate_broadcast() : dev->start_calibration());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    const std::uint8_t dest_lo = which == 0 ? 0xFF : 0x01;
    const std::uint8_t dest_hi = which == 0 ? 0xFF : 0x02;
    const std::uint8_t check = which == 0 ? 0xD9 : 0xDA;
    EXPECT_EQ(wire.queued().at(0).data, (Bytes{0x44, 0x52, 0x31, 0xFF, dest_lo, dest_hi, 0x01, check}));
  }
}

TEST(Motor, QueueingFailuresReportChannelClosedRegisterNothingAndDoNotSleep) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x100);
  auto dev = *group.add_device(0, 0x201, FocMode::Speed);
  { auto writer_gone = std::move(wire.from_host); }

  auto added = group.add_device(1, 0x202, FocMode::Speed);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().message, "channel closed");
  EXPECT_EQ(group.device_count(), 1u);

  for (auto result : {group.broadcast(), group.enter_configure_broadcast(), group.exit_configure_broadcast(),
                      group.set_foc_mode_broadcast(FocMode::Speed), dev->enter_configure(),
                      dev->exit_configure(), dev->set_foc_mode(FocMode::Current)}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "channel closed");
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(group.calibrate_broadcast());
  EXPECT_FALSE(dev->start_calibration());
  // No pause after a failed queue: far below the 2 × 200 ms that two pauses would take.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST(Motor, FeedbackIsRoutedByTheFullIdentifier) {
  Wire wire = Wire::make();
  Motor group(wire.can, 0x100);
  auto low = *group.add_device(0, 0x201, FocMode::Speed);
  auto high = *group.add_device(1, 0x10201, FocMode::Speed);
  // Both share a dest, so both got the same configuration frames.
  auto frames = wire.queued();
  ASSERT_EQ(frames.size(), 8u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(frames[i].data, frames[i + 4].data);

  wire.arrive(CanMessage{0x10201, {0x00, 0x00, 0x80, 0x3F, 0x64, 0x00, 0x9C, 0xFF}});
  ASSERT_TRUE(eventually([&] { return high->get_watch_data_blocking().position == 1.0f; }));
  auto got = high->get_watch_data_blocking();
  EXPECT_EQ(got.speed, 10.0f);
  EXPECT_EQ(got.current, -1.0f);
  EXPECT_EQ(low->get_watch_data_blocking().position, 0.0f);
  auto via_group = group.get_watch_data(1);
  ASSERT_TRUE(via_group);
  EXPECT_EQ(via_group->speed, 10.0f);
}

TEST(Motor, RoutingReportsOddFramesAndFallsSilentWithItsGroup) {
  Wire wire = Wire::make();
  auto group = std::make_unique<Motor>(wire.can, 0x100);
  auto dev = *group->add_device(0, 0x201, FocMode::Speed);

  testing::internal::CaptureStderr();
  wire.arrive(CanMessage{0x1ABCDEF, {1, 2, 3, 4, 5, 6}});
  wire.arrive(CanMessage{0x301, {1, 2, 3, 4, 5, 6, 7, 8}});
  wire.arrive(CanMessage{0x201, {0, 0, 0, 0, 0x0A, 0, 0, 0}});
  ASSERT_TRUE(eventually([&] { return dev->get_watch_data_blocking().speed == 1.0f; }));
  group.reset();
  wire.arrive(CanMessage{0x301, {1, 2, 3, 4, 5, 6, 7, 8}});
  wire.arrive(CanMessage{0x201, {1, 2}});
  wire.arrive(CanMessage{0x201, {0, 0, 0, 0, 0x14, 0, 0, 0}});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Warning: ignoring CAN frame 0x1ABCDEF with unexpected length 6\n"
            "[Motor] unmatched feedback frame: id=0x301, data=[1, 2, 3, 4, 5, 6, 7, 8]\n");
  // Frames that nobody will take are dropped, not queued for as long as the device lives.
  EXPECT_FALSE(wire.can->try_receive());
  // The device outlives its group and keeps the last feedback routed before it went.
  EXPECT_EQ(dev->get_watch_data_blocking().speed, 1.0f);
  EXPECT_TRUE(dev->exit_configure());
}
