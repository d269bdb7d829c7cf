// A bulk-synchronous superstep of the simulated card: every tile computes,
// all tiles synchronise, then the exchange moves data between tiles. Tiles
// are named by logical number; the card routes by physical number.
//
// Within one exchange every send reads its source before any destination is
// written, so a tile may receive and send in the same phase and sends the
// value it held before the phase. Two sends that write the same byte of a
// tile in one phase are a schedule error: the card refuses the whole
// superstep rather than let one value silently win.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "sim_error.h"
#include "sram.h"

namespace zel_sim {

struct TileContext {
  std::uint16_t tile;      // logical number
  std::uint16_t physical;  // the tile's own physical number
  TileSram& sram;
};

// Runs on one tile and returns the cycles it took.
using Kernel = std::function<std::expected<std::uint32_t, SimError>(TileContext&)>;

struct ComputeTask {
  std::uint16_t tile;
  std::string_view kernel;  // static text, the kernel's name in profiles
  Kernel run;
};

struct Destination {
  std::uint16_t tile;
  std::uint32_t address;
};

// `bytes` bytes at `address` of `source`, to every destination (one
// destination is a point-to-point send, several a multicast).
struct Send {
  std::uint16_t source;
  std::uint32_t address;
  std::uint32_t bytes;
  std::vector<Destination> to;
};

struct Superstep {
  std::string_view operation;  // static text, the step's name in profiles
  std::vector<ComputeTask> compute;
  std::vector<Send> exchange;
};

// Checks an exchange against a card of `tiles` tiles: tile numbers (Tile),
// empty transfers (Count), empty or repeated receivers (ReceiverSet,
// DuplicateTile), SRAM bounds (Address) and two writes to one byte (Schedule).
std::expected<void, SimError> validate_exchange(std::span<const Send> sends, std::uint16_t tiles);

}  // namespace zel_sim
