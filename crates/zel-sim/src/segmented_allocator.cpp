// First-fit allocation across arenas.
#include "segmented_allocator.h"

#include <algorithm>
#include "text.h"

#include "sram.h"

namespace zel_sim {

std::expected<SegmentedAllocator, ConfigError> SegmentedAllocator::create(
    std::vector<Arena> arenas) {
  for (const Arena& arena : arenas) {
    if (arena.bytes == 0 || std::uint64_t{arena.base} + arena.bytes > kSramBytes) {
      return std::unexpected(
          ConfigError{cat("arena of ", arena.bytes, " bytes at ", hex(arena.base),
                          " is empty or passes the end of the ", hex(kSramBytes), "-byte SRAM")});
    }
  }
  std::vector<Arena> sorted = arenas;
  std::ranges::sort(sorted, {}, &Arena::base);
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i].base < sorted[i - 1].base + sorted[i - 1].bytes) {
      return std::unexpected(ConfigError{
          cat("arenas at ", hex(sorted[i - 1].base), " and ", hex(sorted[i].base), " overlap")});
    }
  }
  return SegmentedAllocator(std::move(arenas));
}

std::expected<std::vector<Segment>, ConfigError> SegmentedAllocator::allocate(std::uint32_t bytes,
                                                                              std::uint32_t align) {
  if (align == 0 || (align & (align - 1)) != 0 || bytes == 0 || bytes % align != 0) {
    return std::unexpected(ConfigError{cat("cannot allocate ", bytes, " bytes aligned to ", align,
                                           ": expected a non-zero multiple of a power of two")});
  }
  std::vector<Arena> left = free_;
  std::vector<Segment> segments;
  std::uint32_t needed = bytes;
  for (Arena& arena : left) {
    if (needed == 0) break;
    const std::uint32_t start = (arena.base + align - 1) & ~(align - 1);
    const std::uint32_t end = (arena.base + arena.bytes) & ~(align - 1);
    if (end <= start) continue;
    const std::uint32_t take = std::min(needed, end - start);
    segments.push_back({start, take});
    needed -= take;
    arena.bytes = arena.base + arena.bytes - (start + take);
    arena.base = start + take;
  }
  if (needed > 0) {
    return std::unexpected(ConfigError{
        cat("cannot allocate ", bytes, " bytes: the arenas have ", bytes - needed, " bytes left")});
  }
  free_ = std::move(left);
  return segments;
}

}  // namespace zel_sim
