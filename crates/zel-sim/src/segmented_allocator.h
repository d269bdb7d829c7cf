// The compiler's view of a tile's SRAM as separate arenas (regions left free
// between code, stacks and reserved areas). A buffer is placed first-fit and,
// when an arena has too little room left, continues in the next one, so a
// single tensor may lie in several segments. Kernels must walk segments.
//
//   auto allocator = SegmentedAllocator::create({{0x4000, 0x280}, {0x18000, 0x280}});
//   auto a = allocator->allocate(1024, 4);  // {{0x4000, 0x280}, {0x18000, 0x180}}
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "sim_error.h"

namespace zel_sim {

struct Arena {
  std::uint32_t base;
  std::uint32_t bytes;
};

struct Segment {
  std::uint32_t address;
  std::uint32_t bytes;
  bool operator==(const Segment&) const = default;
};

class SegmentedAllocator {
 public:
  // Arenas must be non-empty, inside the SRAM, and must not overlap; they are
  // used in the order given.
  static std::expected<SegmentedAllocator, ConfigError> create(std::vector<Arena> arenas);

  // `bytes` bytes (a non-zero multiple of `align`, itself a power of two) as
  // segments in address order of use; every segment starts on and holds a
  // multiple of `align`.
  std::expected<std::vector<Segment>, ConfigError> allocate(std::uint32_t bytes,
                                                            std::uint32_t align);

 private:
  explicit SegmentedAllocator(std::vector<Arena> arenas) : free_(std::move(arenas)) {}
  std::vector<Arena> free_;  // what is left of each arena
};

}  // namespace zel_sim
