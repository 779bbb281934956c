// Owns a CAN socket's binding to its interface by name.
#include "comm/can/link.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "comm/can/syscalls.hpp"

namespace kestro::comm {

namespace {

// The index the socket is bound to; 0 once the kernel has unbound it, -1 when it cannot be asked.
int bound_index(int fd) {
  sockaddr_can addr;
  std::memset(&addr, 0, sizeof addr);
  socklen_t len = sizeof addr;
  if (can_sys().getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return addr.can_ifindex;
}

}  // namespace

IoResult<std::unique_ptr<CanLink>> CanLink::open(std::string interface, const asio::any_io_executor& ex) {
  auto socket = open_can_socket(interface, ex);
  if (!socket) return std::unexpected(std::move(socket.error()));
  return std::unique_ptr<CanLink>(new CanLink(std::move(interface), std::move(*socket)));
}

bool CanLink::detached() const {
  return bound_index(socket_->native_handle()) == 0;
}

bool CanLink::interface_present() const {
  return can_sys().if_nametoindex(interface_.c_str()) != 0;
}

IoResult<void> CanLink::reattach(const LineSink& lines) const {
  if (!interface_present()) return std::unexpected(os_error(ENODEV));
  if (auto ok = can_sys().provision(interface_, lines); !ok) return std::unexpected(std::move(ok.error()));
  // Looked up again: provisioning takes time, and the interface may have gone and come back meanwhile.
  const unsigned index = can_sys().if_nametoindex(interface_.c_str());
  if (index == 0) return std::unexpected(os_error(ENODEV));
  // The kernel dropped the socket's receive filter when it unbound it: bound again without one, it would
  // receive nothing. Put back its default, one filter that passes every frame.
  const can_filter pass_all{.can_id = 0, .can_mask = 0};
  const int fd = socket_->native_handle();
  if (can_sys().setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &pass_all, sizeof pass_all) != 0) {
    return std::unexpected(os_error(errno));
  }
  // The error the kernel left when it unbound the socket (No such device) may not have been taken yet: it
  // would fail the first read or write on the new binding. Reading it clears it.
  int stale = 0;
  socklen_t stale_len = sizeof stale;
  can_sys().getsockopt(fd, SOL_SOCKET, SO_ERROR, &stale, &stale_len);
  sockaddr_can addr;
  std::memset(&addr, 0, sizeof addr);
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(index);
  if (can_sys().bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return std::unexpected(os_error(errno));
  }
  return {};
}

}  // namespace kestro::comm
