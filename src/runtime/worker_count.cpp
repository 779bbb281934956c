// Owns reading the affinity mask and the cgroup v2 CPU quota.
#include "runtime/worker_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace kestro::rt {

namespace {

std::optional<unsigned> read_cpu_max(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string quota, period;
  if (!(in >> quota >> period) || quota == "max") return std::nullopt;
  try {
    const unsigned long long q = std::stoull(quota);
    const unsigned long long p = std::stoull(period);
    if (p == 0) return std::nullopt;
    return static_cast<unsigned>(std::max<unsigned long long>(1, q / p));
  } catch (...) {
    return std::nullopt;
  }
}

unsigned affinity_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace

std::optional<unsigned> cgroup_cpu_quota(std::string_view proc_self_cgroup,
                                         const std::filesystem::path& cgroup_root) {
  std::istringstream lines{std::string(proc_self_cgroup)};
  std::string line;
  while (std::getline(lines, line)) {
    // The unified (v2) hierarchy is the line "0::/path".
    if (!line.starts_with("0::")) continue;
    std::filesystem::path rel = line.substr(3);
    std::filesystem::path dir = cgroup_root / rel.relative_path();
    std::optional<unsigned> best;
    for (;;) {
      if (auto q = read_cpu_max(dir / "cpu.max")) best = best ? std::min(*best, *q) : *q;
      if (dir == cgroup_root || !dir.has_parent_path() || dir.parent_path() == dir) break;
      const auto parent = dir.parent_path();
      if (parent.native().size() < cgroup_root.native().size()) break;
      dir = parent;
    }
    return best;
  }
  return std::nullopt;
}

unsigned available_parallelism() {
  unsigned n = affinity_count();
  std::ifstream in("/proc/self/cgroup");
  std::stringstream text;
  text << in.rdbuf();
  if (auto quota = cgroup_cpu_quota(text.str(), "/sys/fs/cgroup")) n = std::min(n, *quota);
  return std::max(1u, n);
}

}  // namespace kestro::rt
