// Unit tests of parsing `ip -details link show` output.
#include <gtest/gtest.h>

#include "comm/can/provision.hpp"

using kestro::comm::parse_interface_state;

TEST(ProvisionParse, UpIsAWholeFlag) {
  EXPECT_TRUE(parse_interface_state("3: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16\n").up);
  EXPECT_FALSE(parse_interface_state("3: can0: <NOARP,LOWER_UP,ECHO> mtu 16\n").up);
  EXPECT_FALSE(parse_interface_state("3: can0: <NOARP,ECHO> mtu 16 state UP\n").up);
  EXPECT_FALSE(parse_interface_state("3: can0: NOARP,UP mtu 16\n").up);
  EXPECT_FALSE(parse_interface_state("3: can0: <NOARP,UP mtu 16\n").up);
  EXPECT_TRUE(parse_interface_state("x <UP> y").up);
  // Only the first bracket pair counts.
  EXPECT_FALSE(parse_interface_state("<ECHO> <UP>").up);
}

TEST(ProvisionParse, BitrateFromTheFirstLineNamingIt) {
  const char* real =
      "3: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP\n"
      "    link/can  promiscuity 0\n"
      "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0 \n"
      "\t  bitrate 1000000 sample-point 0.750\n";
  auto s = parse_interface_state(real);
  EXPECT_TRUE(s.up);
  EXPECT_EQ(s.bitrate, 1000000u);
  EXPECT_FALSE(s.is_virtual);
  EXPECT_EQ(parse_interface_state("bitrate 500000\n").bitrate, 500000u);
  EXPECT_EQ(parse_interface_state("<UP>\n").bitrate, std::nullopt);
  // A non-digit after the first "bitrate " hides later numbers.
  EXPECT_EQ(parse_interface_state("  bitrate x\n  bitrate 1000000\n").bitrate, std::nullopt);
  EXPECT_EQ(parse_interface_state("  maxbitrate\n  bitrate 250000\n").bitrate, 250000u);
  EXPECT_EQ(parse_interface_state("bitrate 4294967295\n").bitrate, 4294967295u);
  EXPECT_EQ(parse_interface_state("bitrate 4294967296\n").bitrate, std::nullopt);
  EXPECT_EQ(parse_interface_state("bitrate 99999999999999999999999\n").bitrate, std::nullopt);
  EXPECT_EQ(parse_interface_state("<UP>\r\n bitrate 125000\r\n").bitrate, 125000u);
  EXPECT_EQ(parse_interface_state("bitrate 1000000kbit\n").bitrate, 1000000u);
}

TEST(ProvisionParse, VirtualInterfacesByFirstWord) {
  const char* vcan =
      "5: vcan0: <NOARP,UP,LOWER_UP> mtu 72 qdisc noqueue state UNKNOWN\n"
      "    link/can  promiscuity 0 minmtu 0 maxmtu 0 \n"
      "    vcan numtxqueues 1 numrxqueues 1 gso_max_size 65536\n";
  EXPECT_TRUE(parse_interface_state(vcan).is_virtual);
  EXPECT_TRUE(parse_interface_state("x\n\tvxcan peer vxcan1\n").is_virtual);
  EXPECT_FALSE(parse_interface_state("x\n  vcanx numtxqueues 1\n").is_virtual);
  EXPECT_FALSE(parse_interface_state("x\n  link vcan\n").is_virtual);
  EXPECT_FALSE(parse_interface_state("5: vcan0: <UP>\n").is_virtual);
}
