// Starting runners, and making sure that none outlives the program.
//
// Every runner is started here. It dies with the process however the process
// ends: a parent-death signal covers SIGKILL and every exit, and the ending
// signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) are handled by one thread of the
// program, which stops the live runners, removes the temporary files of the
// tests in flight, and ends the program by the same signal.
//
//   int main() {
//     zel_runtime::handle_ending_signals();  // first, before any thread starts
//     harness::test_main_static(tests, zel_runtime::configure_launches);
//   }
#pragma once

#include <cstddef>
#include <expected>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame.h"

namespace harness {
struct TestOpts;
}

namespace zel_runtime {

// How much of one runner's output a captured test keeps: the end of it.
inline constexpr std::size_t kKeptRunnerOutput = std::size_t{16} << 20;

// Where runners write in a run with `opts`: with a machine-readable format,
// a runner's standard output goes to standard error; with
// "ZEL_CAPTURE_RUNNER_OUTPUT" "1" and output captured, its standard output and
// error go through one pipe into the launching test's captured output (unset,
// empty or "0": to the program's own streams). Returns the problem with any
// other value. A `harness::BeforeRun`: called once, before tests start.
std::optional<std::string> configure_launches(const harness::TestOpts& opts);

// Starts `program` without arguments and with exactly the environment `env`
// ("NAME=value" entries), the inherited working directory and standard input,
// the default SIGPIPE action and no blocked signal, writing where
// `configure_launches` said; waits for it, resuming after signals. A step of the set-up that
// fails is named in the error. If the program is being stopped by a signal,
// never returns: the test is not to report anything more.
std::expected<ExitStatus, OsError> launch(const std::string& program, std::vector<std::string> env);

// Blocks the ending signals that were not ignored at start in the calling
// thread, and so in every thread it starts later, and starts the thread that
// handles them. Called once, first thing in `main`.
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
