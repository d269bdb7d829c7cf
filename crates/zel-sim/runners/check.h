// How runners compare what they read back with what they expect, and the
// message of the first mismatch:
//   "CONTEXT: mismatch on tile T at address 0xA: expected E, found F"
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runner.h"

namespace zel_sim::runner {

Failure mismatch(std::string_view context, std::uint16_t tile, std::uint64_t address,
                 std::string_view expected, std::string_view found);

// The first differing byte of two equally long ranges; `address` is where
// `found` was read from on `tile`.
Outcome compare_bytes(std::string_view context, std::uint16_t tile, std::uint32_t address,
                      std::span<const std::uint8_t> expected, std::span<const std::uint8_t> found);

}  // namespace zel_sim::runner
