// Choosing the tiles of the host-route coverage test.
#include "host_routes.h"

#include "harness/test.h"

namespace zel_runtime {

std::vector<std::uint16_t> host_route_physical_tiles() {
  constexpr std::uint16_t kRowLength = 64;
  constexpr std::uint16_t kRows = 23;
  constexpr std::uint16_t kProbePosition = 17;
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t position = 0; position < kRowLength; ++position) tiles.push_back(position);
  for (std::uint16_t row = 1; row < kRows; ++row) {
    tiles.push_back(static_cast<std::uint16_t>(row * kRowLength + kProbePosition));
  }
  return tiles;
}

std::vector<std::uint16_t> logical_tiles(const zel_exchange::Topology& topology,
                                         const std::vector<std::uint16_t>& physical,
                                         std::source_location where) {
  // The T742's tile count, not the topology's: the search covers the card.
  constexpr std::uint16_t kT742Tiles = 1472;
  std::vector<std::uint16_t> logical;
  logical.reserve(physical.size());
  for (const std::uint16_t wanted : physical) {
    bool found = false;
    for (std::uint16_t candidate = 0; candidate < kT742Tiles && !found; ++candidate) {
      if (harness::unwrap(topology.physical(candidate), where) == wanted) {
        logical.push_back(candidate);
        found = true;
      }
    }
    if (!found) harness::panic("physical T742 tile must have a logical tile", where);
  }
  return logical;
}

}  // namespace zel_runtime
