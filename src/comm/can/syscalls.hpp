// Owns the table of calls through which the CAN layer reaches the operating system: the socket calls on its
// raw socket, the interface lookups, and provisioning. Production code always runs the real ones; the C++
// units put a scripted table in their place, so that what no test bed can produce (a transmit queue full
// for a while, a read that fails mid-stream, an interface that vanishes and comes back) is reached on
// purpose. One load and an indirect call per system call, nothing per frame beyond that.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>

#include "comm/can/io_error.hpp"

namespace kestro::comm {

struct CanSyscalls {
  unsigned (*if_nametoindex)(const char* name);
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int fd, const sockaddr* addr, socklen_t len);
  int (*getsockname)(int fd, sockaddr* addr, socklen_t* len);
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t len);
  int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* len);
  ssize_t (*read)(int fd, void* buf, size_t len);
  ssize_t (*write)(int fd, const void* buf, size_t len);
  // ensure_can_interface: runs the `ip` tool.
  IoResult<void> (*provision)(const std::string& interface,
                              const std::function<void(const std::string&)>& say);
};

extern const CanSyscalls kRealCanSyscalls;

namespace detail {
extern std::atomic<const CanSyscalls*> g_can_syscalls;
}

inline const CanSyscalls& can_sys() {
  return *detail::g_can_syscalls.load(std::memory_order_relaxed);
}

// For the C++ units: puts `calls` in place and returns the table it replaces. Only while no CAN socket is in
// use: every call of one socket's life must go to the same table.
inline const CanSyscalls* replace_can_syscalls_for_tests(const CanSyscalls* calls) {
  return detail::g_can_syscalls.exchange(calls, std::memory_order_relaxed);
}

}  // namespace kestro::comm
