// Writes the profiles the end-to-end tests of zel-profile feed it:
//   zel_profile_write_fixture KIND PATH
// KIND: small, no-clock, no-tiles, version-0, kind-4, bad-utf8, large,
// overlapping.
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

#include "profile.capnp.h"

namespace {

// Three tiles of four samples: one of each kind, with texts that need
// escaping in JSON and XML, and metadata names that repeat.
void fill(profile_capnp::Profile::Builder profile) {
  const char* const operations[] = {"exchange \"in\"", "gemm <block> & acc", "sync\\barrier",
                                    "wait\ttab \x01 \xEF\xBF\xBF"};
  const std::uint32_t physical[] = {81, 0, 1425};
  auto tiles = profile.initTiles(3);
  for (unsigned t = 0; t < 3; ++t) {
    tiles[t].setPhysicalTile(physical[t]);
    auto samples = tiles[t].initSamples(4);
    for (unsigned s = 0; s < 4; ++s) {
      auto step = samples[s].initStep();
      step.setLocalIndex(s);
      step.setPhase(1);
      step.setEpoch(2);
      step.setOperation(operations[s]);
      step.setKind(static_cast<profile_capnp::StepKind>(s));
      step.setKernel(s == 1 ? "gemm_f16 'v2'" : "");
      auto metadata = step.initMetadata(2);
      metadata[0].setName("rows");
      metadata[0].setValue(std::to_string(64 * (t + 1)));
      metadata[1].setName("rows");
      metadata[1].setValue("é\n");
      // Tile t spends (t + 1) * 100 cycles computing.
      const std::uint32_t lengths[] = {50, 100 * (t + 1), 25, 400 - 100 * t};
      std::uint32_t start = 1000;
      for (unsigned k = 0; k < s; ++k) start += lengths[k];
      samples[s].setStartCycle(start);
      samples[s].setEndCycle(start + lengths[s]);
    }
  }
}

// 32 tiles of 500 back-to-back samples: megabytes to read.
void fill_large(profile_capnp::Profile::Builder profile) {
  auto tiles = profile.initTiles(32);
  for (unsigned t = 0; t < 32; ++t) {
    tiles[t].setPhysicalTile(t);
    auto samples = tiles[t].initSamples(500);
    for (unsigned s = 0; s < 500; ++s) {
      auto step = samples[s].initStep();
      step.setOperation("gemm.block(" + std::to_string(s) + ").accumulate");
      step.setKind(static_cast<profile_capnp::StepKind>(s % 4));
      step.setKernel("gemm_f16_32x32_acc");
      samples[s].setStartCycle(s * 100);
      samples[s].setEndCycle(s * 100 + 100);
    }
  }
}

// One tile whose samples nest, touch, repeat, overlap without nesting, last
// no cycle or end before they start; and a tile without samples.
void fill_overlapping(profile_capnp::Profile::Builder profile) {
  const std::uint32_t spans[][2] = {{0, 100}, {0, 100},   {10, 40},   {40, 100},  {50, 150},
                                    {60, 70}, {100, 100}, {150, 200}, {120, 180}, {190, 170}};
  auto tiles = profile.initTiles(2);
  tiles[0].setPhysicalTile(7);
  auto samples = tiles[0].initSamples(std::size(spans));
  for (unsigned s = 0; s < std::size(spans); ++s) {
    samples[s].initStep().setOperation("op " + std::to_string(s));
    samples[s].setStartCycle(spans[s][0]);
    samples[s].setEndCycle(spans[s][1]);
  }
  tiles[1].setPhysicalTile(8);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zel_profile_write_fixture KIND PATH\n");
    return 2;
  }
  const std::string_view kind = argv[1];
  capnp::MallocMessageBuilder message;
  auto profile = message.initRoot<profile_capnp::Profile>();
  profile.setSchemaVersion(kind == "version-0" ? 0 : 3);
  profile.setClockHz(kind == "no-clock" ? 0 : 1'000'000'000);
  if (kind == "large") {
    fill_large(profile);
  } else if (kind == "overlapping") {
    fill_overlapping(profile);
  } else if (kind != "no-tiles") {
    fill(profile);
  }
  if (kind == "kind-4") {
    profile.getTiles()[1].getSamples()[2].getStep().setKind(
        static_cast<profile_capnp::StepKind>(4));
  } else if (kind == "bad-utf8") {
    profile.getTiles()[2].getSamples()[0].getStep().setKernel("ok\xC3(");
  } else if (kind != "small" && kind != "no-clock" && kind != "no-tiles" && kind != "version-0" &&
             kind != "large" && kind != "overlapping") {
    std::fprintf(stderr, "unknown fixture %s\n", argv[1]);
    return 2;
  }
  const int fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(argv[2]);
    return 1;
  }
  capnp::writeMessageToFd(fd, message);
  return ::close(fd) == 0 ? 0 : 1;
}
