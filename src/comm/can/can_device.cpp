// Owns the blocking CAN device.
#include "comm/can/can_device.hpp"

#include "comm/can/provision.hpp"
#include "runtime/runtime.hpp"

namespace kestro::comm {

asio::awaitable<IoResult<void>> CanDevice::send(std::uint32_t id, Payload data) {
  auto frame = build_frame(CanMessage{id, data});
  if (!frame) co_return std::unexpected(std::move(frame.error()));
  co_return co_await write_frame(*socket_, *frame);
}

asio::awaitable<IoResult<CanMessage>> CanDevice::receive() {
  return receive_message(*socket_);
}

IoResult<CanDeviceSync> CanDeviceSync::open(const std::string& interface) {
  if (auto ok = ensure_can_interface(interface); !ok) return std::unexpected(std::move(ok.error()));
  auto& rt = rt::Runtime::get();
  auto socket = open_can_socket(interface, rt.executor());
  if (!socket) return std::unexpected(std::move(socket.error()));
  return CanDeviceSync(std::make_unique<CanDevice>(interface, std::move(*socket)));
}

IoResult<void> CanDeviceSync::send(std::uint32_t id, const Payload& data) {
  // Refused frames never touch the runtime.
  if (auto frame = build_frame(CanMessage{id, data}); !frame)
    return std::unexpected(std::move(frame.error()));
  return rt::Runtime::get().block_on(device_->send(id, data));
}

IoResult<CanMessage> CanDeviceSync::receive() {
  return rt::Runtime::get().block_on(device_->receive());
}

}  // namespace kestro::comm
