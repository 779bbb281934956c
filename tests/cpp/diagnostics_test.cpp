// Diagnostic lines: emitting never waits for standard error, and a line whose owner has gone is not written.
#include "runtime/diagnostics.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace diag = kestro::rt::diag;
using namespace std::chrono_literals;

TEST(Diagnostics, StuckStandardErrorNeitherBlocksNorGrowsAndDropsAreCounted) {
  testing::internal::CaptureStderr();
  diag::hold_writer_for_tests(true);
  auto wanted = std::make_shared<std::atomic<bool>>(true);
  diag::emit("from a group that goes\n", wanted);
  wanted->store(false);
  for (int i = 0; i < 1100; ++i) diag::emit("line " + std::to_string(i) + "\n");
  EXPECT_EQ(diag::queued(), 1024u);
  EXPECT_FALSE(diag::flush(20ms));
  diag::hold_writer_for_tests(false);
  ASSERT_TRUE(diag::flush(10s));
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.find("from a group that goes"), std::string::npos);
  EXPECT_EQ(out.find("line 0\n"), 0u);
  EXPECT_NE(out.find("line 1022\n"), std::string::npos);
  EXPECT_EQ(out.find("line 1023\n"), std::string::npos);
  EXPECT_NE(out.find("[kestro] 77 diagnostic lines dropped: standard error is not draining\n"),
            std::string::npos);
}
