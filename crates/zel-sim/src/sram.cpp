// Lazily paged tile SRAM with bounds checks.
#include "sram.h"

#include <algorithm>
#include "text.h"

namespace zel_sim {

std::expected<void, SimError> TileSram::check(std::uint32_t address, std::size_t bytes) {
  if (std::uint64_t{address} + bytes <= kSramBytes) return {};
  return std::unexpected(sim_error(zel_exchange::ExchangeError::address(address),
                                   cat(bytes, " bytes at ", hex(address), " pass the end of the ",
                                       hex(kSramBytes), "-byte SRAM")));
}

std::expected<void, SimError> TileSram::read(std::uint32_t address,
                                             std::span<std::uint8_t> out) const {
  if (auto ok = check(address, out.size()); !ok) return ok;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(done);
    const std::uint32_t offset = at % kSramPageBytes;
    const std::size_t chunk = std::min<std::size_t>(out.size() - done, kSramPageBytes - offset);
    const auto& page = pages_[at / kSramPageBytes];
    if (page) {
      std::copy_n(page->begin() + offset, chunk, out.begin() + done);
    } else {
      std::fill_n(out.begin() + done, chunk, std::uint8_t{0});
    }
    done += chunk;
  }
  return {};
}

std::expected<void, SimError> TileSram::write(std::uint32_t address,
                                              std::span<const std::uint8_t> data) {
  if (auto ok = check(address, data.size()); !ok) return ok;
  std::size_t done = 0;
  while (done < data.size()) {
    const std::uint32_t at = address + static_cast<std::uint32_t>(done);
    const std::uint32_t offset = at % kSramPageBytes;
    const std::size_t chunk = std::min<std::size_t>(data.size() - done, kSramPageBytes - offset);
    auto& page = pages_[at / kSramPageBytes];
    if (!page) page = std::make_unique<Page>();  // value-initialised: zero-filled
    std::copy_n(data.begin() + done, chunk, page->begin() + offset);
    done += chunk;
  }
  return {};
}

std::size_t TileSram::resident_pages() const {
  return static_cast<std::size_t>(std::count_if(pages_.begin(), pages_.end(),
                                                [](const auto& page) { return page != nullptr; }));
}

}  // namespace zel_sim
