// The tile set of the host-route coverage test: tiles whose physical numbers,
// taken together, give every field of a T742 physical tile number every value
// it can take (all 64 positions of row 0, position 17 of rows 1 to 22).
#pragma once

#include <cstdint>
#include <source_location>
#include <vector>

#include "zel_exchange.h"

namespace zel_runtime {

// 0 to 63, then r * 64 + 17 for r = 1 to 22: 86 physical tiles.
std::vector<std::uint16_t> host_route_physical_tiles();

// The logical tile of each physical one, found by trying logical 0 to 1471 in
// order. Fails the test on a lookup error or a physical tile no logical tile
// maps to.
std::vector<std::uint16_t> logical_tiles(
    const zel_exchange::Topology& topology, const std::vector<std::uint16_t>& physical,
    std::source_location where = std::source_location::current());

}  // namespace zel_runtime
