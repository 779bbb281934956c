// Owns the binding of a CAN socket to its interface by name. When the interface goes away (an adapter is
// unplugged), the kernel binds the socket to nothing: from then on it neither receives nor sends, and a wait
// for a frame on it never ends. The link tells when that has happened and, once an interface of that name is
// back (under a new index), provisions it as a newly opened device would and binds the same socket to it
// again. The descriptor never changes, so nothing waiting on it is torn down by a rebind.
//
// Not thread-safe: one strand (or one caller) at a time. reattach() touches only the descriptor's binding
// and may run on another thread while the owner's strand waits for it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>

#include "comm/can/io_error.hpp"
#include "comm/can/socket.hpp"

namespace kestro::comm {

// Where the provisioning lines of a rebind go.
using LineSink = std::function<void(const std::string&)>;

class CanLink {
 public:
  // Opens the socket bound to `interface` (provisioning is the caller's, as at a device's construction).
  static IoResult<std::unique_ptr<CanLink>> open(std::string interface, const asio::any_io_executor& ex);

  CanSocket& socket() noexcept { return *socket_; }
  const std::string& interface() const noexcept { return interface_; }

  // Whether the kernel has unbound the socket because its interface went away. One system call.
  bool detached() const;
  // Whether an interface of this name exists now.
  bool interface_present() const;

  // Binds a detached socket to the interface of that name again: first provisioned as at open (its lines
  // go to `lines`). Blocking: runs the `ip` tool. Fails with "No such device (os error 19)" while no
  // interface has the name, or with provisioning's error. Binding an attached socket again is harmless.
  IoResult<void> reattach(const LineSink& lines) const;

 private:
  CanLink(std::string interface, std::unique_ptr<CanSocket> socket)
      : interface_(std::move(interface)), socket_(std::move(socket)) {}

  std::string interface_;
  std::unique_ptr<CanSocket> socket_;
};

}  // namespace kestro::comm
