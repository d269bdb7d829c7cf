// What a failed test leaves for a look, and where it is kept: a file the test
// would have removed had it passed (the GEMM test's cycle profile) is moved
// into the folder a test engine collects ("TEST_UNDECLARED_OUTPUTS_DIR"), and
// the test's report says where it is.
//
//   const auto kept = keep_on_failure(path, "cycle profile");
//   ...  // a failure from here on first says "cycle profile kept: <path>"
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "harness/test.h"

namespace zel_runtime {

// While the result lives, a failure of the calling test with a file at
// `path` says, before its report, "<what> kept: <final path>" (or "<what>
// kept: <path> (not moved to <folder>: <reason>)"), once the file was moved
// into "TEST_UNDECLARED_OUTPUTS_DIR", named after the test with the
// extension of `path` ("my_test.capnp"), when that is set. Nothing is said or
// moved unless that variable is set or "ZEL_CAPTURE_RUNNER_OUTPUT" is "1".
[[nodiscard]] harness::BeforeFailureReport keep_on_failure(std::string path, std::string what);

// Moves the file `from` to `to`, replacing what is there: a rename, or
// across file systems a copy beside `to` renamed into place and then the
// removal of `from`. On failure `from` stays, `to` is unchanged, and the
// reason is returned.
std::expected<void, std::string> move_file(const std::string& from, const std::string& to);

}  // namespace zel_runtime
