// Owns the CAN frame rules: building the kernel's 16-byte frame from an identifier and a payload, and turning
// a received frame back into a CanMessage.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <span>
#include <vector>

#include "comm/can/io_error.hpp"

namespace kestro::comm {

struct CanMessage {
  std::uint32_t id = 0;
  std::vector<std::uint8_t> data;
};

inline constexpr std::uint32_t kMaxStandardId = 0x7FF;
inline constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;

// The payload test comes before the identifier test. Identifiers up to 0x7FF go out as standard frames, the
// rest as extended frames; remote and error flags are never set and unused bytes are zero.
IoResult<can_frame> build_frame(std::uint32_t id, std::span<const std::uint8_t> data);

// Flags are dropped: the identifier is masked to 29 or 11 bits and a remote or error frame reads as data.
CanMessage parse_frame(const can_frame& frame);

}  // namespace kestro::comm
