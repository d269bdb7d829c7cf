// Which card this process tests, and the lock that keeps other processes off
// it. With no card chosen nothing here does anything: no lock file, no
// variable for the runners.
//
//   if (auto problem = choose_card_from_environment()) { /* "error: " + *problem */ }
//   CardLock lock = CardLock::take(*chosen_card()).value();  // held for the test
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zel_runtime {

// Reads one environment variable as raw bytes; nothing when unset.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;

// A card and the folder of its lock file.
struct CardChoice {
  std::string id;
  std::string lock_dir;
  bool allocated_by_ctest = false;  // from ctest's resource allocation
};

// True for 1 to 64 characters of a-z, 0-9 and _ (the rule CTest applies to
// the ids of a resource spec file).
bool is_card_id(std::string_view text);

// The card from the variables `lookup` reads: the first resource group of
// type "cards" that ctest allocated (CTEST_RESOURCE_GROUP_COUNT,
// CTEST_RESOURCE_GROUP_<n>, CTEST_RESOURCE_GROUP_<n>_CARDS), else ZEL_CARD,
// else ZEL_DEFAULT_CARD (what a test registration falls back on); nothing when
// none names one. The lock folder is ZEL_CARD_LOCK_DIR, else /run/lock. A
// malformed value is one line naming the variable and its value.
std::expected<std::optional<CardChoice>, std::string> choose_card(const EnvLookup& lookup);

// Chooses the card of this process from its own environment and keeps it for
// `chosen_card`. Called once, before any test starts; returns the problem
// when a variable is malformed. A card that ctest allocated is named on
// standard error, "running on card <id> of host <host>", so that ctest's log
// and its JUnit say which card a test used, whether it passed or not.
std::optional<std::string> choose_card_from_environment();

// The card chosen for this process, if any.
const std::optional<CardChoice>& chosen_card();

// The path of `card`'s lock file: <lock_dir>/zel-t742-card-<id>.lock.
std::string card_lock_path(const CardChoice& card);

// An exclusive flock on a card's lock file, for as long as the object lives.
// The file is created when missing (mode 0644), opened close-on-exec so no
// runner inherits it, and never through a symbolic link.
class CardLock {
 public:
  // Blocks until the lock is taken; on failure a message naming the path and
  // the system's reason. A `waiter` (a test's name) that has waited a second
  // says so once on standard error: "test <waiter> is waiting for card <id>
  // (held by process <pid>)", without the part in brackets unless the pid in
  // the file is of a process the kernel's table of locks shows holding the
  // lock. The holder writes its pid into the file when it may write it, and
  // clears it before it lets go.
  static std::expected<CardLock, std::string> take(const CardChoice& card,
                                                   std::string_view waiter = {});

  CardLock(CardLock&& other) noexcept;
  CardLock& operator=(CardLock&&) = delete;
  CardLock(const CardLock&) = delete;
  ~CardLock();

 private:
  explicit CardLock(int fd) : fd_(fd) {}
  int fd_;
  bool names_holder_ = false;
};

// Clears this process's pid from every card lock file it holds, and keeps it
// from naming itself in any lock file from now on: the program is ending by
// a signal, with locks its parked tests never let go.
void clear_card_holders();

}  // namespace zel_runtime
