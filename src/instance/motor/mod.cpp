// Owns the broadcast group's operations and the routing of its feedback.
#include "instance/motor/mod.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#include "runtime/diagnostics.hpp"
#include "runtime/runtime.hpp"

namespace kestro::motor {

namespace proto = comm::protocol;

namespace {

// How long a group that goes waits for its last lines to reach a standard error that has stopped draining.
constexpr auto kLastLinesLimit = std::chrono::milliseconds(100);

std::string byte_list(std::span<const std::uint8_t> data) {
  std::string text = "[";
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(data[i]);
  }
  return text + "]";
}

std::shared_ptr<Device> find_node(DeviceList& list, std::uint32_t node_id) {
  std::lock_guard lock(list.mu);
  for (const auto& d : list.items) {
    if (d->node_id() == node_id) return d;
  }
  return nullptr;
}

// Writes one line to standard error, unless the group is gone by the time it would be written.
void report(const std::shared_ptr<ReceiveLife>& life, std::string line) {
  rt::diag::emit(std::move(line), rt::diag::Wanted(life, &life->printable));
}

// Files one received frame: a feedback frame into the record of the first device with its node id, anything
// else as a line.
void route_feedback(DeviceList& list, const std::shared_ptr<ReceiveLife>& life, const comm::CanMessage& msg) {
  if (msg.data.size() != 8) {
    char line[96];
    std::snprintf(line, sizeof line, "Warning: ignoring CAN frame 0x%X with unexpected length %zu\n", msg.id,
                  msg.data.size());
    report(life, line);
    return;
  }
  const WatchData data = proto::decode_feedback(std::span<const std::uint8_t, 8>(msg.data.data(), 8));
  std::shared_ptr<Device> device = find_node(list, msg.id);
  if (!device) {
    char head[64];
    std::snprintf(head, sizeof head, "[Motor] unmatched feedback frame: id=0x%X, data=", msg.id);
    report(life, head + byte_list(msg.data.bytes()) + "\n");
    return;
  }
  device->update_watch_data(data);
}

}  // namespace

comm::IoResult<Motor> Motor::open(const std::string& interface, std::uint32_t host_id) {
  auto opened = comm::CanDeviceAsync::open(interface);
  if (!opened) return std::unexpected(opened.error());
  return Motor(std::make_shared<const comm::CanDeviceAsync>(std::move(*opened)), host_id);
}

Motor::Motor(CanHandle can, std::uint32_t host_id)
    : can_(std::move(can)),
      devices_(std::make_shared<DeviceList>()),
      life_(std::make_shared<ReceiveLife>()),
      host_id_(host_id) {
  can_->route_incoming(
      [list = devices_, life = life_](const comm::CanMessage& msg) { route_feedback(*list, life, msg); });
}

Motor::~Motor() {
  if (!life_) return;  // moved from
  // Devices that outlive the group still send through its CAN device, but nobody receives any more. Once
  // this returns, no frame is being routed and none will be.
  can_->discard_incoming();
  rt::diag::flush(kLastLinesLimit);
  life_->printable.store(false, std::memory_order_release);
}

comm::IoResult<std::shared_ptr<Device>> Motor::add_device(std::uint8_t slot_index, std::uint32_t node_id,
                                                          FocMode mode) {
  const std::uint16_t dest = proto::dest_of(node_id);
  if (auto entered = send_enter_configure_unicast(*can_, host_id_, dest); !entered) {
    return std::unexpected(entered.error());
  }
  std::shared_ptr<Device> device = Device::create(slot_index, node_id, mode, can_, host_id_);
  if (auto set = device->set_foc_mode(mode); !set) return std::unexpected(set.error());
  if (auto ended = device->exit_configure(); !ended) return std::unexpected(ended.error());
  {
    auto lock = rt::lock_or_refuse_in_fork(devices_->mu);
    devices_->items.push_back(device);
  }
  return device;
}

std::shared_ptr<Device> Motor::first_in_slot(std::uint8_t slot_index) const {
  auto lock = rt::lock_or_refuse_in_fork(devices_->mu);
  for (const auto& d : devices_->items) {
    if (d->slot_index() == slot_index) return d;
  }
  return nullptr;
}

void Motor::set_target(std::uint8_t slot_index, float target) const {
  if (auto device = first_in_slot(slot_index)) device->set_target(target);
}

std::optional<WatchData> Motor::get_watch_data(std::uint8_t slot_index) const {
  auto device = first_in_slot(slot_index);
  if (!device) return std::nullopt;
  return device->get_watch_data_blocking();
}

comm::IoResult<void> Motor::broadcast() const {
  std::array<std::int16_t, 4> slots{};
  {
    auto lock = rt::lock_or_refuse_in_fork(devices_->mu);
    for (const auto& d : devices_->items) {
      slots[d->slot_index()] = proto::encode_target(d->get_target(), d->mode());
    }
  }
  const proto::Frame8 frame = proto::build_target_frame(slots);
  return can_->send_nonblocking(host_id_, frame);
}

comm::IoResult<void> Motor::enter_configure_broadcast() const {
  return send_enter_configure_unicast(*can_, host_id_, proto::kBroadcastDest);
}

comm::IoResult<void> Motor::exit_configure_broadcast() const {
  return send_config(*can_, host_id_, proto::kPlainCommand, proto::kBroadcastDest, proto::kCtlExitConfigure);
}

comm::IoResult<void> Motor::calibrate_broadcast() const {
  return send_calibration_and_wait(*can_, host_id_, proto::kBroadcastDest);
}

comm::IoResult<void> Motor::set_foc_mode_broadcast(FocMode mode) const {
  return send_config(*can_, host_id_, proto::kPlainCommand, proto::kBroadcastDest,
                     proto::ctl_set_foc_mode(mode));
}

std::vector<std::shared_ptr<Device>> Motor::devices() const {
  auto lock = rt::lock_or_refuse_in_fork(devices_->mu);
  return devices_->items;
}

std::size_t Motor::device_count() const {
  auto lock = rt::lock_or_refuse_in_fork(devices_->mu);
  return devices_->items.size();
}

}  // namespace kestro::motor
