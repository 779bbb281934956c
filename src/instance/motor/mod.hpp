// Owns the broadcast group: one CAN interface, one host id, the registered drivers in list order, the
// broadcast target frame, the broadcast configuration commands, and the routing of each driver's feedback to
// its Device by CAN identifier. The group is its CAN device's only receiver, so feedback is routed on the
// device's reader as each frame is read: no task and no thread hand-off between the socket and the record.
//
// Lock order: the device list, then a device's target. The list mutex is held only for short walks, never
// across a wait; routing takes a device's watch mutex only after releasing it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "instance/motor/device.hpp"

namespace kestro::motor {

struct DeviceList {
  std::mutex mu;
  std::vector<std::shared_ptr<Device>> items;
};

// Lets the group's destruction end the routing's output: the lines routing reported are written before the
// destruction returns, or never, so that nothing is printed once the group is gone. No lock is held across a
// write.
struct ReceiveLife {
  std::atomic<bool> printable{true};
};

class Motor {
 public:
  // Opens the non-blocking CAN device on `interface` (provisioning it first) and starts routing feedback.
  static comm::IoResult<Motor> open(const std::string& interface, std::uint32_t host_id);
  // Starts a group on an open device, which from now on routes every received frame to the group.
  Motor(CanHandle can, std::uint32_t host_id);
  ~Motor();
  Motor(Motor&&) noexcept = default;
  Motor& operator=(Motor&&) = delete;

  // Entry pair, FOC mode, end of session; the Device joins the list only when all four frames were queued.
  comm::IoResult<std::shared_ptr<Device>> add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                                     FocMode mode);
  // Act on the first device in the slot; an empty slot is ignored.
  void set_target(std::uint8_t slot_index, float target) const;
  std::optional<WatchData> get_watch_data(std::uint8_t slot_index) const;

  comm::IoResult<void> broadcast() const;
  comm::IoResult<void> enter_configure_broadcast() const;
  comm::IoResult<void> exit_configure_broadcast() const;
  comm::IoResult<void> calibrate_broadcast() const;
  comm::IoResult<void> set_foc_mode_broadcast(FocMode mode) const;

  std::vector<std::shared_ptr<Device>> devices() const;
  std::size_t device_count() const;
  std::uint32_t host_id() const noexcept { return host_id_; }

 private:
  std::shared_ptr<Device> first_in_slot(std::uint8_t slot_index) const;

  CanHandle can_;
  std::shared_ptr<DeviceList> devices_;
  std::shared_ptr<ReceiveLife> life_;
  std::uint32_t host_id_;
};

}  // namespace kestro::motor
