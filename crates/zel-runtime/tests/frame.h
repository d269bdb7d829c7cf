// The frame every hardware test stands on: the device lock, the launching of
// runner executables and the judging of how they ended. Failures are reported
// at the caller's position, so a report points into the test body.
//
//   const auto lock = device();
//   Command command(runner_path("zel-hardware-e2e"));
//   command.env("ZEL_GRAPH_TEST", "fanout");
//   require_success("single-source multicast graph",
//                   command.status("launch direct multicast hardware test runner"));
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <ranges>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "card.h"
#include "evidence.h"
#include "harness/stop.h"
#include "harness/test.h"

// Declares the hardware test `name`: its body follows the macro. The test
// function hands the body's empty result to the harness; `name##_line` keeps
// the declaration's line for the registry. Declarations start at column 1, so
// the name starts at column 4, as the registry records.
#define HW(name)                                               \
  static_assert(std::source_location::current().column() == 1, \
                "a hardware test is declared at column 1");    \
  inline constexpr std::size_t name##_line = __LINE__;         \
  static void name##_body();                                   \
  static harness::TestFailureResult name() {                   \
    name##_body();                                             \
    return harness::assert_test_result(0);                     \
  }                                                            \
  static void name##_body()

namespace zel_runtime {

// The process-wide lock that means "this test owns the card". It guards no
// data; holding it keeps every other test's runner off the card.
extern std::mutex DEVICE;

// What a test holds while it owns the card: `DEVICE` and, when a card is
// chosen (card.h), the card's lock file, taken in that order for the guard's
// whole life. Neither copied nor moved; the test keeps it until it returns or
// fails. A card lock that cannot be taken fails the test at `where`.
class DeviceGuard {
 public:
  explicit DeviceGuard(std::source_location where = std::source_location::current());
  ~DeviceGuard();
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
  std::optional<CardLock> card_lock_;
};

// Takes `DEVICE`, then the chosen card's lock, blocking until both are free.
// A test that failed while holding them released them on the way out, so they
// are always taken normally.
[[nodiscard]] DeviceGuard device(std::source_location where = std::source_location::current());

// The directory the runners are started from; fixed when the program is built.
extern const char* const kRunnerDir;

// The absolute path of the runner `name`.
std::string runner_path(std::string_view name);

// An operating-system error number; its debug text names the number, the
// kind and the system's message, after the step that failed when it is known
// ("runner output pipe: Os { code: 24, ... }").
struct OsError {
  int code;
  const char* step = nullptr;
};
std::string debug_text(const OsError& error);

// A runner's termination as the wait reports it (the platform's wait status).
struct ExitStatus {
  int raw = 0;
  bool success() const { return raw == 0; }
};

// "exit status: 1", "signal: 11 (SIGSEGV) (core dumped)", ...
std::string exit_status_text(ExitStatus status);

// "SIGHUP" to "SIGSYS" for 1 to 31; empty for other numbers.
std::string_view signal_name(int signal);

// A variable set on a runner's environment.
struct EnvPair {
  std::string name;
  std::string value;
};

// A runner launch being prepared: the program and the variables to set on top
// of the inherited environment. Values are raw bytes.
class Command {
 public:
  // With a card chosen, the first setting is ZEL_CARD=<id>.
  explicit Command(std::string program);

  // Sets `name` to `value`; a later setting of the same name wins.
  Command& env(std::string name, std::string value);

  const std::string& program() const { return program_; }
  const std::vector<EnvPair>& settings() const { return settings_; }

  // Starts the runner without arguments, with the inherited environment plus
  // the settings, the inherited working directory and standard input, the
  // default SIGPIPE action and output where the launch settings send it
  // (launcher.h); waits for it, resuming after signals.
  std::expected<ExitStatus, OsError> run() const;

  // `run`, failing the test with "<launch_message>: <error>" if the runner
  // cannot be started or waited for.
  ExitStatus status(std::string_view launch_message,
                    std::source_location where = std::source_location::current()) const;

 private:
  std::string program_;
  std::vector<EnvPair> settings_;
};

// The environment a runner gets: `inherited` ("NAME=value" entries) with each
// setting applied in order, replacing every inherited entry of the same name.
std::vector<std::string> runner_environment(const std::vector<std::string>& inherited,
                                            const std::vector<EnvPair>& settings);

// Forwards "ZEL_TEST_HOST_WRITE_JITTER_MAX_US" and
// "ZEL_TEST_HOST_WRITE_JITTER_SEED" of this process, when set (even to an
// empty value), as "ZEL_HOST_WRITE_JITTER_MAX_US" and "ZEL_HOST_WRITE_JITTER_SEED".
void configure_host_write_jitter(Command& command);

// Runs the host-transfer runner with `environment`, then the forwarded jitter
// variables, and returns how it ended. Callers hold the device lock.
ExitStatus host_test(std::initializer_list<EnvPair> environment,
                     std::source_location where = std::source_location::current());
ExitStatus host_test(const std::vector<EnvPair>& environment,
                     std::source_location where = std::source_location::current());

// Returns if the runner exited with code 0; otherwise fails the test with
// hardware capability "<capability>" failed with <status text>.
void require_success(std::string_view capability, ExitStatus status,
                     std::source_location where = std::source_location::current());

// Opens `path` for reading; the descriptor is the caller's.
std::expected<int, OsError> open_file(const std::string& path);

// Deletes the file at `path`.
std::expected<void, OsError> remove_file(const std::string& path);

// The system temporary directory: "TMPDIR" as raw bytes when it is set, even
// to an empty value, otherwise "/tmp".
std::string temp_dir();

// `name` in the temporary directory, with whatever an earlier process left at
// that path removed, so that only what is written from now on can be read
// there. Fails the test if something is there and cannot be removed. The file
// is removed if the program is stopped by a signal before the test ends.
std::string cleared_temp_path(std::string_view name,
                              std::source_location where = std::source_location::current());

// `name` under `dir`, with a separator unless `dir` is empty or ends in one;
// under an empty `dir` the path is the bare name, relative to the working
// directory.
std::string join_path(std::string_view dir, std::string_view name);

// Tile numbers in decimal joined by "," without blanks: "34,71,144".
template <std::ranges::input_range Tiles>
std::string tile_list(const Tiles& tiles) {
  std::string out;
  for (const auto tile : tiles) {
    if (!out.empty()) out.push_back(',');
    out += std::to_string(tile);
  }
  return out;
}

// `value` in lower-case hexadecimal with a "0x" prefix and no padding.
inline std::string hex(std::uint64_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

}  // namespace zel_runtime
