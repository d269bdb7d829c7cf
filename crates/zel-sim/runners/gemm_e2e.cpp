// zel-gemm-e2e: C = A x B for square float matrices of "ZEL_GEMM_DIMENSION",
// in 16 x 16 blocks spread over the card. Every block product A(i,k) B(k,j)
// runs on a tile of its own; the partial products of each C(i,j) travel over
// the exchange to the tile of k = 0, which adds them up. The host reads C back
// and compares it with its own product; the block "ZEL_GEMM_SRAM_CHECK_BLOCK"
// is also read straight from its tile's SRAM. The matrices hold small
// integers, so every sum is exact and the comparison is exact too. With
// "ZEL_PROFILE_OUTPUT" set, the card's cycle profile is written there.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "check.h"
#include "pattern.h"
#include "profile_writer.h"
#include "runner.h"
#include "zel_text.h"

namespace zel_sim::runner {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBlock = 16;
constexpr std::uint32_t kBlockBytes = kBlock * kBlock * 4;
constexpr std::uint32_t kMaxDimension = 256;  // 4,096 block products, three per tile at most
constexpr std::uint16_t kTiles = zel_exchange::kT742Tiles;

// Per-tile layout, one kBlockBytes entry per slot (block product) of the tile.
constexpr std::uint32_t kA = 0x00000;
constexpr std::uint32_t kB = 0x01000;
constexpr std::uint32_t kPartial = 0x02000;
constexpr std::uint32_t kReceive = 0x04000;  // (slot * grid + k) blocks
constexpr std::uint32_t kC = 0x10000;

struct GemmConfig {
  std::uint32_t dimension = 128;
  std::uint32_t check_row = 0;
  std::uint32_t check_column = 0;
  std::optional<std::string> profile;
};

std::expected<GemmConfig, Failure> configure(const Environment& env) {
  GemmConfig config;
  const std::string expected_dimension =
      cat("a multiple of ", kBlock, " from ", kBlock, " to ", kMaxDimension);
  auto dimension = read_decimal(env, "ZEL_GEMM_DIMENSION", config.dimension, kBlock, kMaxDimension,
                                expected_dimension);
  if (!dimension) return std::unexpected(dimension.error());
  if (*dimension % kBlock != 0) {
    return std::unexpected(
        bad_value("ZEL_GEMM_DIMENSION", *env.get("ZEL_GEMM_DIMENSION"), expected_dimension));
  }
  config.dimension = static_cast<std::uint32_t>(*dimension);
  const std::uint32_t grid = config.dimension / kBlock;
  if (const auto text = env.get("ZEL_GEMM_SRAM_CHECK_BLOCK")) {
    const auto block = parse_decimal_list(*text);
    if (!block || block->size() != 2 || (*block)[0] >= grid || (*block)[1] >= grid) {
      return std::unexpected(bad_value("ZEL_GEMM_SRAM_CHECK_BLOCK", *text,
                                       cat("\"row,column\" with each from 0 to ", grid - 1)));
    }
    config.check_row = static_cast<std::uint32_t>((*block)[0]);
    config.check_column = static_cast<std::uint32_t>((*block)[1]);
  }
  config.profile = env.get("ZEL_PROFILE_OUTPUT");
  return config;
}

// Where block product (i, j, k) runs: products are dealt round the tiles.
struct Place {
  std::uint16_t tile;
  std::uint32_t slot;
};

class Blocking {
 public:
  explicit Blocking(std::uint32_t grid) : grid_(grid) {}
  std::uint32_t grid() const { return grid_; }
  Place product(std::uint32_t i, std::uint32_t j, std::uint32_t k) const {
    const std::uint32_t index = (i * grid_ + j) * grid_ + k;
    return {static_cast<std::uint16_t>(index % kTiles), index / kTiles};
  }
  // C(i, j) is summed on the tile of its k = 0 product.
  Place owner(std::uint32_t i, std::uint32_t j) const { return product(i, j, 0); }
  std::uint32_t receive(const Place& owner, std::uint32_t k) const {
    return kReceive + (owner.slot * grid_ + k) * kBlockBytes;
  }

