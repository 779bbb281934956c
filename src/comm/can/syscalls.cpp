// Owns the real table of the CAN layer's calls into the operating system.
#include "comm/can/syscalls.hpp"

#include <net/if.h>
#include <unistd.h>

#include "comm/can/provision.hpp"

namespace kestro::comm {

const CanSyscalls kRealCanSyscalls{
    .if_nametoindex = ::if_nametoindex,
    .socket = ::socket,
    .bind = ::bind,
    .getsockname = ::getsockname,
    .setsockopt = ::setsockopt,
    .getsockopt = ::getsockopt,
    .read = ::read,
    .write = ::write,
    .provision = ensure_can_interface,
};

namespace detail {
constinit std::atomic<const CanSyscalls*> g_can_syscalls{&kRealCanSyscalls};
}

}  // namespace kestro::comm
