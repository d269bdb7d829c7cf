// Writes the cycle profiles that the stand-in GEMM runner hands back: a valid
// whole-card profile and variants that each break one thing the GEMM test
// checks.
//
//   hw_profile_fixture VARIANT PATH
//
// Variants: valid, version-0, tiles-1471, tiles-1473, clock-0, tile-without-samples,
// no-exchange, no-compute, no-synchronization, no-idle.
#include <fcntl.h>
#include <unistd.h>

#include <capnp/message.h>
#include <capnp/serialize.h>

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "profile.capnp.h"

namespace {

struct Variant {
  std::uint32_t schema_version = 3;
  std::uint64_t clock_hz = 1'850'000'000;
  std::uint32_t tiles = 1472;
  bool tile_without_samples = false;
  int missing_kind = -1;  // a StepKind value that occurs nowhere
};

bool variant_named(std::string_view name, Variant& variant) {
  using Change = void (*)(Variant&);
  static constexpr std::pair<std::string_view, Change> kVariants[] = {
      {"valid", [](Variant&) {}},
      {"version-0", [](Variant& v) { v.schema_version = 0; }},
      {"tiles-1471", [](Variant& v) { v.tiles = 1471; }},
      {"tiles-1473", [](Variant& v) { v.tiles = 1473; }},
      {"clock-0", [](Variant& v) { v.clock_hz = 0; }},
      {"tile-without-samples", [](Variant& v) { v.tile_without_samples = true; }},
      {"no-exchange", [](Variant& v) { v.missing_kind = 0; }},
      {"no-compute", [](Variant& v) { v.missing_kind = 1; }},
      {"no-synchronization", [](Variant& v) { v.missing_kind = 2; }},
      {"no-idle", [](Variant& v) { v.missing_kind = 3; }},
  };
  for (const auto& [known, change] : kVariants) {
    if (known == name) {
      change(variant);
      return true;
    }
  }
  return false;
}

void build(const Variant& variant, profile_capnp::Profile::Builder profile) {
  profile.setSchemaVersion(variant.schema_version);
  profile.setClockHz(variant.clock_hz);
  std::vector<profile_capnp::StepKind> kinds;
  for (int kind = 0; kind < 4; ++kind) {
    if (kind != variant.missing_kind) kinds.push_back(static_cast<profile_capnp::StepKind>(kind));
  }
  auto tiles = profile.initTiles(variant.tiles);
  for (std::uint32_t t = 0; t < variant.tiles; ++t) {
    tiles[t].setPhysicalTile(t);
    // The last tile goes without samples, so the check must look past the first.
    const bool empty = variant.tile_without_samples && t + 1 == variant.tiles;
    auto samples = tiles[t].initSamples(empty ? 0 : static_cast<unsigned>(kinds.size()));
    for (unsigned s = 0; s < samples.size(); ++s) {
      samples[s].setStartCycle(s * 100);
      samples[s].setEndCycle(s * 100 + 99);
      auto step = samples[s].initStep();
      step.setLocalIndex(s);
      step.setKind(kinds[s]);
      step.setOperation("gemm-block");
      step.setKernel("matmul");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Variant variant;
  if (argc != 3 || !variant_named(argv[1], variant)) {
    std::fprintf(stderr, "usage: hw_profile_fixture VARIANT PATH\n");
    return 2;
  }
  capnp::MallocMessageBuilder message;
  build(variant, message.initRoot<profile_capnp::Profile>());
  const int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(argv[2]);
    return 1;
  }
  capnp::writeMessageToFd(fd, message);
  ::close(fd);
  return 0;
}
