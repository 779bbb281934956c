// Unit tests of the CAN frame rules: building outgoing frames and converting received ones.
#include "comm/can/frame.hpp"

#include <gtest/gtest.h>

#include <linux/can/error.h>

#include <cstring>

using kestro::comm::build_frame;
using kestro::comm::parse_frame;

namespace {
std::vector<std::uint8_t> bytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(0xA0 + i);
  return v;
}
}  // namespace

TEST(Frame, FormatIsChosenByValue) {
  auto standard = build_frame(0x7FF, {});
  ASSERT_TRUE(standard);
  EXPECT_EQ(standard->can_id, 0x7FFu);
  EXPECT_EQ(standard->can_dlc, 0);
  auto extended = build_frame(0x800, bytes(1));
  ASSERT_TRUE(extended);
  EXPECT_EQ(extended->can_id, 0x800u | CAN_EFF_FLAG);
  EXPECT_EQ(extended->can_dlc, 1);
  auto top = build_frame(0x1FFFFFFF, bytes(8));
  ASSERT_TRUE(top);
  EXPECT_EQ(top->can_id, 0x1FFFFFFFu | CAN_EFF_FLAG);
}

TEST(Frame, UnusedBytesAndPaddingAreZero) {
  auto f = build_frame(0x123, bytes(3));
  ASSERT_TRUE(f);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&*f);
  ASSERT_EQ(sizeof(can_frame), 16u);
  EXPECT_EQ(raw[5], 0);
  EXPECT_EQ(raw[6], 0);
  EXPECT_EQ(raw[7], 0);
  EXPECT_EQ(raw[8], 0xA0);
  EXPECT_EQ(raw[10], 0xA2);
  for (int i = 11; i < 16; ++i) EXPECT_EQ(raw[i], 0) << i;
  EXPECT_EQ(f->can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG), 0u);
}

TEST(Frame, PayloadIsTestedBeforeIdentifier) {
  auto both = build_frame(0x20000000, bytes(9));
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().message, "Payload is larger than CAN maximum of 8 bytes");
  auto id = build_frame(0x20000000, bytes(8));
  ASSERT_FALSE(id);
  EXPECT_EQ(id.error().message, "CAN ID too large");
  EXPECT_EQ(id.error().kind, kestro::comm::IoErrorKind::InvalidInput);
  EXPECT_FALSE(build_frame(0xFFFFFFFF, {}));
}

// A payload is held inline in 8 bytes: one that was longer must still be refused when it is sent, not cut.
TEST(Frame, AnInlinePayloadThatWasTooLongIsStillRefused) {
  kestro::comm::Payload grown;
  for (int i = 0; i < 9; ++i) grown.push_back(static_cast<std::uint8_t>(i));
  for (const auto& payload : {grown, kestro::comm::Payload(bytes(9)), kestro::comm::Payload(bytes(200))}) {
    auto refused = build_frame(kestro::comm::CanMessage{0x20000000, payload});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "Payload is larger than CAN maximum of 8 bytes");
  }
  auto eight = build_frame(kestro::comm::CanMessage{0x10, kestro::comm::Payload(bytes(8))});
  ASSERT_TRUE(eight);
  EXPECT_EQ(eight->can_dlc, 8);
}

TEST(Frame, ReceivedFlagsAreDropped) {
  can_frame f;
  std::memset(&f, 0, sizeof f);
  f.can_id = 0x123 | CAN_EFF_FLAG;
  f.can_dlc = 2;
  f.data[0] = 1;
  f.data[1] = 2;
  f.data[2] = 9;  // beyond the length: not part of the payload
  auto m = parse_frame(f);
  EXPECT_EQ(m.id, 0x123u);
  EXPECT_EQ(m.data, (std::vector<std::uint8_t>{1, 2}));

  f.can_id = 0x7FF | CAN_RTR_FLAG | 0x1000;  // bits above 11 are not part of a standard identifier
  f.can_dlc = 4;
  m = parse_frame(f);
  EXPECT_EQ(m.id, 0x7FFu);
  EXPECT_EQ(m.data.size(), 4u);

  f.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
  f.can_dlc = 8;
  m = parse_frame(f);
  EXPECT_EQ(m.id, CAN_ERR_BUSOFF & CAN_SFF_MASK);
  EXPECT_EQ(m.data.size(), 8u);

  f.can_id = CAN_EFF_FLAG | CAN_ERR_FLAG | 0x1ABCDEF0;
  EXPECT_EQ(parse_frame(f).id, 0x1ABCDEF0u);

  f.can_dlc = 15;  // a corrupt length never reads past the payload
  EXPECT_EQ(parse_frame(f).data.size(), 8u);
}
