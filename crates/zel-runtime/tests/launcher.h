// Starting runners, and making sure that none outlives the program.
//
// Every runner is started here. It dies with the process however the process
// ends: a parent-death signal covers SIGKILL and every exit, and the ending
// signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) are handled by one thread of the
// program, which stops the live runners, removes the temporary files of the
// tests in flight, and ends the program by the same signal.
//
//   __attribute__((constructor(101))) void early() { zel_runtime::block_ending_signals(); }
//   int main() {
//     zel_runtime::handle_ending_signals();  // first, before any thread starts
//     harness::test_main_static(tests, zel_runtime::configure_launches);
//   }
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame.h"
#include "harness/run.h"

namespace harness {
struct TestOpts;
}

namespace zel_runtime {

// How much of one runner's output a captured test keeps: the end of it.
inline constexpr std::size_t kKeptRunnerOutput = std::size_t{16} << 20;

// How long a runner may run ("ZEL_RUNNER_TIMEOUT"), and the value as given.
struct RunnerBound {
  std::chrono::nanoseconds duration;
  std::string text;
};

// "ZEL_RUNNER_TIMEOUT": nothing when empty; seconds as digits with an
// optional fraction ("600", "2.5", "0600"), above 0 and at most 604800;
// anything else is one line naming the variable and its value.
std::expected<std::optional<RunnerBound>, std::string> parse_runner_bound(std::string_view text);

// Where runners write in a run with `opts`, and how long they may run: with a
// machine-readable format, a runner's standard output goes to standard error;
// with "ZEL_CAPTURE_RUNNER_OUTPUT" "1" and output captured, its standard
// output and error go through one pipe into the launching test's captured
// output, between a line with its command and one with how it ended (unset,
// empty or "0": to the program's own streams). With "ZEL_RUNNER_TIMEOUT", a
// runner still running that long after its launch is stopped as the ending
// signals stop it. Returns the problem with a bad value. A
// `harness::BeforeRun`: called once, before tests start.
std::optional<std::string> configure_launches(const harness::TestOpts& opts);

// Whether "ZEL_CAPTURE_RUNNER_OUTPUT" is "1": a failing test says what it
// leaves behind.
bool keeps_failure_details();

// Starts `program` without arguments and with exactly the environment `env`
// ("NAME=value" entries), the inherited working directory and standard input,
// the default SIGPIPE action and no blocked signal, writing where
// `configure_launches` said; waits for it, resuming after signals.
// `settings_shown`, the variables the test set, make the command line of the
// report. A step of the set-up that fails is named in the error. If the
// program is being stopped by a signal, never returns: the stop reports the
// test.
std::expected<ExitStatus, OsError> launch(const std::string& program,
                                          const std::vector<EnvPair>& settings_shown,
                                          std::vector<std::string> env);

// A line a POSIX shell runs as the launch: the settings as NAME=value, values
// quoted where needed, then the program.
std::string runner_command_line(const std::string& program, const std::vector<EnvPair>& settings);

// `text` as one word for a POSIX shell: as it is when it needs no quoting,
// else in single quotes.
std::string shell_quoted(std::string_view text);

// Blocks the ending signals that were not ignored at start in the calling
// thread, and so in every thread it starts later. One that arrives meanwhile
// waits for `handle_ending_signals`. Called by the program's first
// initialiser, so that a stop before `main` is not lost either.
void block_ending_signals();

// Blocks the ending signals as `block_ending_signals` does and starts the
// thread that handles them, which takes a signal that arrived earlier too.
// Called once, first thing in `main`.
void handle_ending_signals();

// Marks `path` as a temporary file of the calling test, removed if the program
// is stopped by a signal before the test releases the device.
void note_temp_file(std::string path);

// The calling test has ended: its temporary files are left as they are.
void forget_temp_files();

// The end of a stream of bytes, at most `capacity` of them, preceded by a line
// saying how many were left out when there were more.
class OutputTail {
 public:
  explicit OutputTail(std::size_t capacity);
  void append(std::string_view bytes);
  // Writes the line and the kept bytes to `out` without copying them first.
  void write_to(std::ostream& out) const;

 private:
  std::size_t capacity_;
  std::string ring_;
  std::size_t next_ = 0;  // where the next byte goes once the ring is full
  std::size_t total_ = 0;
};

}  // namespace zel_runtime
