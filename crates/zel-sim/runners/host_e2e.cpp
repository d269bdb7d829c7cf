// zel-host-e2e: host transfers on chosen tiles. Each invocation loads the
// tiles' regions (by H2D, or by the tiles' own program), optionally computes,
// relays them over the exchange and computes again, then reads the results
// back (D2H, every tile into its own range of one host buffer) and compares
// them with a plain host-side model of the same steps.
#include <algorithm>
#include <map>
#include <ranges>
#include <set>

#include "check.h"
#include "pattern.h"
#include "runner.h"

namespace zel_sim::runner {
namespace {

struct HostConfig {
  std::vector<std::uint16_t> tiles;
  std::uint32_t bytes = 256;
  std::uint32_t address = 0x1000;
  std::uint32_t invocations = 1;
  bool resident = false;            // one H2D before all invocations
  bool device_initialised = false;  // the tiles' program writes the data, no H2D
  bool relay = false;               // a D2D relay to each tile's partner
  bool compute = false;             // compute before and after the relay
};

constexpr std::uint32_t kMaxInvocations = 100;

std::expected<std::vector<std::uint16_t>, Failure> read_tiles(const Environment& env) {
  const auto single = env.get("ZEL_HOST_TEST_TILE");
  const auto list = env.get("ZEL_HOST_TEST_TILES");
  if (!list) {
    auto tile = read_tile(env, "ZEL_HOST_TEST_TILE", 0);
    if (!tile) return std::unexpected(tile.error());
    return std::vector<std::uint16_t>{*tile};
  }
  if (single) {
    return std::unexpected(bad_value("ZEL_HOST_TEST_TILES", *list,
                                     "only one of ZEL_HOST_TEST_TILE and ZEL_HOST_TEST_TILES "
                                     "to be set"));
  }
  const auto values = parse_decimal_list(*list);
  if (!values ||
      std::ranges::any_of(*values, [](auto v) { return v >= zel_exchange::kT742Tiles; })) {
    return std::unexpected(
        bad_value("ZEL_HOST_TEST_TILES", *list, "tile numbers from 0 to 1471 joined by \",\""));
  }
  std::vector<std::uint16_t> tiles;
  std::set<std::uint64_t> seen;
  for (const std::uint64_t value : *values) {
    if (!seen.insert(value).second) {
      return std::unexpected(
          bad_value("ZEL_HOST_TEST_TILES", *list,
                    cat("distinct tile numbers, but ", value, " appears more than once")));
    }
    tiles.push_back(static_cast<std::uint16_t>(value));
  }
  return tiles;
}

std::expected<HostConfig, Failure> configure(const Environment& env) {
  HostConfig config;
  auto tiles = read_tiles(env);
  if (!tiles) return std::unexpected(tiles.error());
  config.tiles = std::move(*tiles);

  auto bytes = read_decimal(env, "ZEL_HOST_TEST_BYTES", config.bytes, 1, kSramBytes,
                            cat("a transfer size in bytes from 1 to ", kSramBytes));
  if (!bytes) return std::unexpected(bytes.error());
  config.bytes = static_cast<std::uint32_t>(*bytes);

  if (const auto text = env.get("ZEL_HOST_TEST_ADDRESS")) {
    const auto address = parse_hex(*text);
    if (!address || *address >= kSramBytes) {
      return std::unexpected(
          bad_value("ZEL_HOST_TEST_ADDRESS", *text,
                    cat("a hexadecimal address with \"0x\" from 0x0 to ", hex(kSramBytes - 1))));
    }
    config.address = static_cast<std::uint32_t>(*address);
  }
  if (std::uint64_t{config.address} + config.bytes > kSramBytes) {
    return std::unexpected(bad_value(
        "ZEL_HOST_TEST_BYTES", std::to_string(config.bytes),
        cat("at most ", kSramBytes - config.address, " bytes from address ", hex(config.address),
            ", where the tile's ", hex(kSramBytes), "-byte SRAM ends")));
  }

  auto invocations = read_decimal(env, "ZEL_HOST_TEST_INVOCATIONS", 1, 1, kMaxInvocations,
                                  cat("a number of invocations from 1 to ", kMaxInvocations));
  if (!invocations) return std::unexpected(invocations.error());
  config.invocations = static_cast<std::uint32_t>(*invocations);

  std::map<std::string, bool> flag;
  for (const char* name : {"ZEL_HOST_TEST_RESIDENT_INPUT", "ZEL_HOST_TEST_D2H_ONLY",
                           "ZEL_HOST_TEST_REMOTE_D2H", "ZEL_HOST_TEST_EXCHANGE",
                           "ZEL_HOST_TEST_INITIALIZED_EXCHANGE", "ZEL_HOST_TEST_COMPUTE_RELAY"}) {
    auto value = read_flag(env, name);
    if (!value) return std::unexpected(value.error());
    flag[name] = *value;
  }
  if (flag["ZEL_HOST_TEST_INITIALIZED_EXCHANGE"] && !flag["ZEL_HOST_TEST_EXCHANGE"]) {
    return std::unexpected(bad_value("ZEL_HOST_TEST_INITIALIZED_EXCHANGE", "1",
                                     "it only together with ZEL_HOST_TEST_EXCHANGE=\"1\""));
  }
  config.resident = flag["ZEL_HOST_TEST_RESIDENT_INPUT"];
  config.device_initialised = flag["ZEL_HOST_TEST_D2H_ONLY"] || flag["ZEL_HOST_TEST_REMOTE_D2H"] ||
                              flag["ZEL_HOST_TEST_INITIALIZED_EXCHANGE"];
  if (config.resident && config.device_initialised) {
    return std::unexpected(
        bad_value("ZEL_HOST_TEST_RESIDENT_INPUT", "1",
                  "it unset when the tiles initialise their own data (ZEL_HOST_TEST_D2H_ONLY, "
                  "ZEL_HOST_TEST_REMOTE_D2H or ZEL_HOST_TEST_INITIALIZED_EXCHANGE)"));
  }
  config.compute = flag["ZEL_HOST_TEST_COMPUTE_RELAY"];
  config.relay = flag["ZEL_HOST_TEST_EXCHANGE"] || config.compute;
  return config;
}

// The relay partner: the tile half the card away (an involution).
std::uint16_t partner(std::uint16_t tile) {
  return static_cast<std::uint16_t>((tile + zel_exchange::kT742Tiles / 2) %
                                    zel_exchange::kT742Tiles);
}

// Each resident invocation adds its own key to every byte, so a skipped or
// repeated invocation shows.
std::uint8_t invocation_key(std::uint32_t invocation) {
  return static_cast<std::uint8_t>(0x3b + 2 * invocation);
}

using Bytes = std::vector<std::uint8_t>;

// A kernel that rewrites the region in place, one cycle per word plus set-up.
ComputeTask region_kernel(std::uint16_t tile, std::string_view name, const HostConfig& config,
                          std::function<void(TileContext&, std::span<std::uint8_t>)> body) {
  return {tile, name,
          [address = config.address, bytes = config.bytes,
           body](TileContext& self) -> std::expected<std::uint32_t, SimError> {
            Bytes region(bytes);
            if (auto ok = self.sram.read(address, region); !ok) return std::unexpected(ok.error());
            body(self, region);
            if (auto ok = self.sram.write(address, region); !ok) {
              return std::unexpected(ok.error());
            }
            return 16 + bytes / 4;
          }};
}

void add_each(std::span<std::uint8_t> bytes, std::uint8_t key) {
  for (auto& b : bytes) b = static_cast<std::uint8_t>(b + key);
}
void before_relay(std::span<std::uint8_t> bytes) {
  add_each(bytes, 0x11);
}
void after_relay(std::span<std::uint8_t> bytes) {
  for (auto& b : bytes) b ^= 0xa5;
}

Outcome run(const HostConfig& config, Card& card) {
  const auto topology = zel_exchange::Topology::t742();
  const std::size_t n = config.tiles.size();
  std::map<std::uint16_t, Bytes> model;  // the expected region of every tile involved

  const auto host_load = [&](std::uint32_t invocation) -> Outcome {
    std::vector<HostWrite> writes;
    for (const std::uint16_t tile : config.tiles) {
      Bytes& data = model[tile];
      data.resize(config.bytes);
      fill_pattern(data, pattern_stream(PatternDomain::Host, tile, invocation), config.address);
      writes.push_back({tile, config.address, data});
    }
    if (auto ok = card.write_from_host(writes); !ok)
      return std::unexpected(card_failure("H2D", ok.error()));
    return {};
  };

  if (config.resident) {
    if (auto ok = host_load(0); !ok) return ok;
  }
  for (std::uint32_t invocation = 0; invocation < config.invocations; ++invocation) {
    const std::string context = cat("invocation ", invocation + 1, " of ", config.invocations);
    card.set_invocation(invocation);
    if (!config.resident && !config.device_initialised) {
      if (auto ok = host_load(invocation); !ok) return ok;
    }

    Superstep first{"host-test", {}, {}};
    for (const std::uint16_t tile : config.tiles) {
      Bytes& expected = model[tile];
      expected.resize(config.bytes);
      if (config.device_initialised) {
        const std::uint16_t physical = topology.logical_to_physical[tile];
        fill_pattern(expected, pattern_stream(PatternDomain::Device, physical, invocation),
                     config.address);
        first.compute.push_back(region_kernel(
            tile, "init-from-physical", config,
            [address = config.address, invocation](TileContext& self, std::span<std::uint8_t> r) {
              fill_pattern(r, pattern_stream(PatternDomain::Device, self.physical, invocation),
                           address);
            }));
      }
      if (config.resident) {
        const std::uint8_t key = invocation_key(invocation);
        add_each(expected, key);
        first.compute.push_back(
            region_kernel(tile, "advance", config,
                          [key](TileContext&, std::span<std::uint8_t> r) { add_each(r, key); }));
      }
      if (config.compute) {
        before_relay(expected);
        first.compute.push_back(
            region_kernel(tile, "add-0x11", config,
                          [](TileContext&, std::span<std::uint8_t> r) { before_relay(r); }));
      }
      if (config.relay) {
        first.exchange.push_back(
            {tile, config.address, config.bytes, {{partner(tile), config.address}}});
      }
    }
    if (config.relay) {
      // Every source is read before any partner is written.
      std::map<std::uint16_t, Bytes> sent;
      for (const std::uint16_t tile : config.tiles) sent[partner(tile)] = model[tile];
      for (auto& [to, data] : sent) model[to] = std::move(data);
    }
    if (auto ok = card.run(first); !ok) return std::unexpected(card_failure(context, ok.error()));

    std::vector<std::uint16_t> finals = config.tiles;
    if (config.relay) std::ranges::transform(finals, finals.begin(), partner);
    if (config.compute) {
      Superstep second{"host-test", {}, {}};
      for (const std::uint16_t tile : finals) {
        after_relay(model[tile]);
        second.compute.push_back(
            region_kernel(tile, "xor-0xa5", config,
                          [](TileContext&, std::span<std::uint8_t> r) { after_relay(r); }));
      }
      if (auto ok = card.run(second); !ok) {
        return std::unexpected(card_failure(context, ok.error()));
      }
    }

    Bytes host(n * config.bytes);
    std::vector<HostRead> reads;
    for (std::size_t k = 0; k < n; ++k) {
      reads.push_back(
          {finals[k], config.address, std::span(host).subspan(k * config.bytes, config.bytes)});
    }
    if (auto ok = card.read_to_host(reads); !ok) {
      return std::unexpected(card_failure(context, ok.error()));
    }
    for (std::size_t k = 0; k < n; ++k) {
      if (auto ok =
              compare_bytes(context, finals[k], config.address, model[finals[k]], reads[k].into);
          !ok) {
        return ok;
      }
    }
  }
  return {};
}

}  // namespace
}  // namespace zel_sim::runner

int main() {
  using namespace zel_sim::runner;
  return runner_main<HostConfig>("zel-host-e2e", configure, run);
}
