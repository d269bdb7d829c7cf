// The simulated card: routing by physical tile, SRAM bounds, the exchange's
// multicast and same-phase semantics, schedule checks, host-link jitter and
// fault injection, and the cycle accounting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "card.h"
#include "pattern.h"

namespace zel_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Tag = zel_exchange::ExchangeError::Tag;

Bytes pattern_for(std::uint16_t tile, std::uint32_t address, std::uint32_t bytes,
                  std::uint32_t invocation = 0) {
  Bytes data(bytes);
  fill_pattern(data, pattern_stream(PatternDomain::Host, tile, invocation), address);
  return data;
}

Bytes physical_bytes(const Card& card, std::uint16_t physical, std::uint32_t address,
                     std::uint32_t bytes) {
  Bytes out(bytes);
  EXPECT_TRUE(card.physical_sram(physical).read(address, out).has_value());
  return out;
}

Bytes read_back(Card& card, std::uint16_t tile, std::uint32_t address, std::uint32_t bytes) {
  Bytes out(bytes);
  const HostRead read{tile, address, out};
  EXPECT_TRUE(card.read_to_host({&read, 1}).has_value());
  return out;
}

void host_write(Card& card, std::uint16_t tile, std::uint32_t address, const Bytes& data) {
  const HostWrite write{tile, address, data};
  ASSERT_TRUE(card.write_from_host({&write, 1}).has_value());
}

TEST(Pattern, TellsTilesAddressesAndInvocationsApartAndSlicesConsistently) {
  const Bytes base = pattern_for(46, 0x1000, 64);
  EXPECT_NE(base, pattern_for(47, 0x1000, 64));
  EXPECT_NE(base, pattern_for(46, 0x1040, 64));
  EXPECT_NE(base, pattern_for(46, 0x1000, 64, 1));
  // A transfer at an unaligned address sees the same bytes as a larger one.
  const Bytes part = pattern_for(46, 0x1003, 13);
  EXPECT_EQ(part, Bytes(base.begin() + 3, base.begin() + 16));
}

TEST(CardRouting, HostTransfersLandAtTheTilesPhysicalPosition) {
  Card card;
  // Logical 46 is physical 1409, logical 1471 physical 63.
  for (const auto& [logical, physical] : {std::pair{46, 1409}, {1471, 63}, {456, 81}}) {
    const Bytes data = pattern_for(static_cast<std::uint16_t>(logical), 0x200, 32);
    host_write(card, static_cast<std::uint16_t>(logical), 0x200, data);
    EXPECT_EQ(physical_bytes(card, static_cast<std::uint16_t>(physical), 0x200, 32), data);
    EXPECT_EQ(read_back(card, static_cast<std::uint16_t>(logical), 0x200, 32), data);
  }
  // Nothing reached the tiles whose physical number equals those logical numbers.
  EXPECT_EQ(card.physical_sram(46).resident_pages(), 0u);
  EXPECT_EQ(card.physical_sram(1471).resident_pages(), 0u);
}

TEST(CardRouting, KernelsSeeTheirOwnPhysicalNumber) {
  Card card;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> seen;
  Superstep step{"probe", {}, {}};
  for (const std::uint16_t tile : {0, 1, 46, 1471}) {
    step.compute.push_back({tile, "probe", [&seen](TileContext& self) {
                              seen.emplace_back(self.tile, self.physical);
                              return std::expected<std::uint32_t, SimError>(1);
                            }});
  }
  ASSERT_TRUE(card.run(step).has_value());
  EXPECT_THAT(seen, ::testing::ElementsAre(std::pair<std::uint16_t, std::uint16_t>{0, 0},
                                           std::pair<std::uint16_t, std::uint16_t>{1, 2},
                                           std::pair<std::uint16_t, std::uint16_t>{46, 1409},
                                           std::pair<std::uint16_t, std::uint16_t>{1471, 63}));
}

TEST(TileSram, AllocatesPagesOnFirstWriteAndReadsZeroElsewhere) {
  TileSram sram;
  Bytes out(16, 0xee);
  ASSERT_TRUE(sram.read(0x5000, out).has_value());
  EXPECT_EQ(out, Bytes(16, 0));
  EXPECT_EQ(sram.resident_pages(), 0u);
  // A write across a page boundary touches exactly two pages.
  const Bytes data = pattern_for(0, 0x1ff8, 16);
  ASSERT_TRUE(sram.write(0x1ff8, data).has_value());
  EXPECT_EQ(sram.resident_pages(), 2u);
  ASSERT_TRUE(sram.read(0x1ff8, out).has_value());
  EXPECT_EQ(out, data);
}

