// Owns the CAN frame rules.
#include "comm/can/frame.hpp"

#include <algorithm>
#include <cstring>

namespace kestro::comm {

namespace {
IoError payload_too_large() {
  return IoError{IoErrorKind::InvalidInput, "Payload is larger than CAN maximum of 8 bytes"};
}
}  // namespace

IoResult<can_frame> build_frame(std::uint32_t id, std::span<const std::uint8_t> data) {
  if (data.size() > CAN_MAX_DLEN) return std::unexpected(payload_too_large());
  if (id > kMaxExtendedId) return std::unexpected(IoError{IoErrorKind::InvalidInput, "CAN ID too large"});
  can_frame frame;
  std::memset(&frame, 0, sizeof frame);
  frame.can_id = id > kMaxStandardId ? (id | CAN_EFF_FLAG) : id;
  frame.can_dlc = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.data);
  return frame;
}

IoResult<can_frame> build_frame(const CanMessage& msg) {
  if (!msg.data.fits()) return std::unexpected(payload_too_large());
  return build_frame(msg.id, msg.data.bytes());
}

CanMessage parse_frame(const can_frame& frame) {
  CanMessage msg;
  msg.id = (frame.can_id & CAN_EFF_FLAG) ? (frame.can_id & CAN_EFF_MASK) : (frame.can_id & CAN_SFF_MASK);
  const std::size_t len = std::min<std::size_t>(frame.can_dlc, CAN_MAX_DLEN);
  msg.data = Payload(std::span<const std::uint8_t>(frame.data, len));
  return msg;
}

}  // namespace kestro::comm
