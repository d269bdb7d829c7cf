// The default worker count: "RUST_TEST_THREADS", else the processors
// available to the process.
#include <sched.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "env.h"
#include "harness/fatal.h"
#include "harness/options.h"
#include "processors.h"

namespace harness {

namespace {

namespace fs = std::filesystem;

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::vector<std::string> lines_of(const std::optional<std::string>& text) {
  if (!text) return {};
  std::vector<std::string> lines = split(*text, '\n');
  std::erase(lines, "");
  return lines;
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

struct Mount {
  std::string root;         // the path inside the hierarchy that is mounted
  std::string mount_point;  // where it is mounted
};

// The first mount of file-system type `fstype` whose super options include
// `option` (any when empty), from /proc/self/mountinfo.
std::optional<Mount> find_mount(const std::vector<std::string>& mountinfo, std::string_view fstype,
                                std::string_view option) {
  for (const std::string& line : mountinfo) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    if (dash[1] != fstype) continue;
    if (!option.empty()) {
      const auto options = split(dash[3], ',');
      if (std::find(options.begin(), options.end(), option) == options.end()) continue;
    }
    return Mount{fields[3], fields[4]};
  }
  return std::nullopt;
}

// The directory of group `group_path` under `mount`, or nothing when the
// group lies outside what is mounted.
std::optional<fs::path> group_dir(const fs::path& root, const Mount& mount,
                                  const std::string& group_path) {
  std::string relative = group_path;
  if (mount.root != "/") {
    if (!relative.starts_with(mount.root)) return std::nullopt;
    relative.erase(0, mount.root.size());
  }
  fs::path dir = root / fs::path(mount.mount_point).relative_path();
  return (dir / fs::path(relative).relative_path()).lexically_normal();
}

// Walks from `dir` up to `top`, keeping the smallest limit `read_limit` finds.
template <typename ReadLimit>
std::optional<std::size_t> tightest(fs::path dir, const fs::path& top, ReadLimit read_limit) {
  std::optional<std::size_t> best;
  const fs::path stop = top.lexically_normal();
  while (true) {
    if (const auto limit = read_limit(dir)) best = best ? std::min(*best, *limit) : *limit;
    if (dir == stop || dir == dir.parent_path() || !dir.string().starts_with(stop.string())) break;
    dir = dir.parent_path();
  }
  return best;
}

std::optional<std::size_t> whole_processors(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) return std::nullopt;
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, quota / period));
}

std::optional<std::size_t> cgroup2_limit(const fs::path& root,
                                         const std::vector<std::string>& groups,
                                         const std::vector<std::string>& mountinfo) {
  for (const std::string& line : groups) {
    if (!line.starts_with("0::")) continue;
    const auto mount = find_mount(mountinfo, "cgroup2", "");
    if (!mount) return std::nullopt;
    const auto dir = group_dir(root, *mount, line.substr(3));
    if (!dir) return std::nullopt;
    const fs::path top = root / fs::path(mount->mount_point).relative_path();
    return tightest(*dir, top, [](const fs::path& d) -> std::optional<std::size_t> {
      // "max 100000" (no quota) or "150000 100000".
      const auto text = read_file(d / "cpu.max");
      if (!text) return std::nullopt;
      std::istringstream in(*text);
      std::string quota, period;
      if (!(in >> quota >> period)) return std::nullopt;
      const auto q = parse_unsigned(quota);
      const auto p = parse_unsigned(period);
      if (!q || !p) return std::nullopt;
      return whole_processors(*q, *p);
    });
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup1_limit(const fs::path& root,
                                         const std::vector<std::string>& groups,
                                         const std::vector<std::string>& mountinfo) {
  for (const std::string& line : groups) {
    // "4:cpu,cpuacct:/user.slice"
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const auto controllers =
        split(std::string_view(line).substr(first + 1, second - first - 1), ',');
    if (std::find(controllers.begin(), controllers.end(), "cpu") == controllers.end()) continue;
    const auto mount = find_mount(mountinfo, "cgroup", "cpu");
    if (!mount) return std::nullopt;
    const auto dir = group_dir(root, *mount, line.substr(second + 1));
    if (!dir) return std::nullopt;
    const fs::path top = root / fs::path(mount->mount_point).relative_path();
    return tightest(*dir, top, [](const fs::path& d) -> std::optional<std::size_t> {
      const auto quota_text = read_file(d / "cpu.cfs_quota_us");
      const auto period_text = read_file(d / "cpu.cfs_period_us");
      if (!quota_text || !period_text) return std::nullopt;
      // "-1" (no quota) fails the unsigned parse and so counts as no limit.
      const auto quota = parse_unsigned(first_line(*quota_text));
      const auto period = parse_unsigned(first_line(*period_text));
      if (!quota || !period) return std::nullopt;
      return whole_processors(*quota, *period);
    });
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> affinity_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  const int count = CPU_COUNT(&set);
  if (count <= 0) return std::nullopt;
  return static_cast<std::size_t>(count);
}

std::optional<std::size_t> cgroup_processor_limit(const fs::path& root) {
  const auto groups = lines_of(read_file(root / "proc/self/cgroup"));
  const auto mountinfo = lines_of(read_file(root / "proc/self/mountinfo"));
  if (const auto limit = cgroup2_limit(root, groups, mountinfo)) return limit;
  return cgroup1_limit(root, groups, mountinfo);
}

std::size_t get_concurrency() {
  if (const auto text = env_text("RUST_TEST_THREADS")) {
    const auto count = parse_unsigned(*text);
    if (!count || *count == 0) {
      fatal("RUST_TEST_THREADS is `" + *text + "`, should be a positive integer.");
    }
    return static_cast<std::size_t>(*count);
  }
  std::size_t count = affinity_processors().value_or(1);
  if (const auto limit = cgroup_processor_limit("/")) count = std::min(count, *limit);
  return std::max<std::size_t>(count, 1);
}

}  // namespace harness
