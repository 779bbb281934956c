// Owns the host-side record of one motor driver in a broadcast group: its slot, node id and mode, the target
// of the next broadcast, the latest routed feedback, and the unicast configuration commands to its driver.
//
// A Device is shared: the group's list, every Python object wrapping it and a feedback update in progress
// each hold a reference, and it keeps working after its group is gone (it holds the CAN device itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "comm/can/can_device_async.hpp"
#include "comm/can/io_error.hpp"
#include "comm/protocol/control/dr_v1.hpp"

namespace kestro::motor {

using comm::protocol::FocMode;
using comm::protocol::WatchData;
using CanHandle = std::shared_ptr<const comm::CanDeviceAsync>;

inline constexpr std::uint8_t kMaxSlot = 3;

// How long the firmware is given to find the encoder's electrical zero before the next command.
inline constexpr auto kCalibrationPause = std::chrono::milliseconds(200);

// Queues one configuration command on `host_id`.
comm::IoResult<void> send_config(const comm::CanDeviceAsync& can, std::uint32_t host_id, std::uint8_t byte3,
                                 std::uint16_t dest, std::uint8_t ctl);
// Queues the entry pair; the second frame only after the first was queued.
comm::IoResult<void> send_enter_configure_unicast(const comm::CanDeviceAsync& can, std::uint32_t host_id,
                                                  std::uint16_t dest);
// Queues the encoder-zero request, then sleeps on the calling thread; a failed queue returns at once.
comm::IoResult<void> send_calibration_and_wait(const comm::CanDeviceAsync& can, std::uint32_t host_id,
                                               std::uint16_t dest);

class Device {
 public:
  // A slot above 3 is stored as 3. Sends nothing.
  static std::shared_ptr<Device> create(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
                                        CanHandle can, std::uint32_t host_id);

  float get_target() const;
  void set_target(float target);

  // Copies the latest feedback. The watch mutex is only ever held for a copy, by a holder that never waits
  // for anything else, so a plain mutex serves: the CAN reader stores feedback without a thread hand-off.
  WatchData get_watch_data_blocking() const;
  void update_watch_data(const WatchData& data) const;

  comm::IoResult<void> enter_configure() const;
  comm::IoResult<void> exit_configure() const;
  comm::IoResult<void> start_calibration() const;
  // Changes the firmware's mode only: broadcasts keep the scale of the stored mode.
  comm::IoResult<void> set_foc_mode(FocMode mode) const;

  std::uint32_t node_id() const noexcept { return node_id_; }
  std::uint32_t host_id() const noexcept { return host_id_; }
  std::uint8_t slot_index() const noexcept { return slot_index_; }
  FocMode mode() const noexcept { return mode_; }
  std::uint16_t dest() const noexcept { return comm::protocol::dest_of(node_id_); }

  Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode, CanHandle can, std::uint32_t host_id);

 private:
  CanHandle can_;
  mutable std::mutex watch_mu_;
  mutable WatchData watch_{};
  std::uint32_t node_id_;
  std::uint32_t host_id_;
  mutable std::mutex target_mu_;
  float target_ = 0.0f;
  std::uint8_t slot_index_;
  FocMode mode_;
};

}  // namespace kestro::motor
