// The T742 topology table and the debug text of exchange errors.
#include "zel_exchange.h"

#include "zel_text.h"

namespace zel_exchange {

std::string debug_text(const ExchangeError& error) {
  using Tag = ExchangeError::Tag;
  switch (error.tag) {
    case Tag::Tile: return "Tile(" + std::to_string(error.number) + ")";
    case Tag::DuplicateTile: return "DuplicateTile";
    case Tag::Count: return "Count(" + std::to_string(error.number) + ")";
    case Tag::ReceiverSet: return "ReceiverSet";
    case Tag::Schedule: return "Schedule(" + zel_text::debug_quoted(error.schedule) + ")";
    case Tag::Address: return "Address(" + std::to_string(error.number) + ")";
    case Tag::HostPacket: return "HostPacket";
  }
  return "Unknown";
}

Topology Topology::t742() {
  std::vector<std::uint16_t> table;
  table.reserve(kT742Tiles);
  for (std::uint16_t logical = 0; logical < kT742Tiles; ++logical) {
    table.push_back(t742_logical_to_physical(logical));
  }
  return Topology(std::move(table));
}

std::expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const {
  if (logical < logical_to_physical.size()) return logical_to_physical[logical];
  return std::unexpected(ExchangeError::tile(logical));
}

}  // namespace zel_exchange
