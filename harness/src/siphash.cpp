// SipHash-1-3: one compression round per 8-byte block, three finalization
// rounds, over the standard initial state.
#include <bit>
#include <cstddef>

#include "harness/shuffle.h"

namespace harness {

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(std::uint64_t block) {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

std::uint64_t load_le(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
  return word;
}

}  // namespace

std::uint64_t siphash13_keyed(std::uint64_t k0, std::uint64_t k1,
                              std::span<const std::uint8_t> bytes) {
  SipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
             k1 ^ 0x7465646279746573ull};
  const std::size_t whole = bytes.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le(bytes.data() + i, 8));
  // The last block holds the remaining bytes and, in its top byte, the
  // length modulo 256.
  const std::uint64_t last = load_le(bytes.data() + whole, bytes.size() - whole) |
                             (static_cast<std::uint64_t>(bytes.size() & 0xff) << 56);
  s.compress(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(std::span<const std::uint8_t> bytes) {
  return siphash13_keyed(0, 0, bytes);
}

}  // namespace harness
