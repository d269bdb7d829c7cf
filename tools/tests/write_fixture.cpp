// Writes the profiles the end-to-end tests of zel-profile feed it:
//   zel_profile_write_fixture KIND PATH
// KIND: small, no-clock, no-tiles, version-0, kind-4, bad-utf8.
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
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
  if (kind != "no-tiles") fill(profile);
  if (kind == "kind-4") {
    profile.getTiles()[1].getSamples()[2].getStep().setKind(
        static_cast<profile_capnp::StepKind>(4));
  } else if (kind == "bad-utf8") {
    profile.getTiles()[2].getSamples()[0].getStep().setKernel("ok\xC3(");
  } else if (kind != "small" && kind != "no-clock" && kind != "no-tiles" && kind != "version-0") {
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
