// Owns the choice of the runtime's worker count: the processors the process may use.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace kestro::rt {

// The CPU affinity count, lowered by a cgroup v2 `cpu.max` quota when one is set; at least 1.
unsigned available_parallelism();

// The quota in whole processors (at least 1) set by `cpu.max` on the cgroup named in `proc_self_cgroup` (the
// text of /proc/self/cgroup) or any of its ancestors under `cgroup_root`; nullopt when none is set.
std::optional<unsigned> cgroup_cpu_quota(std::string_view proc_self_cgroup,
                                         const std::filesystem::path& cgroup_root);

}  // namespace kestro::rt
