// The card: routing, host packets, supersteps and their cycle accounting.
#include "card.h"

#include <algorithm>
#include <functional>
#include "text.h"

namespace zel_sim {

namespace {

using zel_exchange::ExchangeError;

std::expected<void, SimError> in_bounds(std::uint16_t tile, std::uint32_t address,
                                        std::size_t bytes, std::string_view role) {
  if (std::uint64_t{address} + bytes <= kSramBytes) return {};
  return std::unexpected(
      sim_error(ExchangeError::address(address),
                cat(role, " tile ", tile, ": ", bytes, " bytes at ", hex(address),
                    " pass the end of the ", hex(kSramBytes), "-byte SRAM")));
}

SimError on_tile(SimError error, std::uint16_t tile, std::uint16_t physical) {
  error.detail = cat("tile ", tile, " (physical ", physical, "): ", error.detail);
  return error;
}

}  // namespace

Card::Card(JitterSettings jitter)
    : topology_(zel_exchange::Topology::t742()),
      srams_(zel_exchange::kT742Tiles),
      jitter_(jitter),
      cycles_(zel_exchange::kT742Tiles) {}

std::expected<std::uint16_t, SimError> Card::route(std::uint16_t tile,
                                                   std::string_view role) const {
  auto physical = topology_.physical(tile);
  if (physical) return *physical;
  return std::unexpected(sim_error(
      physical.error(),
      cat(role, " tile ", tile, " is not on the card, which has tiles 0 to ", tiles() - 1)));
}

std::vector<Card::Packet> Card::packetise(std::uint16_t physical, std::uint32_t address,
                                          std::size_t transfer, std::size_t bytes) const {
  std::vector<Packet> packets;
  for (std::size_t offset = 0; offset < bytes; offset += kHostPacketBytes) {
    const auto size =
        static_cast<std::uint32_t>(std::min<std::size_t>(kHostPacketBytes, bytes - offset));
    packets.push_back({physical, address + static_cast<std::uint32_t>(offset), transfer,
                       static_cast<std::uint32_t>(offset), size});
  }
  return packets;
}

void Card::account_host(const std::vector<Packet>& packets, std::string_view operation) {
  std::vector<std::uint64_t> bytes(tiles(), 0);
  for (const Packet& packet : packets) bytes[packet.physical] += packet.bytes;
  std::uint64_t longest = 0;
  for (std::uint16_t physical = 0; physical < tiles(); ++physical) {
    if (bytes[physical] == 0) continue;
    const std::uint64_t cost =
        CycleCosts::kHostLatency + bytes[physical] / CycleCosts::kHostBytesPerCycle;
    cycles_.record(physical, {StepKind::Exchange, now_, now_ + cost, superstep_, invocation_,
                              operation, "host-link"});
    longest = std::max(longest, cost);
  }
  now_ += longest;
}

std::expected<void, SimError> Card::write_from_host(std::span<const HostWrite> writes) {
  struct Range {
    std::uint16_t physical;
    std::uint32_t start;
    std::uint64_t end;
    std::uint16_t tile;
  };
  std::vector<Packet> packets;
  std::vector<Range> ranges;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const HostWrite& write = writes[i];
    auto physical = route(write.tile, "host write to");
    if (!physical) return std::unexpected(physical.error());
    if (auto ok = in_bounds(write.tile, write.address, write.data.size(), "host write to"); !ok) {
      return ok;
    }
    ranges.push_back({*physical, write.address, write.address + write.data.size(), write.tile});
    std::ranges::move(packetise(*physical, write.address, i, write.data.size()),
                      std::back_inserter(packets));
  }
  // Jitter reorders packets, so two writes to one byte would race.
  std::ranges::sort(ranges, [](const Range& a, const Range& b) {
    return a.physical != b.physical ? a.physical < b.physical : a.start < b.start;
  });
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].physical == ranges[i - 1].physical && ranges[i].start < ranges[i - 1].end) {
      return std::unexpected(sim_error(ExchangeError::host_packet(),
                                       cat("two host writes of one batch overlap on tile ",
                                           ranges[i].tile, " at ", hex(ranges[i].start))));
    }
  }
  const JitterPlan plan = jitter_.plan(packets.size());
  jitter_.wait(plan);
  for (const std::size_t index : plan.order) {
    const Packet& packet = packets[index];
    const auto data = writes[packet.transfer].data.subspan(packet.offset, packet.bytes);
    if (auto ok = srams_[packet.physical].write(packet.address, data); !ok) return ok;
  }
  account_host(packets, "host-write");
  return {};
}

