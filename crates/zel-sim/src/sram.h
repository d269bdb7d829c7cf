// One tile's SRAM: 448 KiB (0x70000 bytes), allocated a 4-KiB page at a time
// on first write, so 1,472 tiles cost only the pages a scenario touches.
// Unwritten bytes read as zero. An access that does not lie wholly inside the
// SRAM is refused with ExchangeError::Address and touches nothing.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "sim_error.h"

namespace zel_sim {

inline constexpr std::uint32_t kSramBytes = 0x70000;
inline constexpr std::uint32_t kSramPageBytes = 0x1000;

class TileSram {
 public:
  std::expected<void, SimError> read(std::uint32_t address, std::span<std::uint8_t> out) const;
  std::expected<void, SimError> write(std::uint32_t address, std::span<const std::uint8_t> data);
  // Pages allocated so far (for tests of the lazy allocation).
  std::size_t resident_pages() const;

 private:
  using Page = std::array<std::uint8_t, kSramPageBytes>;
  static std::expected<void, SimError> check(std::uint32_t address, std::size_t bytes);
  std::array<std::unique_ptr<Page>, kSramBytes / kSramPageBytes> pages_;
};

}  // namespace zel_sim
