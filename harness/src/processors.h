// The number of processors the process may use: its affinity mask, limited
// by a control-group CPU quota when it runs under one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

namespace harness {

// Processors in the affinity mask of the calling thread; nothing when the
// system does not say.
std::optional<std::size_t> affinity_processors();

// The whole processors a CPU quota of the process's control group (cgroup v2
// "cpu.max", or v1 "cpu.cfs_quota_us" / "cpu.cfs_period_us") allows, the
// tightest along the path from the group up to the hierarchy's root, at least
// 1; nothing when no quota applies. `root` prefixes every path read ("/" in
// production; a fake tree in tests).
std::optional<std::size_t> cgroup_processor_limit(const std::filesystem::path& root);

}  // namespace harness
