// Profile encoding with the generated builders, and a plain file writer.
#include "profile_writer.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include "text.h"

#include "profile.capnp.h"

namespace zel_sim {

namespace {

capnp::Text::Reader text(std::string_view view) {
  return capnp::Text::Reader(view.data(), view.size());
}

}  // namespace

std::expected<std::vector<std::uint8_t>, ConfigError> encode_profile(const CycleLog& log,
                                                                     std::uint64_t clock_hz) {
  capnp::MallocMessageBuilder message;
  auto profile = message.initRoot<profile_capnp::Profile>();
  profile.setSchemaVersion(kProfileSchemaVersion);
  profile.setClockHz(clock_hz);
  auto tiles = profile.initTiles(static_cast<unsigned>(log.tiles()));
  for (std::size_t physical = 0; physical < log.tiles(); ++physical) {
    const auto& samples = log.samples(static_cast<std::uint16_t>(physical));
    auto tile = tiles[static_cast<unsigned>(physical)];
    tile.setPhysicalTile(static_cast<std::uint32_t>(physical));
    auto out = tile.initSamples(static_cast<unsigned>(samples.size()));
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const CycleSample& sample = samples[i];
      if (sample.end > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(ConfigError{cat("cycle ", sample.end, " of physical tile ", physical,
                                               " does not fit the profile's 32-bit cycle counts")});
      }
      auto entry = out[static_cast<unsigned>(i)];
      entry.setStartCycle(static_cast<std::uint32_t>(sample.start));
      entry.setEndCycle(static_cast<std::uint32_t>(sample.end));
      auto step = entry.initStep();
      step.setLocalIndex(static_cast<std::uint32_t>(i));
      step.setPhase(sample.superstep);
      step.setEpoch(sample.invocation);
      step.setOperation(text(sample.operation));
      step.setKind(static_cast<profile_capnp::StepKind>(sample.kind));
      step.setKernel(text(sample.kernel));
    }
  }
  const kj::Array<capnp::word> words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::expected<void, int> write_file(const std::string& path,
                                    const std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return std::unexpected(errno);
  return {};
}

}  // namespace zel_sim
