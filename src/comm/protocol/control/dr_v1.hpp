// Owns the DR v1 frame formats between the host and the motor drivers of one broadcast group: configuration
// frames, the broadcast target frame, and decoding a driver's feedback frame. Pure functions: no I/O, no
// state. Every frame the host sends carries 8 bytes; multi-byte fields are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kestro::comm::protocol {

enum class FocMode : std::uint8_t { Current = 0, Speed = 1, Position = 2 };

// The latest decoded feedback of one driver; all 0.0 before the first feedback.
struct WatchData {
  float position = 0.0f;  // rad
  float speed = 0.0f;     // rad/s
  float current = 0.0f;   // A
};

using Frame8 = std::array<std::uint8_t, 8>;

inline constexpr std::uint16_t kBroadcastDest = 0xFFFF;

// Byte 3 and CTL of the configuration commands.
inline constexpr std::uint8_t kEnterFirst = 0x73;
inline constexpr std::uint8_t kEnterSecond = 0x74;
inline constexpr std::uint8_t kPlainCommand = 0xFF;
inline constexpr std::uint8_t kCtlEnterConfigure = 0x03;
inline constexpr std::uint8_t kCtlExitConfigure = 0x00;
inline constexpr std::uint8_t kCtlEncoderZero = 0x01;
inline constexpr std::uint8_t ctl_set_foc_mode(FocMode m) {
  return static_cast<std::uint8_t>(0x10 + static_cast<std::uint8_t>(m));
}

// "DR1", byte 3, dest (little-endian), CTL, and the XOR of bytes 0 to 6.
Frame8 build_config_frame(std::uint8_t byte3, std::uint16_t dest, std::uint8_t ctl);

// The entry pair: two frames that always go out together, to the same dest.
std::array<Frame8, 2> enter_configure_frames(std::uint16_t dest);

// A configuration frame addresses the low 16 bits of a node id.
inline std::uint16_t dest_of(std::uint32_t node_id) {
  return static_cast<std::uint16_t>(node_id & 0xFFFF);
}

// target × scale (10 for speed, 100 otherwise) in single precision, saturated to 16 bits, truncated toward
// zero; NaN gives 0.
std::int16_t encode_target(float target, FocMode mode);

// Four slots of signed 16-bit targets; an empty slot carries 0.
Frame8 build_target_frame(const std::array<std::int16_t, 4>& slots);

// Position as a float, speed in tenths of rad/s, current in hundredths of A. `data` holds exactly 8 bytes.
WatchData decode_feedback(std::span<const std::uint8_t, 8> data);

}  // namespace kestro::comm::protocol
