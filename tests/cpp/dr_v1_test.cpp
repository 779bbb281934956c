// Unit tests of the DR v1 frames: every configuration command's bytes, target encoding, feedback decoding.
#include "comm/protocol/control/dr_v1.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace kestro::comm::protocol;

namespace {
Frame8 bytes(std::initializer_list<int> v) {
  Frame8 f{};
  int i = 0;
  for (int b : v) f[i++] = static_cast<std::uint8_t>(b);
  return f;
}
}  // namespace

TEST(DrV1, BroadcastConfigurationFrames) {
  auto pair = enter_configure_frames(kBroadcastDest);
  EXPECT_EQ(pair[0], bytes({0x44, 0x52, 0x31, 0x73, 0xFF, 0xFF, 0x03, 0x57}));
  EXPECT_EQ(pair[1], bytes({0x44, 0x52, 0x31, 0x74, 0xFF, 0xFF, 0x03, 0x50}));
  EXPECT_EQ(build_config_frame(kPlainCommand, kBroadcastDest, kCtlExitConfigure),
            bytes({0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x00, 0xD8}));
  EXPECT_EQ(build_config_frame(kPlainCommand, kBroadcastDest, kCtlEncoderZero),
            bytes({0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x01, 0xD9}));
  EXPECT_EQ(build_config_frame(kPlainCommand, kBroadcastDest, ctl_set_foc_mode(FocMode::Current)),
            bytes({0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x10, 0xC8}));
  EXPECT_EQ(build_config_frame(kPlainCommand, kBroadcastDest, ctl_set_foc_mode(FocMode::Speed))[7], 0xC9);
  EXPECT_EQ(build_config_frame(kPlainCommand, kBroadcastDest, ctl_set_foc_mode(FocMode::Position))[7], 0xCA);
}

TEST(DrV1, UnicastFramesUseTheLow16BitsOfTheNodeId) {
  for (std::uint32_t node : {0x201u, 0x10201u}) {
    const auto dest = dest_of(node);
    auto pair = enter_configure_frames(dest);
    EXPECT_EQ(pair[0], bytes({0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54}));
    EXPECT_EQ(pair[1], bytes({0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53}));
    EXPECT_EQ(build_config_frame(kPlainCommand, dest, kCtlExitConfigure),
              bytes({0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}));
    EXPECT_EQ(build_config_frame(kPlainCommand, dest, kCtlEncoderZero),
              bytes({0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x01, 0xDA}));
    EXPECT_EQ(build_config_frame(kPlainCommand, dest, ctl_set_foc_mode(FocMode::Speed)),
              bytes({0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x11, 0xCA}));
  }
}

TEST(DrV1, TargetEncodingScalesTruncatesAndSaturates) {
  EXPECT_EQ(encode_target(10.0f, FocMode::Speed), 100);
  EXPECT_EQ(encode_target(-5.0f, FocMode::Speed), -50);
  EXPECT_EQ(build_target_frame({100, -50, 0, 0}), bytes({0x64, 0x00, 0xCE, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(encode_target(1.999f, FocMode::Current), 199);
  EXPECT_EQ(encode_target(-1.239f, FocMode::Position), -123);
  EXPECT_EQ(encode_target(-0.05f, FocMode::Speed), 0);
  EXPECT_EQ(encode_target(4000.0f, FocMode::Speed), 32767);
  EXPECT_EQ(encode_target(-400.0f, FocMode::Current), -32768);
  EXPECT_EQ(encode_target(std::numeric_limits<float>::infinity(), FocMode::Position), 32767);
  EXPECT_EQ(encode_target(-std::numeric_limits<float>::infinity(), FocMode::Position), -32768);
  EXPECT_EQ(encode_target(std::nanf(""), FocMode::Speed), 0);
  EXPECT_EQ(build_target_frame({32767, -32768, 1, -1}),
            bytes({0xFF, 0x7F, 0x00, 0x80, 0x01, 0x00, 0xFF, 0xFF}));
}

TEST(DrV1, FeedbackDecoding) {
  const Frame8 f = bytes({0x00, 0x00, 0x80, 0x3F, 0x64, 0x00, 0x9C, 0xFF});
  const WatchData w = decode_feedback(f);
  EXPECT_EQ(w.position, 1.0f);
  EXPECT_EQ(w.speed, 10.0f);
  EXPECT_EQ(w.current, -1.0f);
  const Frame8 nan_pos = bytes({0x00, 0x00, 0xC0, 0x7F, 0x00, 0x80, 0xFF, 0x7F});
  const WatchData n = decode_feedback(nan_pos);
  EXPECT_TRUE(std::isnan(n.position));  // not validated
  EXPECT_EQ(n.speed, -3276.8f);
  EXPECT_EQ(n.current, 327.67f);
  const WatchData fresh;
  EXPECT_EQ(fresh.position, 0.0f);
  EXPECT_EQ(fresh.speed, 0.0f);
  EXPECT_EQ(fresh.current, 0.0f);
}
