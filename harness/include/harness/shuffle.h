// Reproducible test shuffling: SipHash-1-3 over the selected names, then a
// front-to-back Fisher-Yates draw seeded by the user's seed.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "harness/formatter.h"
#include "harness/test.h"

namespace harness {

// SipHash-1-3 under the all-zero 128-bit key.
std::uint64_t siphash13(std::span<const std::uint8_t> bytes);
// SipHash-1-3 under an explicit key (k0, k1), for the reference vectors.
std::uint64_t siphash13_keyed(std::uint64_t k0, std::uint64_t k1,
                              std::span<const std::uint8_t> bytes);

// The hash of the entries' names that, with the seed, drives the draw: the
// entry count, then each name's form, text, 0xFF and padding.
std::uint64_t shuffle_names_hash(const std::vector<std::pair<TestId, TestDescAndFn>>& tests);

// Reorders `tests` in place; each entry keeps its id.
void shuffle_tests(std::uint64_t seed, std::vector<std::pair<TestId, TestDescAndFn>>& tests);

}  // namespace harness
