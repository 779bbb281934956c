// Owns the CAN frame rules: building the kernel's 16-byte frame from an identifier and a payload, and turning
// a received frame back into a CanMessage.
#pragma once

#include <linux/can.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "comm/can/io_error.hpp"

namespace kestro::comm {

// A frame's payload, held inline (queuing or receiving a frame allocates nothing): a frame carries at most 8
// bytes. A longer payload handed in for sending keeps only its length, so that the frame rules refuse it
// when it is sent.
class Payload {
 public:
  static constexpr std::size_t kMax = CAN_MAX_DLEN;

  Payload() = default;
  Payload(std::initializer_list<std::uint8_t> bytes) noexcept
      : Payload(std::span<const std::uint8_t>(bytes.begin(), bytes.size())) {}
  explicit Payload(std::span<const std::uint8_t> bytes) noexcept : size_(bytes.size()) {
    std::copy_n(bytes.begin(), std::min(bytes.size(), kMax), bytes_.begin());
  }

  void push_back(std::uint8_t byte) noexcept {
    if (size_ < kMax) bytes_[size_] = byte;
    ++size_;
  }

  // The length as given, also when it is beyond what a frame carries.
  std::size_t size() const noexcept { return size_; }
  bool fits() const noexcept { return size_ <= kMax; }
  // The bytes held: all of them when the payload fits.
  std::span<const std::uint8_t> bytes() const noexcept { return {bytes_.data(), std::min(size_, kMax)}; }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  auto begin() const noexcept { return bytes().begin(); }
  auto end() const noexcept { return bytes().end(); }

  friend bool operator==(const Payload& a, const Payload& b) noexcept {
    return a.size_ == b.size_ && std::ranges::equal(a.bytes(), b.bytes());
  }
  friend bool operator==(const Payload& a, const std::vector<std::uint8_t>& b) noexcept {
    return a.fits() && std::ranges::equal(a.bytes(), b);
  }

 private:
  std::array<std::uint8_t, kMax> bytes_{};
  std::size_t size_ = 0;
};

struct CanMessage {
  std::uint32_t id = 0;
  Payload data;
};

inline constexpr std::uint32_t kMaxStandardId = 0x7FF;
inline constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;

// The payload test comes before the identifier test. Identifiers up to 0x7FF go out as standard frames, the
// rest as extended frames; remote and error flags are never set and unused bytes are zero.
IoResult<can_frame> build_frame(std::uint32_t id, std::span<const std::uint8_t> data);
IoResult<can_frame> build_frame(const CanMessage& msg);

// Flags are dropped: the identifier is masked to 29 or 11 bits and a remote or error frame reads as data.
CanMessage parse_frame(const can_frame& frame);

}  // namespace kestro::comm
