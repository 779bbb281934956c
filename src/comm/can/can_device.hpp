// Owns the blocking CAN device: the core CanDevice (a socket bound to its interface by name) and
// CanDeviceSync, its blocking facade that waits on the shared runtime (with the worker hand-off).
//
// Lifetime: a device exists only with an open socket; the socket is closed when the device is destroyed.
// When its interface goes away and comes back under the same name, the next call provisions it and binds
// the socket to it again; meanwhile each call fails as a socket bound to nothing does. One caller at a time
// (the Python class takes an exclusive borrow for send and receive).
#pragma once

#include <memory>
#include <span>
#include <string>

#include <asio/awaitable.hpp>

#include "comm/can/frame.hpp"
#include "comm/can/io_error.hpp"
#include "comm/can/link.hpp"

namespace kestro::comm {

class CanDevice {
 public:
  explicit CanDevice(std::unique_ptr<CanLink> link) : link_(std::move(link)) {}

  asio::awaitable<IoResult<void>> send(std::uint32_t id, Payload data);
  asio::awaitable<IoResult<CanMessage>> receive();
  // Blocking (it may provision the interface): when the interface has gone, binds the socket to it again
  // if it is back. Fails with "No such device (os error 19)" while it is gone, or with provisioning's error.
  IoResult<void> come_back();
  const std::string& interface() const noexcept { return link_->interface(); }

 private:
  std::unique_ptr<CanLink> link_;
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
