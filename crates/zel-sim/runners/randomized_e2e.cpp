// zel-randomized-e2e: an exchange graph drawn from "ZEL_RANDOM_SEED" alone
// (SplitMix64, so the same seed gives the same graph on every machine). The
// graph runs a few supersteps of random point-to-point sends and multicasts
// between random tiles, with random compute in between; a plain host-side
// model of the same graph gives the expected contents of every tile involved.
#include <algorithm>
#include <map>
#include <set>

#include "check.h"
#include "pattern.h"
#include "runner.h"

namespace zel_sim::runner {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kTiles = zel_exchange::kT742Tiles;
// Each tile's region: kSlots slots of kSlotBytes; a phase writes a slot of a
// tile at most once, which keeps every drawn schedule free of conflicts.
constexpr std::uint32_t kRegion = 0x8000;
constexpr std::uint32_t kSlots = 32;
constexpr std::uint32_t kSlotBytes = 128;

struct RandomConfig {
  std::uint64_t seed = 0;
};

std::expected<RandomConfig, Failure> configure(const Environment& env) {
  auto seed =
      read_decimal(env, "ZEL_RANDOM_SEED", 0, 0, UINT64_MAX, "an unsigned 64-bit decimal seed");
  if (!seed) return std::unexpected(seed.error());
  return RandomConfig{*seed};
}

struct Xor {
  std::uint16_t tile;
  std::uint32_t slot;
  std::uint8_t key;
};

struct Phase {
  std::vector<Xor> compute;
  std::vector<Send> sends;
};

std::uint32_t slot_address(std::uint32_t slot) {
  return kRegion + slot * kSlotBytes;
}

std::vector<Phase> draw_graph(std::uint64_t seed) {
  SplitMix64 rng(seed);
  const auto tile = [&] { return static_cast<std::uint16_t>(rng.below(kTiles)); };
  std::vector<Phase> phases(2 + rng.below(4));
  for (Phase& phase : phases) {
    const std::size_t computes = rng.below(9);
    for (std::size_t i = 0; i < computes; ++i) {
      phase.compute.push_back({tile(), static_cast<std::uint32_t>(rng.below(kSlots)),
                               static_cast<std::uint8_t>(1 + rng.below(255))});
    }
    std::map<std::uint16_t, std::set<std::uint32_t>> written;  // slots taken this phase
    const std::size_t sends = 16 + rng.below(49);
    for (std::size_t i = 0; i < sends; ++i) {
      Send send{tile(), 0, static_cast<std::uint32_t>(4 * (1 + rng.below(kSlotBytes / 4))), {}};
      send.address = slot_address(static_cast<std::uint32_t>(rng.below(kSlots)));
      // Mostly small fan-outs, now and then a wide multicast.
      const std::size_t receivers = rng.below(8) == 0 ? 16 + rng.below(49) : 1 + rng.below(8);
      std::set<std::uint16_t> chosen;
      while (send.to.size() < receivers) {
        const std::uint16_t to = tile();
        auto& taken = written[to];
        if (chosen.contains(to) || taken.size() == kSlots) continue;
        std::uint32_t slot = static_cast<std::uint32_t>(rng.below(kSlots));
        while (taken.contains(slot)) slot = (slot + 1) % kSlots;
        taken.insert(slot);
        chosen.insert(to);
        send.to.push_back({to, slot_address(slot)});
      }
      phase.sends.push_back(std::move(send));
    }
  }
  return phases;
}

// The tiles a graph touches, in ascending order.
std::vector<std::uint16_t> touched(const std::vector<Phase>& phases) {
  std::set<std::uint16_t> tiles;
  for (const Phase& phase : phases) {
    for (const Xor& x : phase.compute) tiles.insert(x.tile);
    for (const Send& send : phase.sends) {
      tiles.insert(send.source);
      for (const Destination& to : send.to) tiles.insert(to.tile);
    }
  }
  return {tiles.begin(), tiles.end()};
}

Outcome run(const RandomConfig& config, Card& card) {
  const std::string context = cat("seed ", config.seed);
  const std::vector<Phase> phases = draw_graph(config.seed);
  const std::vector<std::uint16_t> tiles = touched(phases);
  constexpr std::uint32_t kRegionBytes = kSlots * kSlotBytes;

  std::map<std::uint16_t, Bytes> model;
  std::vector<HostWrite> writes;
  for (const std::uint16_t tile : tiles) {
    Bytes& region = model[tile];
    region.resize(kRegionBytes);
    fill_pattern(region, pattern_stream(PatternDomain::Host, tile, 0), kRegion);
    writes.push_back({tile, kRegion, region});
  }
  if (auto ok = card.write_from_host(writes); !ok)
    return std::unexpected(card_failure(context, ok.error()));

  for (const Phase& phase : phases) {
    Superstep step{"random-graph", {}, phase.sends};
    for (const Xor& x : phase.compute) {
      for (auto& byte : std::span(model[x.tile]).subspan(x.slot * kSlotBytes, kSlotBytes))
        byte ^= x.key;
      step.compute.push_back(
          {x.tile, "xor-slot", [x](TileContext& self) -> std::expected<std::uint32_t, SimError> {
             Bytes slot(kSlotBytes);
             if (auto ok = self.sram.read(slot_address(x.slot), slot); !ok)
               return std::unexpected(ok.error());
             for (auto& byte : slot) byte ^= x.key;
             if (auto ok = self.sram.write(slot_address(x.slot), slot); !ok)
               return std::unexpected(ok.error());
             return kSlotBytes / 4;
           }});
    }
    std::vector<Bytes> payloads;
    for (const Send& send : phase.sends) {
      const auto offset = send.address - kRegion;
      const auto& source = model[send.source];
      payloads.emplace_back(source.begin() + offset, source.begin() + offset + send.bytes);
    }
    for (std::size_t i = 0; i < phase.sends.size(); ++i) {
      for (const Destination& to : phase.sends[i].to) {
        std::ranges::copy(payloads[i], model[to.tile].begin() + (to.address - kRegion));
      }
    }
    if (auto ok = card.run(step); !ok) return std::unexpected(card_failure(context, ok.error()));
  }

  Bytes host(tiles.size() * kRegionBytes);
  std::vector<HostRead> reads;
  for (std::size_t k = 0; k < tiles.size(); ++k) {
    reads.push_back({tiles[k], kRegion, std::span(host).subspan(k * kRegionBytes, kRegionBytes)});
  }
  if (auto ok = card.read_to_host(reads); !ok)
    return std::unexpected(card_failure(context, ok.error()));
  for (std::size_t k = 0; k < tiles.size(); ++k) {
    if (auto ok = compare_bytes(context, tiles[k], kRegion, model[tiles[k]], reads[k].into); !ok)
      return ok;
  }
  return {};
}

}  // namespace
}  // namespace zel_sim::runner

int main() {
  using namespace zel_sim::runner;
  return runner_main<RandomConfig>("zel-randomized-e2e", configure, run);
}
