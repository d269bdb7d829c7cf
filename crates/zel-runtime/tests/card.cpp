// Card choice from the environment and the per-card lock file.
#include "card.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "harness/debug.h"
#include "harness/run.h"
#include "harness/stop.h"

namespace zel_runtime {
namespace {

constexpr std::string_view kIdRule = "a card id of 1 to 64 characters from a-z, 0-9 and _";

std::string malformed(std::string_view variable, std::string_view value,
                      std::string_view expected) {
  return std::string(variable) + " is " + harness::debug_str(value) + ", expected " +
         std::string(expected);
}

bool is_decimal(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The first id of a group's allocation, "id:<id>,slots:<k>" entries joined
// by ";"; every entry must be well formed.
std::optional<std::string> first_allocated_id(std::string_view allocation) {
  std::optional<std::string> first;
  while (true) {
    const std::size_t end = allocation.find(';');
    std::string_view entry = allocation.substr(0, end);
    const std::size_t comma = entry.find(',');
    if (!entry.starts_with("id:") || comma == std::string_view::npos) return std::nullopt;
    const std::string_view id = entry.substr(3, comma - 3);
    const std::string_view slots = entry.substr(comma + 1);
    if (!is_card_id(id) || !slots.starts_with("slots:") || !is_decimal(slots.substr(6))) {
      return std::nullopt;
    }
    if (!first) first = std::string(id);
    if (end == std::string_view::npos) return first;
    allocation.remove_prefix(end + 1);
  }
}

// The card ctest allocated: nothing when it allocated no group of cards.
std::expected<std::optional<std::string>, std::string> card_from_ctest(const EnvLookup& lookup) {
  const std::string count_name = "CTEST_RESOURCE_GROUP_COUNT";
  const std::optional<std::string> count_text = lookup(count_name);
  if (!count_text) return std::nullopt;
  // More groups than this is no allocation ctest makes; the bound keeps the
  // loop below short whatever the variable says.
  constexpr std::size_t kMaxDigits = 6;
  if (!is_decimal(*count_text) || count_text->size() > kMaxDigits) {
    return std::unexpected(malformed(count_name, *count_text, "a decimal number of groups"));
  }
  const unsigned long count = std::stoul(*count_text);
  for (unsigned long group = 0; group < count; ++group) {
    const std::string type_name = "CTEST_RESOURCE_GROUP_" + std::to_string(group);
    const std::optional<std::string> type = lookup(type_name);
    if (!type) {
      return std::unexpected(type_name + " is not set, expected a resource type (" + count_name +
                             " is " + harness::debug_str(*count_text) + ")");
    }
    if (*type != "cards") continue;
    const std::string cards_name = type_name + "_CARDS";
    const std::optional<std::string> allocation = lookup(cards_name);
    if (!allocation) {
      return std::unexpected(cards_name + " is not set, expected \"id:<card id>,slots:<count>\"");
    }
    if (auto id = first_allocated_id(*allocation)) return id;
    return std::unexpected(malformed(
        cards_name, *allocation, "\"id:<card id>,slots:<count>\" with " + std::string(kIdRule)));
  }
  return std::nullopt;
}

std::optional<std::string> process_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<CardChoice> g_chosen;

// How long a test waits for its card before it says so.
constexpr auto kWaitNotice = std::chrono::seconds(1);

// Tries the lock for `patience`, more and more seldom; true once it is taken.
bool wait_quietly(int fd, std::chrono::steady_clock::duration patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  auto pause = std::chrono::milliseconds(5);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, until - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

// Whether the kernel's table of locks has process `pid` holding a flock on
// the file `info` describes. Its lines read "1: FLOCK  ADVISORY  WRITE 4242
// 08:01:1234567 0 EOF", the device's numbers in hexadecimal; a waiter's line
// has "->" after the number.
bool holds_flock(pid_t pid, const struct stat& info) {
  std::ifstream table("/proc/locks");
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, holder, where;
    fields >> number >> kind >> mode >> access >> holder >> where;
    if (kind == "FLOCK" && holder == std::to_string(pid) && where == file) return true;
  }
  return false;
}

// The pid the lock file names, when that process holds the lock now: a pid
// left by a program killed with SIGKILL may belong to another process since.
std::optional<std::string> live_holder(int fd) {
  char text[24] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  const std::string_view content(text, static_cast<std::size_t>(n));
  const std::string_view digits = content.substr(0, content.find('\n'));
  if (!is_decimal(digits) || digits.size() > 9) return std::nullopt;
  const pid_t pid = static_cast<pid_t>(std::stol(std::string(digits)));
  struct stat info {};
  if (pid <= 0 || ::fstat(fd, &info) != 0 || !holds_flock(pid, info)) return std::nullopt;
  return std::string(digits);
}

// The lock files this process names itself in; once cleared for a stop, it
// names itself in no more.
struct NamedLocks {
  std::mutex mutex;
  std::vector<int> fds;
  bool cleared = false;
};

NamedLocks& named_locks() {
  static auto* locks = new NamedLocks;  // never destroyed: test threads may outlive main
  return *locks;
}

}  // namespace

bool is_card_id(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (const char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

std::expected<std::optional<CardChoice>, std::string> choose_card(const EnvLookup& lookup) {
  auto from_ctest = card_from_ctest(lookup);
  if (!from_ctest) return std::unexpected(from_ctest.error());
  std::optional<std::string> id = std::move(*from_ctest);
  const bool allocated_by_ctest = id.has_value();
  for (const char* variable : {"ZEL_CARD", "ZEL_DEFAULT_CARD"}) {
    if (id) break;
    id = lookup(variable);
    if (id && !is_card_id(*id)) return std::unexpected(malformed(variable, *id, kIdRule));
  }
  if (!id) return std::nullopt;
  std::string lock_dir = lookup("ZEL_CARD_LOCK_DIR").value_or("/run/lock");
  // A relative folder would give each working directory a lock of its own.
  if (!lock_dir.starts_with('/')) {
    return std::unexpected(malformed("ZEL_CARD_LOCK_DIR", lock_dir, "an absolute folder path"));
  }
  return CardChoice{std::move(*id), std::move(lock_dir), allocated_by_ctest};
}

std::optional<std::string> choose_card_from_environment() {
  auto chosen = choose_card(process_env);
  if (!chosen) return chosen.error();
  g_chosen = std::move(*chosen);
  if (g_chosen && g_chosen->allocated_by_ctest) {
    const std::string line =
        "running on card " + g_chosen->id + " of host " + harness::host_name() + "\n";
    [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
  }
  return std::nullopt;
}

const std::optional<CardChoice>& chosen_card() {
  return g_chosen;
}

std::string card_lock_path(const CardChoice& card) {
  std::string path = card.lock_dir;
  if (!path.ends_with('/')) path.push_back('/');
  return path + "zel-t742-card-" + card.id + ".lock";
}

std::expected<CardLock, std::string> CardLock::take(const CardChoice& card,
                                                    std::string_view waiter) {
  const std::string path = card_lock_path(card);
  const auto failure = [&](std::string_view step, int error) {
    return std::unexpected("cannot lock card " + card.id + ": " + std::string(step) + " " + path +
                           ": " + std::strerror(error));
  };
  // O_NOFOLLOW: in a folder everyone may write to, another user's link must
  // not make us create or lock a file elsewhere. O_NONBLOCK: a FIFO put in
  // the file's place must not hang the open; it is refused below. The file is
  // created exclusively first, because opening another user's file with
  // O_CREAT in a sticky folder is refused where fs.protected_regular is on.
  // Read and write, so the holder can name itself in the file; another
  // user's file opens for reading only.
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = -1;
  bool writable = true;
  while (fd < 0) {
    fd = ::open(path.c_str(), kFlags | O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
      // The creator's umask must not keep other users from the lock.
      ::fchmod(fd, 0644);
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EEXIST) return failure("create", errno);
    fd = ::open(path.c_str(), kFlags | O_RDWR);
    if (fd < 0 && errno == EACCES) {
      writable = false;
      fd = ::open(path.c_str(), kFlags | O_RDONLY);
    }
    if (fd < 0 && errno != ENOENT && errno != EINTR) return failure("open", errno);
    // ENOENT: removed between the two opens; create it again.
  }
  CardLock lock(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return failure("inspect", errno);
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected("cannot lock card " + card.id + ": " + path + " is not a regular file");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return failure("lock", errno);
    const harness::Activity waiting("while waiting for the card");
    if (!wait_quietly(fd, kWaitNotice) && !waiter.empty()) {
      std::string notice = "test " + std::string(waiter) + " is waiting for card " + card.id;
      if (const auto holder = live_holder(fd)) notice += " (held by process " + *holder + ")";
      notice += "\n";
      // Straight to the program's standard error: a captured test's stream
      // would keep it until the test ends.
      [[maybe_unused]] const ssize_t n = ::write(2, notice.data(), notice.size());
    }
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return failure("lock", errno);
    }
  }
  NamedLocks& named = named_locks();
  const std::lock_guard names(named.mutex);
  if (writable && !named.cleared) {
    const std::string pid = std::to_string(::getpid()) + "\n";
    lock.names_holder_ = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) ==
                                                        static_cast<ssize_t>(pid.size());
    named.fds.push_back(fd);
  }
  return lock;
}

void clear_card_holders() {
  NamedLocks& named = named_locks();
  const std::lock_guard names(named.mutex);
  named.cleared = true;
  for (const int fd : named.fds) {
    [[maybe_unused]] const int emptied = ::ftruncate(fd, 0);
  }
}

CardLock::CardLock(CardLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), names_holder_(std::exchange(other.names_holder_, false)) {}

CardLock::~CardLock() {
  if (fd_ < 0) return;
  NamedLocks& named = named_locks();
  const std::lock_guard names(named.mutex);
  std::erase(named.fds, fd_);
  // Still holding the lock: no waiter may read a pid that no longer holds it.
  [[maybe_unused]] const int cleared = names_holder_ ? ::ftruncate(fd_, 0) : 0;
  ::close(fd_);
}

}  // namespace zel_runtime
