// Mismatch messages.
#include "check.h"

#include <algorithm>
#include <cstring>
#include "text.h"

namespace zel_sim::runner {

Failure mismatch(std::string_view context, std::uint16_t tile, std::uint64_t address,
                 std::string_view expected, std::string_view found) {
  return {kCheckFailed, cat(context, ": mismatch on tile ", tile, " at address ", hex(address),
                            ": expected ", expected, ", found ", found)};
}

Outcome compare_bytes(std::string_view context, std::uint16_t tile, std::uint32_t address,
                      std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found) {
  if (expected.size() == found.size() &&
      std::memcmp(expected.data(), found.data(), expected.size()) == 0) {
    return {};
  }
  const auto [e, f] = std::ranges::mismatch(expected, found);
  if (e == expected.end() && f == found.end()) return {};
  if (e == expected.end() || f == found.end()) {
    return std::unexpected(Failure{kCheckFailed, cat(context, ": expected ", expected.size(),
                                                     " bytes, found ", found.size())});
  }
  const auto offset = static_cast<std::uint64_t>(e - expected.begin());
  return std::unexpected(
      mismatch(context, tile, address + offset, cat(hex_byte(*e)), cat(hex_byte(*f))));
}

}  // namespace zel_sim::runner
