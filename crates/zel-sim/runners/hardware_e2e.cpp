// zel-hardware-e2e: the exchange-graph scenario named by "ZEL_GRAPH_TEST",
// run over the whole card. Every scenario loads distinct data into the tiles,
// runs its supersteps, reads the results back and compares them with what the
// graph should have produced.
#include <algorithm>
#include <array>
#include <numeric>

#include "check.h"
#include "pattern.h"
#include "runner.h"
#include "segmented_allocator.h"
#include "words.h"

namespace zel_sim::runner {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kTiles = zel_exchange::kT742Tiles;
constexpr std::uint32_t kPayload = 0x2000;  // where each tile's data lives
constexpr std::uint32_t kReceive = 0x3000;  // where reduction partials arrive
constexpr std::uint32_t kPayloadBytes = 64;

constexpr std::array<std::string_view, 6> kScenarios = {"fanout",      "reduction",
                                                        "permutation", "reduction-permutation",
                                                        "multicast",   "compiler-segmented-add"};

struct GraphConfig {
  std::string_view scenario;
};

std::expected<GraphConfig, Failure> configure(const Environment& env) {
  const auto name = env.get("ZEL_GRAPH_TEST");
  std::string expected = "one of ";
  for (const auto scenario : kScenarios) {
    expected += cat(scenario == kScenarios.front() ? "" : ", ", "\"", scenario, "\"");
  }
  if (!name) {
    return std::unexpected(Failure{kBadInput, "ZEL_GRAPH_TEST is not set, expected " + expected});
  }
  const auto it = std::ranges::find(kScenarios, *name);
  if (it == kScenarios.end()) return std::unexpected(bad_value("ZEL_GRAPH_TEST", *name, expected));
  return GraphConfig{*it};
}

Bytes pattern(PatternDomain domain, std::uint16_t tile, std::uint32_t address,
              std::uint32_t bytes = kPayloadBytes) {
  Bytes data(bytes);
  fill_pattern(data, pattern_stream(domain, tile, 0), address);
  return data;
}

// Every tile's payload, loaded by one H2D batch.
std::expected<std::vector<Bytes>, Failure> load_all(Card& card, std::string_view context,
                                                    PatternDomain domain) {
  std::vector<Bytes> data;
  std::vector<HostWrite> writes;
  data.reserve(kTiles);
  for (std::uint16_t tile = 0; tile < kTiles; ++tile) {
    data.push_back(pattern(domain, tile, kPayload));
    writes.push_back({tile, kPayload, data.back()});
  }
  if (auto ok = card.write_from_host(writes); !ok) {
    return std::unexpected(card_failure(context, ok.error()));
  }
  return data;
}

// Reads the payload of each tile in `tiles` and compares it with `expected`.
Outcome read_and_check(Card& card, std::string_view context,
                       const std::vector<std::uint16_t>& tiles,
                       const std::vector<Bytes>& expected) {
  Bytes host(tiles.size() * kPayloadBytes);
  std::vector<HostRead> reads;
  for (std::size_t k = 0; k < tiles.size(); ++k) {
    reads.push_back(
        {tiles[k], kPayload, std::span(host).subspan(k * kPayloadBytes, kPayloadBytes)});
  }
  if (auto ok = card.read_to_host(reads); !ok) {
    return std::unexpected(card_failure(context, ok.error()));
  }
  for (std::size_t k = 0; k < tiles.size(); ++k) {
    if (auto ok = compare_bytes(context, tiles[k], kPayload, expected[k], reads[k].into); !ok) {
      return ok;
    }
  }
  return {};
}

std::vector<std::uint16_t> all_tiles() {
  std::vector<std::uint16_t> tiles(kTiles);
  std::iota(tiles.begin(), tiles.end(), std::uint16_t{0});
  return tiles;
}

// A kernel that rewrites the payload's words in place.
ComputeTask word_kernel(std::uint16_t tile, std::string_view name,
                        void (*body)(std::span<std::uint32_t>)) {
  return {tile, name, [body](TileContext& self) -> std::expected<std::uint32_t, SimError> {
            Bytes bytes(kPayloadBytes);
            if (auto ok = self.sram.read(kPayload, bytes); !ok) return std::unexpected(ok.error());
            auto words = to_words(bytes);
            body(words);
            if (auto ok = self.sram.write(kPayload, to_bytes(words)); !ok) {
              return std::unexpected(ok.error());
            }
            return 8 + static_cast<std::uint32_t>(words.size());
          }};
}

void running_sum(std::span<std::uint32_t> words) {
  std::partial_sum(words.begin(), words.end(), words.begin());
}

// One source, every other tile a receiver, in a single send.
Outcome fanout(Card& card) {
  constexpr std::string_view context = "fanout";
  auto stale = load_all(card, context, PatternDomain::Stale);
  if (!stale) return std::unexpected(stale.error());
  const Bytes source = pattern(PatternDomain::Host, 0, kPayload);
  if (auto ok = card.write_from_host(std::array{HostWrite{0, kPayload, source}}); !ok) {
    return std::unexpected(card_failure(context, ok.error()));
  }
  Send send{0, kPayload, kPayloadBytes, {}};
  for (std::uint16_t tile = 1; tile < kTiles; ++tile) send.to.push_back({tile, kPayload});
  if (auto ok = card.run({"fanout", {}, {send}}); !ok) {
    return std::unexpected(card_failure(context, ok.error()));
  }
  return read_and_check(card, context, all_tiles(), std::vector<Bytes>(kTiles, source));
}

// Tile 0 multicasts to tiles 1..735 while each of them, in the same phase,
// sends what it held before the phase to the tile 736 places on.
Outcome multicast(Card& card) {
  constexpr std::string_view context = "multicast";
  auto before = load_all(card, context, PatternDomain::Host);
  if (!before) return std::unexpected(before.error());
  constexpr std::uint16_t kHalf = kTiles / 2;
  Superstep step{"multicast", {}, {{0, kPayload, kPayloadBytes, {}}}};
  std::vector<Bytes> expected = *before;
  for (std::uint16_t tile = 1; tile < kHalf; ++tile) {
    step.exchange[0].to.push_back({tile, kPayload});
    step.exchange.push_back(
        {tile, kPayload, kPayloadBytes, {{static_cast<std::uint16_t>(tile + kHalf), kPayload}}});
    expected[tile] = (*before)[0];
    expected[tile + kHalf] = (*before)[tile];
  }
  if (auto ok = card.run(step); !ok) return std::unexpected(card_failure(context, ok.error()));
  return read_and_check(card, context, all_tiles(), expected);
}

// A binary tree over all tiles: in round s, tile t (a multiple of 2s) gets
// the partial sum of tile t + s and adds it to its own in the next step.
Outcome reduction(Card& card) {
  constexpr std::string_view context = "reduction";
  auto data = load_all(card, context, PatternDomain::Host);
  if (!data) return std::unexpected(data.error());
  std::vector<std::uint32_t> total(kPayloadBytes / 4, 0);
  for (const Bytes& bytes : *data) {
    const auto words = to_words(bytes);
    for (std::size_t i = 0; i < words.size(); ++i) total[i] += words[i];
  }
  const auto accumulate = [](TileContext& self) -> std::expected<std::uint32_t, SimError> {
    Bytes own(kPayloadBytes);
    Bytes partial(kPayloadBytes);
    if (auto ok = self.sram.read(kPayload, own); !ok) return std::unexpected(ok.error());
    if (auto ok = self.sram.read(kReceive, partial); !ok) return std::unexpected(ok.error());
    auto sum = to_words(own);
    const auto add = to_words(partial);
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += add[i];
    if (auto ok = self.sram.write(kPayload, to_bytes(sum)); !ok) return std::unexpected(ok.error());
    return 8 + static_cast<std::uint32_t>(sum.size());
  };
  std::vector<std::uint16_t> receivers;  // of the previous round
  for (std::uint32_t stride = 1;; stride *= 2) {
    Superstep step{"reduction", {}, {}};
    for (const std::uint16_t tile : receivers)
      step.compute.push_back({tile, "add-partial", accumulate});
    receivers.clear();
    if (stride < kTiles) {
      for (std::uint32_t tile = 0; tile + stride < kTiles; tile += 2 * stride) {
        step.exchange.push_back({static_cast<std::uint16_t>(tile + stride),
                                 kPayload,
                                 kPayloadBytes,
                                 {{static_cast<std::uint16_t>(tile), kReceive}}});
        receivers.push_back(static_cast<std::uint16_t>(tile));
      }
    }
    if (auto ok = card.run(step); !ok) return std::unexpected(card_failure(context, ok.error()));
    if (receivers.empty()) break;
  }
  return read_and_check(card, context, {0}, {to_bytes(total)});
}

// A fixed all-tile permutation: 5 is coprime to 1,472 = 2^6 * 23.
std::uint16_t permuted(std::uint16_t tile) {
  return static_cast<std::uint16_t>((5u * tile + 7u) % kTiles);
}

// Every tile sends its payload to the same address of another tile, in place.
// With `sparse`, every 23rd tile first replaces its words by their running sum.
Outcome permutation(Card& card, std::string_view context, bool sparse) {
  auto before = load_all(card, context, PatternDomain::Host);
  if (!before) return std::unexpected(before.error());
  Superstep step{context, {}, {}};
  std::vector<Bytes> expected(kTiles);
  for (std::uint16_t tile = 0; tile < kTiles; ++tile) {
    Bytes payload = (*before)[tile];
    if (sparse && tile % 23 == 0) {
      step.compute.push_back(word_kernel(tile, "running-sum", running_sum));
      auto words = to_words(payload);
      running_sum(words);
      payload = to_bytes(words);
    }
    step.exchange.push_back({tile, kPayload, kPayloadBytes, {{permuted(tile), kPayload}}});
    expected[permuted(tile)] = std::move(payload);
  }
  if (auto ok = card.run(step); !ok) return std::unexpected(card_failure(context, ok.error()));
  return read_and_check(card, context, all_tiles(), expected);
}

// c = a + b over 256 words, each operand placed by the allocator across the
// free arenas of the tile, so every operand lies in two or more segments
// that start at different element offsets.
Outcome segmented_add(Card& card) {
  constexpr std::string_view context = "compiler-segmented-add";
  constexpr std::uint32_t kBytes = 1024;
  auto allocator = SegmentedAllocator::create(
      {{0x04000, 0x280}, {0x18000, 0x280}, {0x30000, 0x280}, {0x48000, 0x280}, {0x5f000, 0x280}});
  if (!allocator)
    return std::unexpected(Failure{kCheckFailed, cat(context, ": ", allocator.error().message)});
  std::array<std::vector<Segment>, 3> buffers;
  for (auto& buffer : buffers) {
    auto segments = allocator->allocate(kBytes, 4);
    if (!segments)
      return std::unexpected(Failure{kCheckFailed, cat(context, ": ", segments.error().message)});
    buffer = std::move(*segments);
  }
  const auto& [a, b, c] = buffers;

  std::vector<Bytes> inputs;
  inputs.reserve(2 * kTiles);
  std::vector<HostWrite> writes;
  std::vector<Bytes> expected(kTiles);
  for (std::uint16_t tile = 0; tile < kTiles; ++tile) {
    for (const auto* operand : {&a, &b}) {
      Bytes& data = inputs.emplace_back(kBytes);
      fill_pattern(data, pattern_stream(PatternDomain::Host, tile, operand == &a ? 0 : 1), 0);
      std::uint32_t offset = 0;
      for (const Segment& segment : *operand) {
        writes.push_back({tile, segment.address, std::span(data).subspan(offset, segment.bytes)});
        offset += segment.bytes;
      }
    }
    auto sum = to_words(inputs[inputs.size() - 2]);
    const auto addend = to_words(inputs.back());
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += addend[i];
    expected[tile] = to_bytes(sum);
  }
  if (auto ok = card.write_from_host(writes); !ok) {
    return std::unexpected(card_failure(context, ok.error()));
  }

  const auto gather = [](TileSram& sram, const std::vector<Segment>& segments,
                         Bytes& out) -> std::expected<void, SimError> {
    std::uint32_t offset = 0;
    for (const Segment& segment : segments) {
      if (auto ok = sram.read(segment.address, std::span(out).subspan(offset, segment.bytes)); !ok)
        return ok;
      offset += segment.bytes;
    }
    return {};
  };
  const auto add = [&, a = a, b = b,
                    c = c](TileContext& self) -> std::expected<std::uint32_t, SimError> {
    Bytes left(kBytes);
    Bytes right(kBytes);
    if (auto ok = gather(self.sram, a, left); !ok) return std::unexpected(ok.error());
    if (auto ok = gather(self.sram, b, right); !ok) return std::unexpected(ok.error());
    auto sum = to_words(left);
    const auto addend = to_words(right);
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += addend[i];
    const Bytes out = to_bytes(sum);
    std::uint32_t offset = 0;
    for (const Segment& segment : c) {
      if (auto ok = self.sram.write(segment.address, std::span(out).subspan(offset, segment.bytes));
          !ok) {
        return std::unexpected(ok.error());
      }
      offset += segment.bytes;
    }
    return 16 + static_cast<std::uint32_t>(sum.size());
  };
  Superstep step{"segmented-add", {}, {}};
  for (std::uint16_t tile = 0; tile < kTiles; ++tile)
    step.compute.push_back({tile, "add-u32-segmented", add});
  if (auto ok = card.run(step); !ok) return std::unexpected(card_failure(context, ok.error()));

  Bytes host(std::size_t{kTiles} * kBytes);
  std::vector<HostRead> reads;
  for (std::uint16_t tile = 0; tile < kTiles; ++tile) {
    std::uint32_t offset = 0;
    for (const Segment& segment : c) {
      reads.push_back(
          {tile, segment.address,
           std::span(host).subspan(std::size_t{tile} * kBytes + offset, segment.bytes)});
      offset += segment.bytes;
    }
  }
  if (auto ok = card.read_to_host(reads); !ok)
    return std::unexpected(card_failure(context, ok.error()));
  for (std::uint16_t tile = 0; tile < kTiles; ++tile) {
    std::uint32_t offset = 0;
    for (const Segment& segment : c) {
      const auto found =
          std::span(host).subspan(std::size_t{tile} * kBytes + offset, segment.bytes);
      const auto want = std::span(expected[tile]).subspan(offset, segment.bytes);
      if (auto ok = compare_bytes(context, tile, segment.address, want, found); !ok) return ok;
      offset += segment.bytes;
    }
  }
  return {};
}

Outcome run(const GraphConfig& config, Card& card) {
  if (config.scenario == "fanout") return fanout(card);
  if (config.scenario == "multicast") return multicast(card);
  if (config.scenario == "reduction") return reduction(card);
  if (config.scenario == "permutation") return permutation(card, "permutation", false);
  if (config.scenario == "reduction-permutation") {
    return permutation(card, "reduction-permutation", true);
  }
  return segmented_add(card);
}

}  // namespace
}  // namespace zel_sim::runner

int main() {
  using namespace zel_sim::runner;
  return runner_main<GraphConfig>("zel-hardware-e2e", configure, run);
}
