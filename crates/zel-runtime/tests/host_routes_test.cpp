#include "host_routes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "failure_text.h"
#include "frame.h"

namespace zel_runtime {
namespace {

TEST(HostRoutes, PhysicalTilesAreRowZeroThenPositionSeventeenOfEveryOtherRow) {
  const auto tiles = host_route_physical_tiles();
  ASSERT_EQ(tiles.size(), 86u);
  for (std::uint16_t i = 0; i < 64; ++i) EXPECT_EQ(tiles[i], i);
  for (std::uint16_t row = 1; row <= 22; ++row) EXPECT_EQ(tiles[63 + row], row * 64 + 17);
  EXPECT_EQ(tiles[64], 81);
  EXPECT_EQ(tiles.back(), 1425);
}

TEST(HostRoutes, T742ValueIsTheFullLogicalList) {
  const std::string value =
      tile_list(logical_tiles(zel_exchange::Topology::t742(), host_route_physical_tiles()));
  EXPECT_EQ(value,
            "0,90,1,91,92,182,93,183,184,274,185,275,276,366,277,367,368,458,369,459,460,550,"
            "461,551,552,642,553,643,644,734,645,735,736,826,737,827,828,918,829,919,920,1010,"
            "921,1011,1012,1102,1013,1103,1104,1194,1105,1195,1196,1286,1197,1287,1288,1378,"
            "1289,1379,1380,1470,1381,1471,456,454,452,450,448,446,444,442,440,438,436,434,432,"
            "430,428,426,424,422,420,418,416,414");
  EXPECT_EQ(value.size(), 357u);
  EXPECT_EQ(std::ranges::count(value, ','), 85);
}

TEST(HostRoutes, LookupFailuresFailTheTest) {
  // A table shorter than the card: logical 10 is asked for and has no tile.
  const zel_exchange::Topology short_table(std::vector<std::uint16_t>(10, 5000));
  EXPECT_EQ(failure_text([&] { logical_tiles(short_table, {0}); }),
            "called `Result::unwrap()` on an `Err` value: Tile(10)");

  // A whole table in which physical tile 7 never occurs.
  std::vector<std::uint16_t> without_seven(1472);
  for (std::size_t i = 0; i < without_seven.size(); ++i) {
    without_seven[i] = static_cast<std::uint16_t>(i == 7 ? 9999 : i);
  }
  const zel_exchange::Topology incomplete(without_seven);
  EXPECT_EQ(failure_text([&] {
              logical_tiles(incomplete, {3, 7});
            }),
            "physical T742 tile must have a logical tile");
  EXPECT_EQ(logical_tiles(incomplete, {3, 1471}), (std::vector<std::uint16_t>{3, 1471}));
}

}  // namespace
}  // namespace zel_runtime
