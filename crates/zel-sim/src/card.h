// The simulated T742: 1,472 tiles with their own SRAM, a host link and an
// exchange that runs bulk-synchronous supersteps.
//
//   Card card(jitter_settings);
//   std::vector<std::uint8_t> data(256), back(256);
//   card.write_from_host({{HostWrite{1471, 0x1000, data}}});   // H2D
//   card.run(step);                                               // compute, sync, exchange
//   card.read_to_host({{HostRead{1471, 0x1000, back}}});        // D2H
//
// Programs name tiles by logical number; the card stores every tile under its
// physical number from the T742 topology and routes host packets by it.
// Every operation checks its whole batch before it changes anything, except
// that a kernel failing part-way leaves what earlier kernels wrote.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "cycle_log.h"
#include "jitter.h"
#include "sim_error.h"
#include "sram.h"
#include "superstep.h"
#include "zel_exchange.h"

namespace zel_sim {

// H2D: `data` to `address` of logical tile `tile`.
struct HostWrite {
  std::uint16_t tile;
  std::uint32_t address;
  std::span<const std::uint8_t> data;
};

// D2H: `into.size()` bytes at `address` of logical tile `tile`, written by
// the tile into the host range `into`. The host ranges of one batch must not
// overlap.
struct HostRead {
  std::uint16_t tile;
  std::uint32_t address;
  std::span<std::uint8_t> into;
};

// The cost model of the cycle accounting.
struct CycleCosts {
  static constexpr std::uint64_t kClockHz = 1'850'000'000;
  static constexpr std::uint32_t kSync = 64;
  static constexpr std::uint32_t kExchangeLatency = 24;
  static constexpr std::uint32_t kExchangeBytesPerCycle = 4;
  static constexpr std::uint32_t kHostLatency = 600;
  static constexpr std::uint32_t kHostBytesPerCycle = 8;
};

class Card {
 public:
  // Host transfers travel in packets of at most this many bytes.
  static constexpr std::uint32_t kHostPacketBytes = 1024;

  explicit Card(JitterSettings jitter = {});

  const zel_exchange::Topology& topology() const { return topology_; }
  std::uint16_t tiles() const { return zel_exchange::kT742Tiles; }

  std::expected<void, SimError> write_from_host(std::span<const HostWrite> writes);
  std::expected<void, SimError> read_to_host(std::span<const HostRead> reads);
  std::expected<void, SimError> run(const Superstep& step);

  // Direct access to a tile's SRAM by logical number, as a debugger reads it:
  // no host link, no jitter, no cycles.
  std::expected<void, SimError> read_sram(std::uint16_t tile, std::uint32_t address,
                                          std::span<std::uint8_t> out) const;
  std::expected<void, SimError> write_sram(std::uint16_t tile, std::uint32_t address,
                                           std::span<const std::uint8_t> data);
  // The SRAM that sits at physical position `physical` (below tiles()).
  const TileSram& physical_sram(std::uint16_t physical) const { return srams_.at(physical); }

  // Fault injection: flips one byte of the next D2H batch in flight, so the
  // host sees data the tile never held.
  void corrupt_next_host_read() { corrupt_next_read_ = true; }

  // Labels the samples recorded from now on with this program invocation.
  void set_invocation(std::uint32_t invocation) { invocation_ = invocation; }
  const CycleLog& cycles() const { return cycles_; }
  std::uint32_t supersteps_run() const { return superstep_; }

 private:
  struct Packet {
    std::uint16_t physical;
    std::uint32_t address;
    std::size_t transfer;  // index into the batch
    std::uint32_t offset;  // into the transfer's data
    std::uint32_t bytes;
  };

  std::expected<std::uint16_t, SimError> route(std::uint16_t tile, std::string_view role) const;
  std::vector<Packet> packetise(std::uint16_t physical, std::uint32_t address, std::size_t transfer,
                                std::size_t bytes) const;
  void account_host(const std::vector<Packet>& packets, std::string_view operation);

  zel_exchange::Topology topology_;
  std::vector<TileSram> srams_;  // by physical number
  HostWriteJitter jitter_;
  CycleLog cycles_;
  std::uint64_t now_ = 0;
  std::uint32_t superstep_ = 0;
  std::uint32_t invocation_ = 0;
  bool corrupt_next_read_ = false;
};

}  // namespace zel_sim
