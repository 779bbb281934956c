// Owns bringing a CAN interface up at 1,000,000 bit/s with the `ip` tool: one query, and where the state is
// wrong, the configuration commands as the current user and then through `sudo`. Blocking; no shell; no
// time limit (a sudo password prompt waits for the user). Nothing is cached between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "comm/can/io_error.hpp"

namespace kestro::comm {

inline constexpr std::uint32_t kRequiredBitrate = 1000000;

struct InterfaceState {
  bool up = false;
  std::optional<std::uint32_t> bitrate;
  // A virtual interface (vcan, vxcan) has no bitrate: being up is all it needs.
  bool is_virtual = false;
  // Only a link of type can (a "link/can" line) is ever reconfigured.
  bool is_can = false;
};

// Parses the output of `ip -details link show IFACE`.
InterfaceState parse_interface_state(std::string_view details);

// Its lines go to standard error, or to `say` when one is given (a device that provisions its interface
// again from a background task hands them to the diagnostics writer).
IoResult<void> ensure_can_interface(const std::string& interface,
                                    const std::function<void(const std::string&)>& say = {});

}  // namespace kestro::comm