std::expected<void, SimError> Card::read_to_host(std::span<const HostRead> reads) {
  std::vector<Packet> packets;
  std::vector<std::pair<const std::uint8_t*, std::size_t>> host_ranges;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    const HostRead& read = reads[i];
    auto physical = route(read.tile, "host read from");
    if (!physical) return std::unexpected(physical.error());
    if (auto ok = in_bounds(read.tile, read.address, read.into.size(), "host read from"); !ok) {
      return ok;
    }
    if (!read.into.empty()) host_ranges.emplace_back(read.into.data(), i);
    std::ranges::move(packetise(*physical, read.address, i, read.into.size()),
                      std::back_inserter(packets));
  }
  // Tiles write host memory in whatever order the link delivers, so their
  // ranges must be disjoint for the result to be defined.
  std::ranges::sort(host_ranges, std::less<>{},
                    &std::pair<const std::uint8_t*, std::size_t>::first);
  for (std::size_t i = 1; i < host_ranges.size(); ++i) {
    const HostRead& earlier = reads[host_ranges[i - 1].second];
    const HostRead& later = reads[host_ranges[i].second];
    if (std::less<>{}(host_ranges[i].first, earlier.into.data() + earlier.into.size())) {
      return std::unexpected(sim_error(
          ExchangeError::host_packet(),
          cat("tiles ", earlier.tile, " and ", later.tile, " write overlapping host ranges")));
    }
  }
  const JitterPlan plan = jitter_.plan(packets.size());
  jitter_.wait(plan);
  for (const std::size_t index : plan.order) {
    const Packet& packet = packets[index];
    const auto into = reads[packet.transfer].into.subspan(packet.offset, packet.bytes);
    if (auto ok = srams_[packet.physical].read(packet.address, into); !ok) return ok;
    if (corrupt_next_read_) {
      // The second byte: for 16-bit values the sign and exponent.
      into[std::min<std::size_t>(1, into.size() - 1)] ^= 0xff;
      corrupt_next_read_ = false;
    }
  }
  account_host(packets, "host-read");
  return {};
}

std::expected<void, SimError> Card::run(const Superstep& step) {
  for (const ComputeTask& task : step.compute) {
    if (auto physical = route(task.tile, "compute on"); !physical) {
      return std::unexpected(physical.error());
    }
  }
  if (auto ok = validate_exchange(step.exchange, tiles()); !ok) return ok;

  // Compute, then every tile waits for the slowest.
  std::vector<std::uint64_t> compute(tiles(), 0);
  std::vector<std::string_view> kernel(tiles());
  for (const ComputeTask& task : step.compute) {
    const std::uint16_t physical = topology_.logical_to_physical[task.tile];
    TileContext context{task.tile, physical, srams_[physical]};
    auto cycles = task.run(context);
    if (!cycles) return std::unexpected(on_tile(cycles.error(), task.tile, physical));
    compute[physical] += *cycles;
    if (kernel[physical].empty()) kernel[physical] = task.kernel;
  }
  const std::uint64_t compute_end = now_ + std::ranges::max(compute);
  for (std::uint16_t physical = 0; physical < tiles(); ++physical) {
    const std::uint64_t done = now_ + compute[physical];
    cycles_.record(physical, {StepKind::Compute, now_, done, superstep_, invocation_,
                              step.operation, kernel[physical]});
    cycles_.record(physical, {StepKind::Idle, done, compute_end, superstep_, invocation_,
                              step.operation, "idle"});
    cycles_.record(physical,
                   {StepKind::Synchronization, compute_end, compute_end + CycleCosts::kSync,
                    superstep_, invocation_, step.operation, "sync"});
  }
  now_ = compute_end + CycleCosts::kSync;

  if (!step.exchange.empty()) {
    // Every source is read before any destination is written.
    std::vector<std::vector<std::uint8_t>> payloads;
    payloads.reserve(step.exchange.size());
    std::vector<std::uint64_t> sent(tiles(), 0);
    std::vector<std::uint64_t> received(tiles(), 0);
    for (const Send& send : step.exchange) {
      const std::uint16_t physical = topology_.logical_to_physical[send.source];
      auto& payload = payloads.emplace_back(send.bytes);
      if (auto ok = srams_[physical].read(send.address, payload); !ok) return ok;
      sent[physical] += send.bytes;
    }
    for (std::size_t i = 0; i < step.exchange.size(); ++i) {
      for (const Destination& to : step.exchange[i].to) {
        const std::uint16_t physical = topology_.logical_to_physical[to.tile];
        if (auto ok = srams_[physical].write(to.address, payloads[i]); !ok) return ok;
        received[physical] += payloads[i].size();
      }
    }
    std::vector<std::uint64_t> cost(tiles(), 0);
    for (std::uint16_t physical = 0; physical < tiles(); ++physical) {
      const std::uint64_t bytes = std::max(sent[physical], received[physical]);
      if (bytes > 0) {
        cost[physical] =
            CycleCosts::kExchangeLatency +
            (bytes + CycleCosts::kExchangeBytesPerCycle - 1) / CycleCosts::kExchangeBytesPerCycle;
      }
    }
    const std::uint64_t exchange_end = now_ + std::ranges::max(cost);
    for (std::uint16_t physical = 0; physical < tiles(); ++physical) {
      const std::uint64_t done = now_ + cost[physical];
      cycles_.record(physical, {StepKind::Exchange, now_, done, superstep_, invocation_,
                                step.operation, "exchange"});
      cycles_.record(physical, {StepKind::Idle, done, exchange_end, superstep_, invocation_,
                                step.operation, "idle"});
    }
    now_ = exchange_end;
  }
  ++superstep_;
  return {};
}

std::expected<void, SimError> Card::read_sram(std::uint16_t tile, std::uint32_t address,
                                              std::span<std::uint8_t> out) const {
  auto physical = route(tile, "SRAM read of");
  if (!physical) return std::unexpected(physical.error());
  if (auto ok = srams_[*physical].read(address, out); !ok) {
    return std::unexpected(on_tile(ok.error(), tile, *physical));
  }
  return {};
}

std::expected<void, SimError> Card::write_sram(std::uint16_t tile, std::uint32_t address,
                                               std::span<const std::uint8_t> data) {
  auto physical = route(tile, "SRAM write of");
  if (!physical) return std::unexpected(physical.error());
  if (auto ok = srams_[*physical].write(address, data); !ok) {
    return std::unexpected(on_tile(ok.error(), tile, *physical));
  }
  return {};
}

}  // namespace zel_sim
