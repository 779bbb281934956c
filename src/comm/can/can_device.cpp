// Owns the blocking CAN device.
#include "comm/can/can_device.hpp"

#include <cerrno>

#include "comm/can/socket.hpp"
#include "comm/can/syscalls.hpp"
#include "runtime/runtime.hpp"

namespace kestro::comm {

asio::awaitable<IoResult<void>> CanDevice::send(std::uint32_t id, Payload data) {
  auto frame = build_frame(CanMessage{id, data});
  if (!frame) co_return std::unexpected(std::move(frame.error()));
  co_return co_await write_frame(link_->socket(), *frame);
}

asio::awaitable<IoResult<CanMessage>> CanDevice::receive() {
  return receive_message(link_->socket());
}

IoResult<void> CanDevice::come_back() {
  if (!link_->detached()) return {};
  return link_->reattach({});
}

IoResult<CanDeviceSync> CanDeviceSync::open(const std::string& interface) {
  if (auto ok = can_sys().provision(interface, {}); !ok) return std::unexpected(std::move(ok.error()));
  auto& rt = rt::Runtime::get();
  auto link = CanLink::open(interface, rt.executor());
  if (!link) return std::unexpected(std::move(link.error()));
  return CanDeviceSync(std::make_unique<CanDevice>(std::move(*link)));
}

IoResult<void> CanDeviceSync::send(std::uint32_t id, const Payload& data) {
  // Refused frames never touch the runtime.
  if (auto frame = build_frame(CanMessage{id, data}); !frame)
    return std::unexpected(std::move(frame.error()));
  if (auto back = device_->come_back(); !back) {
    // While the interface is gone, sending fails as it does through a socket bound to nothing.
    if (back.error().os_errno == ENODEV) return std::unexpected(os_error(ENXIO));
    return std::unexpected(std::move(back.error()));
  }
  return rt::Runtime::get().block_on(device_->send(id, data));
}

IoResult<CanMessage> CanDeviceSync::receive() {
  // A socket bound to nothing never becomes readable: waiting on it would never end.
  if (auto back = device_->come_back(); !back) return std::unexpected(std::move(back.error()));
  return rt::Runtime::get().block_on(device_->receive());
}

}  // namespace kestro::comm
