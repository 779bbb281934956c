// Owns the Device record's operations and the unicast configuration commands.
#include "instance/motor/device.hpp"

#include <algorithm>
#include <thread>

#include "runtime/runtime.hpp"

namespace kestro::motor {

namespace proto = comm::protocol;

comm::IoResult<void> send_config(const comm::CanDeviceAsync& can, std::uint32_t host_id, std::uint8_t byte3,
                                 std::uint16_t dest, std::uint8_t ctl) {
  const proto::Frame8 frame = proto::build_config_frame(byte3, dest, ctl);
  return can.send_nonblocking(host_id, frame);
}

comm::IoResult<void> send_enter_configure_unicast(const comm::CanDeviceAsync& can, std::uint32_t host_id,
                                                  std::uint16_t dest) {
  const auto pair = proto::enter_configure_frames(dest);
  auto first = can.send_nonblocking(host_id, pair[0]);
  if (!first) return first;
  return can.send_nonblocking(host_id, pair[1]);
}

comm::IoResult<void> send_calibration_and_wait(const comm::CanDeviceAsync& can, std::uint32_t host_id,
                                               std::uint16_t dest) {
  auto queued = send_config(can, host_id, proto::kPlainCommand, dest, proto::kCtlEncoderZero);
  if (!queued) return queued;
  std::this_thread::sleep_for(kCalibrationPause);
  return {};
}

Device::Device(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode, CanHandle can,
               std::uint32_t host_id)
    : can_(std::move(can)),
      node_id_(node_id),
      host_id_(host_id),
      slot_index_(std::min(slot_index, kMaxSlot)),
      mode_(mode) {}

std::shared_ptr<Device> Device::create(std::uint8_t slot_index, std::uint32_t node_id, FocMode mode,
                                       CanHandle can, std::uint32_t host_id) {
  return std::make_shared<Device>(slot_index, node_id, mode, std::move(can), host_id);
}

float Device::get_target() const {
  std::lock_guard lock(target_mu_);
  return target_;
}

void Device::set_target(float target) {
  std::lock_guard lock(target_mu_);
  target_ = target;
}

WatchData Device::get_watch_data_blocking() const {
  auto lock = rt::lock_or_refuse_in_fork(watch_mu_);
  return watch_;
}

void Device::update_watch_data(const WatchData& data) const {
  std::lock_guard lock(watch_mu_);
  watch_ = data;
}

comm::IoResult<void> Device::enter_configure() const {
  return send_enter_configure_unicast(*can_, host_id_, dest());
}

comm::IoResult<void> Device::exit_configure() const {
  return send_config(*can_, host_id_, proto::kPlainCommand, dest(), proto::kCtlExitConfigure);
}

comm::IoResult<void> Device::start_calibration() const {
  return send_calibration_and_wait(*can_, host_id_, dest());
}

comm::IoResult<void> Device::set_foc_mode(FocMode mode) const {
  return send_config(*can_, host_id_, proto::kPlainCommand, dest(), proto::ctl_set_foc_mode(mode));
}

}  // namespace kestro::motor
