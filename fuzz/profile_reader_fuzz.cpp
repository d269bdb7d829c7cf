// Any byte string handed to the profile reader yields a report or a typed
// error, never a crash, a hang or a leak; a report that is read back twice is
// the same report.
#include <kj/io.h>

#include "fuzz_target.h"
#include "zel_package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto read = [&] {
    return zel_package::ProfileReport::read(
        kj::heap<kj::ArrayInputStream>(kj::arrayPtr(data, size)));
  };
  auto first = read();
  if (first) {
    auto second = read();
    FUZZ_CHECK(second && *second == *first);
  } else {
    FUZZ_CHECK(!zel_package::debug_text(first.error()).empty());
  }
  return 0;
}
