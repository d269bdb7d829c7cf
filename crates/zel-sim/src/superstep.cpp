// Validation of an exchange schedule before anything moves.
#include "superstep.h"

#include <algorithm>
#include "text.h"

namespace zel_sim {

namespace {

using zel_exchange::ExchangeError;

std::expected<void, SimError> check_tile(std::uint16_t tile, std::uint16_t tiles,
                                         std::string_view role) {
  if (tile < tiles) return {};
  return std::unexpected(sim_error(
      ExchangeError::tile(tile),
      cat(role, " tile ", tile, " is not on the card, which has tiles 0 to ", tiles - 1)));
}

std::expected<void, SimError> check_range(std::uint16_t tile, std::uint32_t address,
                                          std::uint32_t bytes, std::string_view role) {
  if (std::uint64_t{address} + bytes <= kSramBytes) return {};
  return std::unexpected(
      sim_error(ExchangeError::address(address),
                cat(role, " tile ", tile, ": ", bytes, " bytes at ", hex(address),
                    " pass the end of the ", hex(kSramBytes), "-byte SRAM")));
}

struct Write {
  std::uint16_t tile;
  std::uint32_t start;
  std::uint32_t end;
  std::uint16_t source;
};

}  // namespace

std::expected<void, SimError> validate_exchange(std::span<const Send> sends, std::uint16_t tiles) {
  std::vector<Write> writes;
  for (const Send& send : sends) {
    if (auto ok = check_tile(send.source, tiles, "source"); !ok) return ok;
    if (send.bytes == 0) {
      return std::unexpected(
          sim_error(ExchangeError::count(0),
                    cat("source tile ", send.source, " sends 0 bytes from ", hex(send.address))));
    }
    if (send.to.empty()) {
      return std::unexpected(sim_error(ExchangeError::receiver_set(),
                                       cat("source tile ", send.source, " sends to no receiver")));
    }
    if (auto ok = check_range(send.source, send.address, send.bytes, "source"); !ok) return ok;
    const std::size_t first = writes.size();
    for (const Destination& to : send.to) {
      if (auto ok = check_tile(to.tile, tiles, "receiving"); !ok) return ok;
      if (auto ok = check_range(to.tile, to.address, send.bytes, "receiving"); !ok) return ok;
      writes.push_back({to.tile, to.address, to.address + send.bytes, send.source});
    }
    std::vector<std::uint16_t> receivers;
    for (std::size_t i = first; i < writes.size(); ++i) receivers.push_back(writes[i].tile);
    std::ranges::sort(receivers);
    if (const auto twice = std::ranges::adjacent_find(receivers); twice != receivers.end()) {
      return std::unexpected(
          sim_error(ExchangeError::duplicate_tile(),
                    cat("source tile ", send.source, " names receiver ", *twice, " twice")));
    }
  }
  std::ranges::sort(writes, [](const Write& a, const Write& b) {
    return a.tile != b.tile ? a.tile < b.tile : a.start < b.start;
  });
  for (std::size_t i = 1; i < writes.size(); ++i) {
    const Write& a = writes[i - 1];
    const Write& b = writes[i];
    if (a.tile == b.tile && b.start < a.end) {
      return std::unexpected(
          sim_error(ExchangeError::schedule_error("two sends write one address in one phase"),
                    cat("tile ", a.tile, " receives ", hex(a.start), "..", hex(a.end),
                        " from tile ", a.source, " and ", hex(b.start), "..", hex(b.end),
                        " from tile ", b.source, " in one phase")));
    }
  }
  return {};
}

}  // namespace zel_sim
