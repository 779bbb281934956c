// Owns the blocking CAN device: the core CanDevice (an open socket and its interface name) and
// CanDeviceSync, its blocking facade that waits on the shared runtime (with the worker hand-off).
//
// Lifetime: a device exists only with an open socket; the socket is closed when the device is destroyed.
// One caller at a time (the Python class takes an exclusive borrow for send and receive).
#pragma once

#include <memory>
#include <span>
#include <string>

#include <asio/awaitable.hpp>

#include "comm/can/frame.hpp"
#include "comm/can/io_error.hpp"
#include "comm/can/socket.hpp"

namespace kestro::comm {

class CanDevice {
 public:
  CanDevice(std::string interface, std::unique_ptr<CanSocket> socket)
      : interface_(std::move(interface)), socket_(std::move(socket)) {}

  asio::awaitable<IoResult<void>> send(std::uint32_t id, Payload data);
  asio::awaitable<IoResult<CanMessage>> receive();
  const std::string& interface() const noexcept { return interface_; }

 private:
  std::string interface_;
  std::unique_ptr<CanSocket> socket_;
};

class CanDeviceSync {
 public:
  // Provisions the interface (on the calling thread) and opens the socket.
  static IoResult<CanDeviceSync> open(const std::string& interface);

  IoResult<void> send(std::uint32_t id, const Payload& data);
  IoResult<CanMessage> receive();
  const std::string& interface() const noexcept { return device_->interface(); }

 private:
  explicit CanDeviceSync(std::unique_ptr<CanDevice> device) : device_(std::move(device)) {}
  std::unique_ptr<CanDevice> device_;
};

}  // namespace kestro::comm
