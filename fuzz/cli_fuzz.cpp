// Any argument list, with any values of the harness variables, gives options,
// the help or an error message: never a crash. (A bad harness variable ends the
// process with status 101 by design; the fuzzer sees that as a normal exit.)
//
// Input: NUL-separated tokens. A token "=<k><value>" sets harness variable k
// (k taken modulo the table below) to <value>; every other token is an argument.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "harness/cli.h"

namespace {

constexpr const char* kVariables[] = {
    "RUSTC_BOOTSTRAP",     "RUST_TEST_NOCAPTURE",        "RUST_TEST_SHUFFLE",
    "RUST_TEST_SHUFFLE_SEED", "RUST_TEST_TIME_UNIT",     "RUST_TEST_TIME_INTEGRATION",
    "RUST_TEST_TIME_DOCTEST", "RUST_TEST_THREADS",
};
constexpr std::size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const char* name : kVariables) unsetenv(name);
  std::vector<std::string> args{"hardware_e2e"};
  std::string token;
  auto finish = [&] {
    if (token.size() >= 2 && token[0] == '=') {
      const auto k = static_cast<unsigned char>(token[1]) % kVariableCount;
      setenv(kVariables[k], token.c_str() + 2, 1);
    } else {
      args.push_back(token);
    }
    token.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      finish();
    } else {
      token.push_back(static_cast<char>(data[i]));
    }
  }
  if (!token.empty()) finish();

  const auto outcome = harness::parse_opts(args);
  if (const auto* opts = std::get_if<harness::TestOpts>(&outcome)) {
    FUZZ_CHECK(!opts->test_threads || *opts->test_threads > 0);
    if (opts->time_options) {
      for (const auto& t : {opts->time_options->unit_threshold,
                            opts->time_options->integration_threshold,
                            opts->time_options->doctest_threshold}) {
        FUZZ_CHECK(t.warn <= t.critical);
      }
    }
  } else if (const auto* error = std::get_if<harness::ParseError>(&outcome)) {
    FUZZ_CHECK(!error->message.empty());
  }
  return 0;
}