TEST(TileSram, RefusesAccessesPastTheEndWithoutTouchingAnything) {
  struct Case {
    std::uint32_t address;
    std::uint32_t bytes;
    bool fits;
  };
  for (const Case c :
       {Case{0x60000, 0x10000, true}, Case{0x6ffff, 1, true}, Case{0x60000, 0x10001, false},
        Case{0x70000, 1, false}, Case{0xffffffff, 2, false}}) {
    TileSram sram;
    Bytes data(c.bytes, 0x5a);
    const auto written = sram.write(c.address, data);
    const auto read = sram.read(c.address, data);
    EXPECT_EQ(written.has_value(), c.fits) << std::hex << c.address << " + " << c.bytes;
    EXPECT_EQ(read.has_value(), c.fits);
    if (!c.fits) {
      EXPECT_EQ(written.error().code, zel_exchange::ExchangeError::address(c.address));
      EXPECT_EQ(sram.resident_pages(), 0u);
    }
  }
  TileSram sram;
  Bytes one(16);
  EXPECT_EQ(sram.write(0x6fff8, one).error().describe(),
            "16 bytes at 0x6fff8 pass the end of the 0x70000-byte SRAM [Address(458744)]");
}

TEST(CardHost, RefusesBadTilesRangesAndOverlapsBeforeWritingAnything) {
  const Bytes data(64, 1);
  struct Case {
    const char* name;
    std::vector<HostWrite> writes;
    Tag tag;
  };
  const std::vector<Case> cases = {
      {"tile past the card", {{5, 0, data}, {1472, 0, data}}, Tag::Tile},
      {"past the SRAM", {{5, 0, data}, {6, 0x6ffc1, data}}, Tag::Address},
      {"overlap on one tile", {{5, 0, data}, {5, 0x3f, data}}, Tag::HostPacket},
  };
  for (const Case& c : cases) {
    Card card;
    const auto result = card.write_from_host(c.writes);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().code.tag, c.tag) << c.name;
    EXPECT_EQ(card.physical_sram(card.topology().logical_to_physical[5]).resident_pages(), 0u)
        << c.name;
  }
}

TEST(CardHost, SeveralTilesWriteDisjointHostRangesButNotOverlappingOnes) {
  Card card;
  host_write(card, 1471, 0x40, pattern_for(1471, 0x40, 64));
  host_write(card, 274, 0x40, pattern_for(274, 0x40, 64));
  Bytes host(128);
  const std::vector<HostRead> reads = {{1471, 0x40, std::span(host).first(64)},
                                       {274, 0x40, std::span(host).subspan(64)}};
  ASSERT_TRUE(card.read_to_host(reads).has_value());
  EXPECT_EQ(Bytes(host.begin(), host.begin() + 64), pattern_for(1471, 0x40, 64));
  EXPECT_EQ(Bytes(host.begin() + 64, host.end()), pattern_for(274, 0x40, 64));

  const std::vector<HostRead> overlapping = {{1471, 0x40, std::span(host).first(64)},
                                             {274, 0x40, std::span(host).subspan(63, 64)}};
  const auto result = card.read_to_host(overlapping);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().detail, "tiles 1471 and 274 write overlapping host ranges");
}

TEST(CardHost, JitterReordersDeterministicallyAndNeverChangesTheData) {
  // Many packets: 8 tiles x 4 KiB in 1-KiB packets.
  std::vector<Bytes> data;
  std::vector<HostWrite> writes;
  for (std::uint16_t tile = 0; tile < 8; ++tile) data.push_back(pattern_for(tile, 0x800, 4096));
  for (std::uint16_t tile = 0; tile < 8; ++tile) writes.push_back({tile, 0x800, data[tile]});

  const auto run = [&](JitterSettings settings) {
    Card card(settings);
    EXPECT_TRUE(card.write_from_host(writes).has_value());
    std::vector<Bytes> back;
    for (std::uint16_t tile = 0; tile < 8; ++tile)
      back.push_back(read_back(card, tile, 0x800, 4096));
    return back;
  };
  EXPECT_EQ(run({}), data);
  EXPECT_EQ(run({.max_delay_us = 5, .seed = 7}), data);
  EXPECT_EQ(run({.max_delay_us = 0, .seed = 0xffffffffffffffff}), data);

  const auto order = [](JitterSettings settings) {
    HostWriteJitter jitter(settings);
    return jitter.plan(32);
  };
  std::vector<std::size_t> in_order(32);
  std::iota(in_order.begin(), in_order.end(), std::size_t{0});
  EXPECT_EQ(order({}).order, in_order);
  EXPECT_EQ(order({}).delay_us, 0u);
  EXPECT_EQ(order({.max_delay_us = 9, .seed = 7}).order,
            order({.max_delay_us = 9, .seed = 7}).order);
  EXPECT_EQ(order({.max_delay_us = 9, .seed = 7}).delay_us,
            order({.max_delay_us = 9, .seed = 7}).delay_us);
  EXPECT_NE(order({.seed = 7}).order, in_order);
  EXPECT_NE(order({.seed = 7}).order, order({.seed = 8}).order);
  EXPECT_THAT(order({.seed = 7}).order, ::testing::UnorderedElementsAreArray(in_order));
  EXPECT_LE(order({.max_delay_us = 9, .seed = 7}).delay_us, 32u * 9u);
}

