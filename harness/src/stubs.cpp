// Temporary stand-ins so the harness links while its parts are being built.
// Each part deletes its block here when it lands.
#include <cstdlib>
#include <iostream>

#include "harness/cli.h"
#include "harness/fatal.h"
#include "harness/formatter.h"
#include "harness/options.h"

namespace harness {

// --- command line (replaced by cli.cpp) ---
ParseOutcome parse_opts(const std::vector<std::string>&) {
  TestOpts opts;
  const char* nocapture = std::getenv("RUST_TEST_NOCAPTURE");
  opts.nocapture = nocapture != nullptr && std::string(nocapture) != "0";
  return opts;
}

// --- concurrency (replaced by concurrency.cpp) ---
std::size_t get_concurrency() { return 2; }

// --- fatal failures (replaced by the core) ---
void fatal(const std::string& message, std::source_location) {
  std::cerr << "\nthread 'main' panicked:\n" << message << "\n";
  std::exit(101);
}

// --- machine-readable formats (replaced by json_formatter.cpp, junit_formatter.cpp) ---
std::unique_ptr<OutputFormatter> make_json_formatter(OutputSink&) { return nullptr; }
std::unique_ptr<OutputFormatter> make_junit_formatter(OutputSink&) { return nullptr; }

}  // namespace harness
