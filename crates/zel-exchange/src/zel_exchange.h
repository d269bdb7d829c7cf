// The T742's tile numbering. Software names the card's 1,472 tiles by a
// logical number; the on-chip exchange and the host routes by a physical one.
//
//   const auto topology = zel_exchange::Topology::t742();
//   std::expected<std::uint16_t, ExchangeError> p = topology.physical(456);  // 81
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zel_exchange {

inline constexpr std::uint16_t kT742Tiles = 1472;

// The library's error value. Only `Tile` is raised by the topology; the other
// variants belong to exchange planning (the simulated card uses them).
struct ExchangeError {
  enum class Tag : std::uint16_t { Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket };
  Tag tag = Tag::Tile;
  std::uint32_t number = 0;   // Tile, Count, Address
  std::string_view schedule;  // Schedule: a view into constant text

  static ExchangeError tile(std::uint16_t t) { return {Tag::Tile, t, {}}; }
  static ExchangeError duplicate_tile() { return {Tag::DuplicateTile, 0, {}}; }
  static ExchangeError count(std::uint32_t n) { return {Tag::Count, n, {}}; }
  static ExchangeError receiver_set() { return {Tag::ReceiverSet, 0, {}}; }
  static ExchangeError schedule_error(std::string_view text) { return {Tag::Schedule, 0, text}; }
  static ExchangeError address(std::uint32_t a) { return {Tag::Address, a, {}}; }
  static ExchangeError host_packet() { return {Tag::HostPacket, 0, {}}; }
  bool operator==(const ExchangeError&) const = default;
};

// Tile(1472), DuplicateTile, Schedule("text with \"escapes\""), ...
std::string debug_text(const ExchangeError& error);

// The T742's fixed logical-to-physical permutation (defined for every 16-bit
// input, a permutation only on 0..1471).
constexpr std::uint16_t t742_logical_to_physical(std::uint16_t logical) {
  const std::uint16_t pair = logical / 2;
  const std::uint16_t lane = logical % 2;
  const std::uint16_t block = pair / 23;
  std::uint16_t row = pair % 23;
  if (block % 2 == 1) row = static_cast<std::uint16_t>(22 - row);
  const std::uint16_t column = static_cast<std::uint16_t>((block / 2) * 4 + block % 2);
  return static_cast<std::uint16_t>(row * 64 + column + lane * 2);
}

class Topology {
 public:
  // A new table of the T742's 1,472 tiles.
  static Topology t742();
  explicit Topology(std::vector<std::uint16_t> table) : logical_to_physical(std::move(table)) {}

  // The physical tile of `logical`, or ExchangeError::tile(logical) when the
  // topology has no such tile.
  std::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const;

  std::vector<std::uint16_t> logical_to_physical;
};

}  // namespace zel_exchange