TEST(CardHost, CorruptionFlipsOneByteOfTheNextReadOnly) {
  Card card;
  const Bytes data = pattern_for(3, 0, 8);
  host_write(card, 3, 0, data);
  card.corrupt_next_host_read();
  Bytes first = read_back(card, 3, 0, 8);
  Bytes expected = data;
  expected[1] ^= 0xff;
  EXPECT_EQ(first, expected);
  EXPECT_EQ(read_back(card, 3, 0, 8), data);
  // A one-byte read has its only byte flipped.
  card.corrupt_next_host_read();
  EXPECT_EQ(read_back(card, 3, 0, 1), Bytes{static_cast<std::uint8_t>(data[0] ^ 0xff)});
}

constexpr std::uint32_t kAt = 0x2000;

TEST(CardExchange, MulticastReachesEveryReceiverAndAReceiverSendsItsOldValue) {
  Card card;
  for (std::uint16_t tile : {0, 1, 2, 3, 4})
    host_write(card, tile, kAt, pattern_for(tile, kAt, 16));
  // Tile 0 to 1, 2, 3; in the same phase, receiver 1 sends to 4.
  const Superstep step{
      "multicast", {}, {{0, kAt, 16, {{1, kAt}, {2, kAt}, {3, kAt}}}, {1, kAt, 16, {{4, kAt}}}}};
  ASSERT_TRUE(card.run(step).has_value());
  for (std::uint16_t tile : {0, 1, 2, 3})
    EXPECT_EQ(read_back(card, tile, kAt, 16), pattern_for(0, kAt, 16));
  EXPECT_EQ(read_back(card, 4, kAt, 16), pattern_for(1, kAt, 16));
}

TEST(CardExchange, TilesCanSwapInPlace) {
  Card card;
  host_write(card, 10, kAt, pattern_for(10, kAt, 8));
  host_write(card, 20, kAt, pattern_for(20, kAt, 8));
  ASSERT_TRUE(
      card.run({"swap", {}, {{10, kAt, 8, {{20, kAt}}}, {20, kAt, 8, {{10, kAt}}}}}).has_value());
  EXPECT_EQ(read_back(card, 10, kAt, 8), pattern_for(20, kAt, 8));
  EXPECT_EQ(read_back(card, 20, kAt, 8), pattern_for(10, kAt, 8));
}

