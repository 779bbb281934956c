// Owns the DR v1 frame building and feedback decoding.
#include "comm/protocol/control/dr_v1.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kestro::comm::protocol {

Frame8 build_config_frame(std::uint8_t byte3, std::uint16_t dest, std::uint8_t ctl) {
  Frame8 f{
      0x44, 0x52, 0x31, byte3, static_cast<std::uint8_t>(dest & 0xFF), static_cast<std::uint8_t>(dest >> 8),
      ctl,  0};
  std::uint8_t check = 0;
  for (int i = 0; i < 7; ++i) check ^= f[i];
  f[7] = check;
  return f;
}

std::array<Frame8, 2> enter_configure_frames(std::uint16_t dest) {
  return {build_config_frame(kEnterFirst, dest, kCtlEnterConfigure),
          build_config_frame(kEnterSecond, dest, kCtlEnterConfigure)};
}

std::int16_t encode_target(float target, FocMode mode) {
  const float scale = mode == FocMode::Speed ? 10.0f : 100.0f;
  float v = target * scale;
  if (v < -32768.0f) v = -32768.0f;
  if (v > 32767.0f) v = 32767.0f;
  if (std::isnan(v)) return 0;
  const auto truncated = static_cast<std::int32_t>(v);  // toward zero; v is within range here
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(truncated, -32768, 32767));
}

Frame8 build_target_frame(const std::array<std::int16_t, 4>& slots) {
  Frame8 f{};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto u = static_cast<std::uint16_t>(slots[i]);
    f[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
    f[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  return f;
}

WatchData decode_feedback(std::span<const std::uint8_t, 8> d) {
  const std::uint32_t bits = static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
                             (static_cast<std::uint32_t>(d[2]) << 16) |
                             (static_cast<std::uint32_t>(d[3]) << 24);
  const auto speed = static_cast<std::int16_t>(static_cast<std::uint16_t>(d[4] | (d[5] << 8)));
  const auto current = static_cast<std::int16_t>(static_cast<std::uint16_t>(d[6] | (d[7] << 8)));
  return WatchData{std::bit_cast<float>(bits), static_cast<float>(speed) / 10.0f,
                   static_cast<float>(current) / 100.0f};
}

}  // namespace kestro::comm::protocol
