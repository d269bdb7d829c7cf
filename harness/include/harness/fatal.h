// Fatal failures of the harness itself (a bad harness variable, a thread that
// cannot be created): the message is reported on standard error in the form
// of a failure report of the main thread, and the process ends with status 101.
#pragma once

#include <source_location>
#include <string>

namespace harness {

[[noreturn]] void fatal(const std::string& message,
                        std::source_location where = std::source_location::current());

}  // namespace harness