TEST(CardExchange, RefusesBadSchedulesWithoutRunningAnyOfTheStep) {
  struct Case {
    const char* name;
    std::vector<Send> sends;
    zel_exchange::ExchangeError error;
    const char* detail;
  };
  const std::vector<Case> cases = {
      {"two values to one address",
       {{1, kAt, 8, {{5, kAt}}}, {2, kAt, 8, {{5, kAt + 4}}}},
       zel_exchange::ExchangeError::schedule_error("two sends write one address in one phase"),
       "tile 5 receives 0x2000..0x2008 from tile 1 and 0x2004..0x200c from tile 2 in one phase"},
      {"one multicast naming a receiver twice",
       {{1, kAt, 8, {{5, kAt}, {5, kAt + 8}}}},
       zel_exchange::ExchangeError::duplicate_tile(),
       "source tile 1 names receiver 5 twice"},
      {"no receiver",
       {{1, kAt, 8, {}}},
       zel_exchange::ExchangeError::receiver_set(),
       "source tile 1 sends to no receiver"},
      {"nothing to send",
       {{1, kAt, 0, {{5, kAt}}}},
       zel_exchange::ExchangeError::count(0),
       "source tile 1 sends 0 bytes from 0x2000"},
      {"source past the card",
       {{1472, kAt, 8, {{5, kAt}}}},
       zel_exchange::ExchangeError::tile(1472),
       "source tile 1472 is not on the card, which has tiles 0 to 1471"},
      {"receiver past the card",
       {{1, kAt, 8, {{2000, kAt}}}},
       zel_exchange::ExchangeError::tile(2000),
       "receiving tile 2000 is not on the card, which has tiles 0 to 1471"},
      {"receiver past its SRAM",
       {{1, kAt, 8, {{5, 0x6fffc}}}},
       zel_exchange::ExchangeError::address(0x6fffc),
       "receiving tile 5: 8 bytes at 0x6fffc pass the end of the 0x70000-byte SRAM"},
  };
  for (const Case& c : cases) {
    Card card;
    host_write(card, 5, kAt, pattern_for(5, kAt, 16));
    bool computed = false;
    Superstep step{"bad",
                   {{7, "mark",
                     [&](TileContext&) {
                       computed = true;
                       return std::expected<std::uint32_t, SimError>(1);
                     }}},
                   c.sends};
    const auto result = card.run(step);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().code, c.error) << c.name;
    EXPECT_EQ(result.error().detail, c.detail) << c.name;
    EXPECT_FALSE(computed) << c.name;
    EXPECT_EQ(read_back(card, 5, kAt, 16), pattern_for(5, kAt, 16)) << c.name;
    EXPECT_EQ(card.supersteps_run(), 0u) << c.name;
  }
}

TEST(CardExchange, AdjacentRangesOnOneTileAreNoConflict) {
  Card card;
  EXPECT_TRUE(card.run({"adjacent", {}, {{1, kAt, 8, {{5, kAt}}}, {2, kAt, 8, {{5, kAt + 8}}}}})
                  .has_value());
}

TEST(CardCycles, EveryTileAccountsComputeIdleSyncAndExchange) {
  Card card;
  Superstep step{"work", {}, {{3, kAt, 40, {{4, kAt}}}}};
  step.compute.push_back(
      {3, "busy", [](TileContext&) { return std::expected<std::uint32_t, SimError>(100); }});
  step.compute.push_back(
      {3, "more", [](TileContext&) { return std::expected<std::uint32_t, SimError>(20); }});
  ASSERT_TRUE(card.run(step).has_value());
  const CycleLog& log = card.cycles();
  const std::uint16_t busy = card.topology().logical_to_physical[3];
  const std::uint16_t receiver = card.topology().logical_to_physical[4];
  const std::uint16_t other = card.topology().logical_to_physical[9];
  const std::uint64_t exchange = CycleCosts::kExchangeLatency + 40 / 4;
  EXPECT_EQ(log.total(busy, StepKind::Compute), 120u);
  EXPECT_EQ(log.total(busy, StepKind::Idle), 0u);
  EXPECT_EQ(log.total(other, StepKind::Compute), 0u);
  EXPECT_EQ(log.total(other, StepKind::Idle), 120u + exchange);
  for (const std::uint16_t tile : {busy, receiver, other}) {
    EXPECT_EQ(log.total(tile, StepKind::Synchronization), CycleCosts::kSync);
  }
  EXPECT_EQ(log.total(busy, StepKind::Exchange), exchange);
  EXPECT_EQ(log.total(receiver, StepKind::Exchange), exchange);
  EXPECT_EQ(log.total(other, StepKind::Exchange), 0u);
  // Samples of one tile follow each other without gaps.
  const auto& samples = log.samples(busy);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].kernel, "busy");
  for (std::size_t i = 1; i < samples.size(); ++i) EXPECT_EQ(samples[i].start, samples[i - 1].end);
}

TEST(CardErrors, AKernelErrorNamesTheTile) {
  Card card;
  Superstep step{"oops",
                 {{46, "overrun",
                   [](TileContext& self) -> std::expected<std::uint32_t, SimError> {
                     Bytes data(32);
                     if (auto ok = self.sram.write(0x6fff0, data); !ok)
                       return std::unexpected(ok.error());
                     return 1;
                   }}},
                 {}};
  const auto result = card.run(step);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().describe(),
            "tile 46 (physical 1409): 32 bytes at 0x6fff0 pass the end of the 0x70000-byte SRAM "
            "[Address(458736)]");
  Bytes out(4);
  EXPECT_EQ(card.read_sram(1472, 0, out).error().code, zel_exchange::ExchangeError::tile(1472));
}

}  // namespace
}  // namespace zel_sim
