// Any byte string handed to the profile reader yields a report or a typed
// error, never a crash, a hang or a leak; a report that is read back twice is
// the same report; whatever message the fast path decodes, the library's
// accessors read to the same records; and a visit a tile at a time sees the
// same records, or fails with the same error.
#include <kj/io.h>

#include "direct_decode.h"
#include "fuzz_target.h"
#include "profile_support.h"
#include "zel_package.h"

namespace {

void check_fast_path_agrees(const std::uint8_t* data, std::size_t size) {
  const profile_test::Segments segments(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (segments.empty()) return;
  if (const auto direct = zel_package::decode_directly(segments.get())) {
    const auto library = zel_package::read_through_library(segments.get());
    FUZZ_CHECK(library && *library == *direct);
  }
}

}  // namespace

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
  check_fast_path_agrees(data, size);
  // From a file, as the tool reads: a cut-off file is named as such there.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(profile_test::same_outcome(profile_test::visit_bytes(bytes),
                                        profile_test::read_bytes(bytes)));
  return 0;
}
