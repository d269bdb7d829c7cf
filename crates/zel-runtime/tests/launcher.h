// Starting runners. Every runner is started here, by absolute path, with the
// environment its test gives it, writing where the run wants its output; it
// dies with the process however the process ends: a parent-death signal covers
// SIGKILL and every exit, and the ending signals are handled by the program's
// signal thread (ending_signals.h). The runner's bound is kept by
// runner_bound.h, its output kept by runner_output.h.
//
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

#include "ending_signals.h"
#include "frame.h"
#include "harness/run.h"
#include "runner_bound.h"

namespace harness {
struct TestOpts;
}

namespace zel_runtime {

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

// Marks `path` as a temporary file of the calling test, removed if the program
// is stopped by a signal before the test releases the device.
void note_temp_file(std::string path);

// The calling test has ended: its temporary files are left as they are.
void forget_temp_files();

}  // namespace zel_runtime
