// Encodes a card's cycle log as a cycle-profile message (schema version 3):
// one tile entry per physical tile, in physical order, each with its samples
// in the order they were recorded.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "cycle_log.h"
#include "sim_error.h"

namespace zel_sim {

inline constexpr std::uint32_t kProfileSchemaVersion = 3;

// The message in the unpacked stream encoding, ready to be written to a file.
// Fails only when a cycle count does not fit the format's 32 bits.
std::expected<std::vector<std::uint8_t>, ConfigError> encode_profile(const CycleLog& log,
                                                                     std::uint64_t clock_hz);

// Writes `bytes` to `path` (created or truncated, mode 0644). The error is
// the errno of the call that failed.
std::expected<void, int> write_file(const std::string& path,
                                    const std::vector<std::uint8_t>& bytes);

}  // namespace zel_sim
