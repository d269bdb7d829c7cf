// Captured output shown to the user: decoded leniently, never rejected.
#include <zel_utf8.h>

#include "harness/formatter.h"

namespace harness {

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
  return zel_utf8::decode_lossy(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace harness
