// Buffers placed across SRAM arenas.
#include <gtest/gtest.h>

#include "segmented_allocator.h"

namespace zel_sim {
namespace {

TEST(SegmentedAllocator, SplitsBuffersAcrossArenasInOrder) {
  auto allocator = SegmentedAllocator::create(
      {{0x4000, 0x280}, {0x18000, 0x280}, {0x30000, 0x280}, {0x48000, 0x280}, {0x5f000, 0x280}});
  ASSERT_TRUE(allocator.has_value());
  EXPECT_EQ(*allocator->allocate(1024, 4),
            (std::vector<Segment>{{0x4000, 0x280}, {0x18000, 0x180}}));
  EXPECT_EQ(*allocator->allocate(1024, 4),
            (std::vector<Segment>{{0x18180, 0x100}, {0x30000, 0x280}, {0x48000, 0x80}}));
  EXPECT_EQ(*allocator->allocate(1024, 4),
            (std::vector<Segment>{{0x48080, 0x200}, {0x5f000, 0x200}}));
  const auto full = allocator->allocate(0x100, 4);
  ASSERT_FALSE(full.has_value());
  EXPECT_EQ(full.error().message, "cannot allocate 256 bytes: the arenas have 128 bytes left");
  // A failed allocation takes nothing.
  EXPECT_EQ(*allocator->allocate(0x80, 4), (std::vector<Segment>{{0x5f200, 0x80}}));
}

TEST(SegmentedAllocator, KeepsSegmentsAligned) {
  auto allocator = SegmentedAllocator::create({{0x1002, 0x20}, {0x2000, 0x40}});
  ASSERT_TRUE(allocator.has_value());
  // 0x1002..0x1022 holds 0x18 bytes at 0x1008 when aligned to 8.
  EXPECT_EQ(*allocator->allocate(0x20, 8), (std::vector<Segment>{{0x1008, 0x18}, {0x2000, 0x8}}));
}

TEST(SegmentedAllocator, RejectsBadLayoutsAndRequests) {
  struct Case {
    std::vector<Arena> arenas;
    const char* message;
  };
  for (const Case& c : {
           Case{{{0x1000, 0x100}, {0x10f0, 0x100}}, "arenas at 0x1000 and 0x10f0 overlap"},
           Case{
               {{0x6ff00, 0x200}},
               "arena of 512 bytes at 0x6ff00 is empty or passes the end of the 0x70000-byte SRAM"},
           Case{{{0x100, 0}},
                "arena of 0 bytes at 0x100 is empty or passes the end of the "
                "0x70000-byte SRAM"},
       }) {
    const auto allocator = SegmentedAllocator::create(c.arenas);
    ASSERT_FALSE(allocator.has_value());
    EXPECT_EQ(allocator.error().message, c.message);
  }
  auto allocator = SegmentedAllocator::create({{0, 0x100}});
  EXPECT_EQ(allocator->allocate(6, 4).error().message,
            "cannot allocate 6 bytes aligned to 4: expected a non-zero multiple of a power of two");
  EXPECT_FALSE(allocator->allocate(0, 4).has_value());
  EXPECT_FALSE(allocator->allocate(12, 3).has_value());
}

}  // namespace
}  // namespace zel_sim
