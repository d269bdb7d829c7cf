// The failure report of a thread ("thread '{name}' ({id}) panicked at ...")
// and the hook that rescues a test's captured output when a failure aborts
// the whole process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harness {

// Where a failure was raised.
struct FailureSite {
  std::string_view file;
  std::size_t line = 0;
  std::size_t column = 0;
};

// "\nthread '{name}' ({id}) panicked at {file}:{line}:{col}:\n{message}\n",
// followed by a symbolised backtrace when "RUST_BACKTRACE" enables one, or
// else, for the first report of the process only, the note saying how to get
// one.
std::string failure_report(std::string_view message, const FailureSite& site);

// Writes `failure_report` to this thread's std::cerr, so a capturing test
// thread keeps it in its captured output.
void report_failure(std::string_view message, const FailureSite& site);

// Fatal signals (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL) and
// std::terminate first write the failing thread's captured output to fd 1,
// then go on to the handler that was there before. Installed in front of the
// existing handlers; `remove_failure_hook` puts those back, except where a
// handler installed since has taken the hook's place.
void install_failure_hook();
void remove_failure_hook();

}  // namespace harness