 private:
  std::uint32_t grid_;
};

std::vector<float> random_matrix(std::uint32_t n, std::uint32_t which) {
  std::vector<float> m(std::size_t{n} * n);
  for (std::size_t i = 0; i < m.size(); ++i) {
    // Integers from -8 to 8: all products and sums stay exact in float.
    m[i] = static_cast<float>(static_cast<int>(mix64((std::uint64_t{which} << 40) ^ i) % 17) - 8);
  }
  return m;
}

Bytes block_of(const std::vector<float>& m, std::uint32_t n, std::uint32_t row, std::uint32_t col) {
  Bytes bytes(kBlockBytes);
  for (std::uint32_t r = 0; r < kBlock; ++r) {
    std::memcpy(bytes.data() + r * kBlock * 4, &m[(row * kBlock + r) * n + col * kBlock],
                kBlock * 4);
  }
  return bytes;
}

std::vector<float> floats(std::span<const std::uint8_t> bytes) {
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

std::expected<std::vector<float>, SimError> read_block(TileSram& sram, std::uint32_t address) {
  Bytes bytes(kBlockBytes);
  if (auto ok = sram.read(address, bytes); !ok) return std::unexpected(ok.error());
  return floats(bytes);
}

std::expected<std::uint32_t, SimError> write_block(TileSram& sram, std::uint32_t address,
                                                   const std::vector<float>& block) {
  Bytes bytes(kBlockBytes);
  std::memcpy(bytes.data(), block.data(), kBlockBytes);
  if (auto ok = sram.write(address, bytes); !ok) return std::unexpected(ok.error());
  return 0;
}

Outcome compare_block(std::string_view context, const Place& owner, std::uint32_t base_row,
                      std::uint32_t base_col, std::uint32_t n, const std::vector<double>& want,
                      std::span<const float> found, std::size_t found_stride) {
  for (std::uint32_t r = 0; r < kBlock; ++r) {
    for (std::uint32_t c = 0; c < kBlock; ++c) {
      const auto expected = static_cast<float>(want[(base_row + r) * n + base_col + c]);
      const float value = found[r * found_stride + c];
      if (!(value == expected)) {
        return std::unexpected(mismatch(cat(context, "C[", base_row + r, "][", base_col + c, "]"),
                                        owner.tile,
                                        kC + owner.slot * kBlockBytes + (r * kBlock + c) * 4,
                                        decimal(expected), decimal(value)));
      }
    }
  }
  return {};
}

Outcome write_profile(const GemmConfig& config, const Card& card) {
  auto bytes = encode_profile(card.cycles(), CycleCosts::kClockHz);
  if (!bytes) return std::unexpected(Failure{kCheckFailed, bytes.error().message});
  if (auto ok = write_file(*config.profile, *bytes); !ok) {
    return std::unexpected(Failure{
        kCheckFailed,
        cat("cannot write the profile to ", zel_text::debug_quoted(*config.profile),
            " (ZEL_PROFILE_OUTPUT): ", zel_text::os_error_text(ok.error()))});
  }
  return {};
}

Outcome run(const GemmConfig& config, Card& card) {
  const std::uint32_t n = config.dimension;
  const Blocking blocks(n / kBlock);
  const std::uint32_t g = blocks.grid();
  const std::vector<float> a = random_matrix(n, 1);
  const std::vector<float> b = random_matrix(n, 2);
  std::vector<double> reference(std::size_t{n} * n, 0.0);
  for (std::uint32_t i = 0; i < n; ++i) {
    for (std::uint32_t k = 0; k < n; ++k) {
      const double left = a[i * n + k];
      for (std::uint32_t j = 0; j < n; ++j) reference[i * n + j] += left * b[k * n + j];
    }
  }

  // Load every block product's operands.
  std::vector<Bytes> operands;
  operands.reserve(2 * std::size_t{g} * g * g);
  std::vector<HostWrite> writes;
  for (std::uint32_t i = 0; i < g; ++i) {
    for (std::uint32_t j = 0; j < g; ++j) {
      for (std::uint32_t k = 0; k < g; ++k) {
        const Place at = blocks.product(i, j, k);
        operands.push_back(block_of(a, n, i, k));
        writes.push_back({at.tile, kA + at.slot * kBlockBytes, operands.back()});
        operands.push_back(block_of(b, n, k, j));
        writes.push_back({at.tile, kB + at.slot * kBlockBytes, operands.back()});
      }
    }
  }
  if (auto ok = card.write_from_host(writes); !ok)
    return std::unexpected(card_failure("load", ok.error()));

  // Block products; partial products to the owner of their C block.
  Superstep products{"gemm-block-product", {}, {}};
  for (std::uint32_t i = 0; i < g; ++i) {
    for (std::uint32_t j = 0; j < g; ++j) {
      const Place owner = blocks.owner(i, j);
      for (std::uint32_t k = 0; k < g; ++k) {
        const Place at = blocks.product(i, j, k);
        const std::uint32_t slot = at.slot;
        products.compute.push_back(
            {at.tile, "matmul-f32-16x16",
             [slot](TileContext& self) -> std::expected<std::uint32_t, SimError> {
               auto left = read_block(self.sram, kA + slot * kBlockBytes);
               if (!left) return std::unexpected(left.error());
               auto right = read_block(self.sram, kB + slot * kBlockBytes);
               if (!right) return std::unexpected(right.error());
               std::vector<float> out(kBlock * kBlock, 0.0f);
               for (std::uint32_t r = 0; r < kBlock; ++r) {
                 for (std::uint32_t m = 0; m < kBlock; ++m) {
                   const float x = (*left)[r * kBlock + m];
                   for (std::uint32_t c = 0; c < kBlock; ++c)
                     out[r * kBlock + c] += x * (*right)[m * kBlock + c];
                 }
               }
               if (auto ok = write_block(self.sram, kPartial + slot * kBlockBytes, out); !ok)
                 return ok;
               return kBlock * kBlock * kBlock / 4;  // four multiply-adds a cycle
             }});
        if (k > 0) {
          products.exchange.push_back({at.tile,
                                       kPartial + slot * kBlockBytes,
                                       kBlockBytes,
                                       {{owner.tile, blocks.receive(owner, k)}}});
        }
      }
    }
  }
  if (auto ok = card.run(products); !ok)
    return std::unexpected(card_failure("block products", ok.error()));

  // Each owner adds its own partial product and the g - 1 it received.
  Superstep sums{"gemm-block-sum", {}, {}};
  for (std::uint32_t i = 0; i < g; ++i) {
    for (std::uint32_t j = 0; j < g; ++j) {
      const Place owner = blocks.owner(i, j);
      sums.compute.push_back(
          {owner.tile, "accumulate-f32-16x16",
           [owner, blocks](TileContext& self) -> std::expected<std::uint32_t, SimError> {
             auto total = read_block(self.sram, kPartial + owner.slot * kBlockBytes);
             if (!total) return std::unexpected(total.error());
             for (std::uint32_t k = 1; k < blocks.grid(); ++k) {
               auto part = read_block(self.sram, blocks.receive(owner, k));
               if (!part) return std::unexpected(part.error());
               for (std::size_t e = 0; e < total->size(); ++e) (*total)[e] += (*part)[e];
             }
             if (auto ok = write_block(self.sram, kC + owner.slot * kBlockBytes, *total); !ok)
               return ok;
             return kBlock * kBlock * blocks.grid() / 4;
           }});
    }
  }
  if (auto ok = card.run(sums); !ok) return std::unexpected(card_failure("block sums", ok.error()));

  // C back to the host, one block row straight into its place in the matrix.
  std::vector<float> c(std::size_t{n} * n, 0.0f);
  const auto c_bytes = std::as_writable_bytes(std::span(c));
  const std::span<std::uint8_t> host(reinterpret_cast<std::uint8_t*>(c_bytes.data()),
                                     c_bytes.size());
  std::vector<HostRead> reads;
  for (std::uint32_t i = 0; i < g; ++i) {
    for (std::uint32_t j = 0; j < g; ++j) {
      const Place owner = blocks.owner(i, j);
      for (std::uint32_t r = 0; r < kBlock; ++r) {
        reads.push_back({owner.tile, kC + owner.slot * kBlockBytes + r * kBlock * 4,
                         host.subspan(((i * kBlock + r) * n + j * kBlock) * 4, kBlock * 4)});
      }
    }
  }
  if (auto ok = card.read_to_host(reads); !ok)
    return std::unexpected(card_failure("read C", ok.error()));

  // The checked block, read from its tile's SRAM rather than over the host link.
  const Place owner = blocks.owner(config.check_row, config.check_column);
  Bytes direct(kBlockBytes);
  if (auto ok = card.read_sram(owner.tile, kC + owner.slot * kBlockBytes, direct); !ok) {
    return std::unexpected(card_failure("SRAM check", ok.error()));
  }

  // The profile of what ran is written before the results are judged, so a
  // failed check leaves it for a look; a failed check is still the verdict.
  const Outcome profiled = config.profile ? write_profile(config, card) : Outcome{};
  for (std::uint32_t i = 0; i < g; ++i) {
    for (std::uint32_t j = 0; j < g; ++j) {
      const auto found = std::span(c).subspan((i * kBlock) * n + j * kBlock);
      if (auto ok =
              compare_block("", blocks.owner(i, j), i * kBlock, j * kBlock, n, reference, found, n);
          !ok)
        return ok;
    }
  }
  const std::string context =
      cat("SRAM check of block (", config.check_row, ",", config.check_column, "): ");
  if (auto ok = compare_block(context, owner, config.check_row * kBlock,
                              config.check_column * kBlock, n, reference, floats(direct), kBlock);
      !ok)
    return ok;
  return profiled;
}

}  // namespace
}  // namespace zel_sim::runner

int main() {
  using namespace zel_sim::runner;
  return runner_main<GemmConfig>("zel-gemm-e2e", configure, run);
}
