// zel-attention-f16-e2e: FP16 FlashAttention, O = softmax(Q K^T / sqrt(d)) V,
// for several encoder shapes (head dimensions 32, 64 and 128, batch sizes 1,
// 2 and 4). Every (batch, head) runs on a tile of its own: the tile walks the
// keys in blocks and keeps a running maximum and sum per query row (online
// softmax), with FP16 inputs, probabilities rounded to FP16 before they weight
// V, FP32 accumulation and an FP16 result. The host computes the same
// attention in double precision from the same FP16 inputs and accepts each
// output within kAbsoluteTolerance + kRelativeTolerance * |reference|.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "check.h"
#include "fp16.h"
#include "pattern.h"
#include "runner.h"

namespace zel_sim::runner {
namespace {

using Bytes = std::vector<std::uint8_t>;

// FP16 keeps 11 significant bits: rounding the output alone costs up to 2^-11
// of its size, rounding the probabilities up to 2^-11 of |V| <= 1.
constexpr double kAbsoluteTolerance = 1e-3;
constexpr double kRelativeTolerance = 2e-3;

constexpr std::uint32_t kBlockRows = 16;  // queries per block
constexpr std::uint32_t kBlockKeys = 16;  // keys per block
constexpr std::uint32_t kQ = 0x00000;
constexpr std::uint32_t kK = 0x10000;
constexpr std::uint32_t kV = 0x20000;
constexpr std::uint32_t kO = 0x30000;

struct Shape {
  std::uint32_t batch;
  std::uint32_t heads;
  std::uint32_t sequence;
  std::uint32_t head_dim;
};

// Every shape spans several key blocks; 40 is not a multiple of the block
// sizes, so its last blocks are partial.
constexpr Shape kShapes[] = {{1, 2, 64, 64}, {2, 2, 40, 32}, {4, 1, 32, 128}};

struct NoConfig {};

std::expected<NoConfig, Failure> configure(const Environment&) {
  return NoConfig{};
}

std::vector<float> read_f16(TileSram& sram, std::uint32_t address, std::size_t count,
                            std::expected<void, SimError>& status) {
  Bytes bytes(count * 2);
  status = sram.read(address, bytes);
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = f16_to_float(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
  }
  return values;
}

Bytes f16_bytes(std::span<const float> values) {
  Bytes bytes(values.size() * 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint16_t bits = f16_from_float(values[i]);
    bytes[2 * i] = static_cast<std::uint8_t>(bits);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
  return bytes;
}

std::expected<std::uint32_t, SimError> flash_attention(TileContext& self, const Shape& shape) {
  const std::uint32_t s = shape.sequence;
  const std::uint32_t d = shape.head_dim;
  std::expected<void, SimError> status;
  const auto q = read_f16(self.sram, kQ, std::size_t{s} * d, status);
  if (!status) return std::unexpected(status.error());
  const auto k = read_f16(self.sram, kK, std::size_t{s} * d, status);
  if (!status) return std::unexpected(status.error());
  const auto v = read_f16(self.sram, kV, std::size_t{s} * d, status);
  if (!status) return std::unexpected(status.error());
  const float scale = 1.0f / std::sqrt(static_cast<float>(d));

  std::vector<float> out(std::size_t{s} * d);
  std::vector<float> scores(kBlockKeys);
  for (std::uint32_t q0 = 0; q0 < s; q0 += kBlockRows) {
    const std::uint32_t rows = std::min(kBlockRows, s - q0);
    for (std::uint32_t r = 0; r < rows; ++r) {
      const float* query = &q[(q0 + r) * d];
      float running_max = -std::numeric_limits<float>::infinity();
      float running_sum = 0.0f;
      std::vector<float> acc(d, 0.0f);
      for (std::uint32_t k0 = 0; k0 < s; k0 += kBlockKeys) {
        const std::uint32_t keys = std::min(kBlockKeys, s - k0);
        float block_max = running_max;
        for (std::uint32_t c = 0; c < keys; ++c) {
          const float* key = &k[(k0 + c) * d];
          float dot = 0.0f;
          for (std::uint32_t x = 0; x < d; ++x) dot += query[x] * key[x];
          scores[c] = dot * scale;
          block_max = std::max(block_max, scores[c]);
        }
        // Rescale what was summed under the old maximum.
        const float rescale = std::exp(running_max - block_max);
        running_sum *= rescale;
        for (float& a : acc) a *= rescale;
        for (std::uint32_t c = 0; c < keys; ++c) {
          const float p = round_to_f16(std::exp(scores[c] - block_max));
          running_sum += p;
          const float* value = &v[(k0 + c) * d];
          for (std::uint32_t x = 0; x < d; ++x) acc[x] += p * value[x];
        }
        running_max = block_max;
      }
      for (std::uint32_t x = 0; x < d; ++x) out[(q0 + r) * d + x] = acc[x] / running_sum;
    }
  }
  if (auto ok = self.sram.write(kO, f16_bytes(out)); !ok) return std::unexpected(ok.error());
  return s * s * d / 4;  // two FP16 matrix products at eight multiply-adds a cycle
}

// Attention of one (batch, head) in double precision.
std::vector<double> reference(const std::vector<float>& q, const std::vector<float>& k,
                              const std::vector<float>& v, const Shape& shape) {
  const std::uint32_t s = shape.sequence;
  const std::uint32_t d = shape.head_dim;
  std::vector<double> out(std::size_t{s} * d, 0.0);
  std::vector<double> weights(s);
  for (std::uint32_t r = 0; r < s; ++r) {
    double largest = -std::numeric_limits<double>::infinity();
    for (std::uint32_t c = 0; c < s; ++c) {
      double dot = 0.0;
      for (std::uint32_t x = 0; x < d; ++x) dot += double{q[r * d + x]} * k[c * d + x];
      weights[c] = dot / std::sqrt(static_cast<double>(d));
      largest = std::max(largest, weights[c]);
    }
    double sum = 0.0;
    for (double& w : weights) sum += (w = std::exp(w - largest));
    for (std::uint32_t c = 0; c < s; ++c) {
      for (std::uint32_t x = 0; x < d; ++x) out[r * d + x] += weights[c] / sum * v[c * d + x];
    }
  }
  return out;
}

// FP16 values from -range to range, distinct for every tile and tensor.
std::vector<float> inputs(std::uint16_t tile, std::uint32_t tensor, std::size_t count,
                          float range) {
  Bytes raw(count * 2);
  fill_pattern(raw, pattern_stream(PatternDomain::Host, tile, tensor), 0);
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto bits = static_cast<std::uint16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    values[i] = round_to_f16((static_cast<float>(bits) / 65535.0f * 2.0f - 1.0f) * range);
  }
  return values;
}

struct Job {
  Shape shape;
  std::uint32_t batch;
  std::uint32_t head;
  std::uint16_t tile;
  std::vector<float> q, k, v;
  Bytes q_bytes, k_bytes, v_bytes;
};

Outcome run(const NoConfig&, Card& card) {
  std::vector<Job> jobs;
  for (const Shape& shape : kShapes) {
    for (std::uint32_t b = 0; b < shape.batch; ++b) {
      for (std::uint32_t h = 0; h < shape.heads; ++h) {
        // 97 is coprime to 1,472: the jobs land on distinct tiles across the card.
        const auto tile = static_cast<std::uint16_t>(jobs.size() * 97 % zel_exchange::kT742Tiles);
        const std::size_t count = std::size_t{shape.sequence} * shape.head_dim;
        Job job{shape,
                b,
                h,
                tile,
                inputs(tile, 0, count, 2.0f),
                inputs(tile, 1, count, 2.0f),
                inputs(tile, 2, count, 1.0f),
                {},
                {},
                {}};
        job.q_bytes = f16_bytes(job.q);
        job.k_bytes = f16_bytes(job.k);
        job.v_bytes = f16_bytes(job.v);
        jobs.push_back(std::move(job));
      }
    }
  }
  std::vector<HostWrite> writes;
  Superstep step{"flash-attention", {}, {}};
  for (const Job& job : jobs) {
    writes.push_back({job.tile, kQ, job.q_bytes});
    writes.push_back({job.tile, kK, job.k_bytes});
    writes.push_back({job.tile, kV, job.v_bytes});
    step.compute.push_back(
        {job.tile, "flash-attention-f16",
         [shape = job.shape](TileContext& self) { return flash_attention(self, shape); }});
  }
  if (auto ok = card.write_from_host(writes); !ok)
    return std::unexpected(card_failure("load", ok.error()));
  if (auto ok = card.run(step); !ok) return std::unexpected(card_failure("attention", ok.error()));

  std::vector<Bytes> outputs;
  outputs.reserve(jobs.size());
  std::vector<HostRead> reads;
  for (const Job& job : jobs) {
    outputs.emplace_back(std::size_t{job.shape.sequence} * job.shape.head_dim * 2);
    reads.push_back({job.tile, kO, outputs.back()});
  }
  if (auto ok = card.read_to_host(reads); !ok)
    return std::unexpected(card_failure("read O", ok.error()));

  for (std::size_t j = 0; j < jobs.size(); ++j) {
    const Job& job = jobs[j];
    const std::vector<double> want = reference(job.q, job.k, job.v, job.shape);
    for (std::size_t i = 0; i < want.size(); ++i) {
      const float found =
          f16_to_float(static_cast<std::uint16_t>(outputs[j][2 * i] | outputs[j][2 * i + 1] << 8));
      const double allowed = kAbsoluteTolerance + kRelativeTolerance * std::abs(want[i]);
      if (!(std::abs(found - want[i]) <= allowed)) {
        return std::unexpected(
            mismatch(cat("batch ", job.batch, " head ", job.head, " of sequence ",
                         job.shape.sequence, " head dimension ", job.shape.head_dim, " O[",
                         i / job.shape.head_dim, "][", i % job.shape.head_dim, "]"),
                     job.tile, kO + 2 * i,
                     cat(decimal(static_cast<float>(want[i])), " within ",
                         decimal(static_cast<float>(allowed))),
                     decimal(found)));
      }
    }
  }
  return {};
}

}  // namespace
}  // namespace zel_sim::runner

int main() {
  using namespace zel_sim::runner;
  return runner_main<NoConfig>("zel-attention-f16-e2e", configure, run);
}
