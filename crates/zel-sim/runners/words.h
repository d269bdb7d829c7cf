// 32-bit words in SRAM byte images (little-endian, as on the card and host).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace zel_sim::runner {

inline std::vector<std::uint32_t> to_words(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), words.size() * 4);
  return words;
}

inline std::vector<std::uint8_t> to_bytes(std::span<const std::uint32_t> words) {
  std::vector<std::uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

}  // namespace zel_sim::runner
