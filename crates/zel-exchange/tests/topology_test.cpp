// The T742 logical-to-physical numbering and the exchange errors' debug text.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "zel_exchange.h"

namespace {

using zel_exchange::ExchangeError;
using zel_exchange::t742_logical_to_physical;
using zel_exchange::Topology;

TEST(T742Topology, MapsTheWorkedRows) {
  struct Row {
    std::uint16_t logical, physical;
  };
  const Row rows[] = {{0, 0},  {1, 2},  {2, 64},   {45, 1410}, {46, 1409}, {90, 1},
                      {91, 3}, {92, 4}, {456, 81}, {1470, 61}, {1471, 63}};
  const auto topology = Topology::t742();
  for (const auto [logical, physical] : rows) {
    SCOPED_TRACE(logical);
    EXPECT_EQ(t742_logical_to_physical(logical), physical);
    EXPECT_EQ(topology.physical(logical), physical);
  }
}

TEST(T742Topology, IsAPermutationOfTheCardsTiles) {
  const auto table = Topology::t742().logical_to_physical;
  ASSERT_EQ(table.size(), 1472u);
  auto sorted = table;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint16_t> all(1472);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(sorted, all);

  // 23 rows of 64; within a row, bit 0 is the block's parity, bit 1 the lane
  // and bits 2 to 5 the block pair.
  for (std::uint16_t logical = 0; logical < 1472; ++logical) {
    const unsigned physical = table[logical];
    const unsigned block = logical / 46;
    EXPECT_LT(physical / 64, 23u);
    EXPECT_EQ(physical & 1, block % 2) << logical;
    EXPECT_EQ((physical >> 1) & 1, logical % 2u) << logical;
    EXPECT_EQ((physical >> 2) & 15, block / 2) << logical;
  }
}

TEST(T742Topology, PhysicalTilesMapBackToTheirLogicalNumbers) {
  const auto table = Topology::t742().logical_to_physical;
  const auto logical_of = [&](std::uint16_t physical) {
    return std::find(table.begin(), table.end(), physical) - table.begin();
  };
  EXPECT_EQ(logical_of(81), 456);
  EXPECT_EQ(logical_of(1425), 414);
}

TEST(T742Topology, LookupsPastTheLastTileAreErrors) {
  const auto topology = Topology::t742();
  for (const std::uint16_t logical : {1472, 1473, 65535}) {
    const auto physical = topology.physical(logical);
    ASSERT_FALSE(physical.has_value());
    EXPECT_EQ(physical.error(), ExchangeError::tile(logical));
    EXPECT_EQ(debug_text(physical.error()), "Tile(" + std::to_string(logical) + ")");
  }
  EXPECT_EQ(topology.logical_to_physical.size(), 1472u);

  // Outside the card the function still computes, but is no permutation.
  EXPECT_EQ(t742_logical_to_physical(1472), 64);
  EXPECT_EQ(t742_logical_to_physical(2), 64);
  EXPECT_EQ(t742_logical_to_physical(65535), 3810);
}

TEST(ExchangeErrorText, NamesTheVariantAndItsPayload) {
  struct Case {
    ExchangeError error;
    const char* text;
  };
  const Case cases[] = {
      {ExchangeError::tile(1472), "Tile(1472)"},
      {ExchangeError::duplicate_tile(), "DuplicateTile"},
      {ExchangeError::count(4294967295u), "Count(4294967295)"},
      {ExchangeError::receiver_set(), "ReceiverSet"},
      {ExchangeError::schedule_error("cycle \"a\\b\"\n\x01\x7f"),
       "Schedule(\"cycle \\\"a\\\\b\\\"\\n\\u{1}\\u{7f}\")"},
      {ExchangeError::address(0x1000), "Address(4096)"},
      {ExchangeError::host_packet(), "HostPacket"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(debug_text(error), text);
}

}  // namespace
