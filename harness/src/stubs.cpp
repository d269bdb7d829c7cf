// Temporary stand-ins so the harness links while its parts are being built.
// Each part deletes its block here when it lands.
#include <cstdlib>
#include <iostream>

#include "harness/cli.h"
#include "harness/fatal.h"
#include "harness/formatter.h"
#include "harness/options.h"

namespace harness {

// --- fatal failures (replaced by the core) ---
void fatal(const std::string& message, std::source_location) {
  std::cerr << "\nthread 'main' panicked:\n" << message << "\n";
  std::exit(101);
}

}  // namespace harness
