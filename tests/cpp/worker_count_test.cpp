// Unit tests of the worker count's cgroup v2 quota reading.
#include "runtime/worker_count.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;
using kestro::rt::cgroup_cpu_quota;

namespace {
fs::path make_tree() {
  char tmpl[] = "/tmp/kestro-cg-XXXXXX";
  fs::path root = mkdtemp(tmpl);
  fs::create_directories(root / "a/b");
  return root;
}
void write(const fs::path& p, const char* text) {
  std::ofstream(p) << text;
}
}  // namespace

TEST(WorkerCount, QuotaIsWholeProcessorsAtLeastOne) {
  auto root = make_tree();
  write(root / "a/b/cpu.max", "150000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("0::/a/b\n", root), 1u);
  write(root / "a/b/cpu.max", "50000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("0::/a/b\n", root), 1u);
  write(root / "a/b/cpu.max", "400000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("0::/a/b\n", root), 4u);
  fs::remove_all(root);
}

TEST(WorkerCount, UnlimitedAndMissingMeanNoQuota) {
  auto root = make_tree();
  write(root / "a/b/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("0::/a/b\n", root), std::nullopt);
  EXPECT_EQ(cgroup_cpu_quota("1:cpu:/a/b\n", root), std::nullopt);
  EXPECT_EQ(cgroup_cpu_quota("0::/not/there\n", root), std::nullopt);
  fs::remove_all(root);
}

TEST(WorkerCount, TightestAncestorWins) {
  auto root = make_tree();
  write(root / "a/cpu.max", "200000 100000\n");
  write(root / "a/b/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota("12:memory:/x\n0::/a/b\n", root), 2u);
  fs::remove_all(root);
}

TEST(WorkerCount, AtLeastOne) {
  EXPECT_GE(kestro::rt::available_parallelism(), 1u);
}
