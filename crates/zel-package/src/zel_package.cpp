// Reading a cycle-profile message into owned records.
#include "zel_package.h"

#include <capnp/serialize.h>

#include <optional>
#include <string_view>

#include "profile.capnp.h"

namespace zel_package {

namespace {

// Copies a decoded profile field by field, in the order the checks must be
// met: the first text or kind that fails a check ends the copy and is kept in
// `failure`. Library errors (bad pointers) leave as kj::Exception.
class ProfileCopier {
 public:
  std::optional<PackageError> failure;

  bool copy_tile(profile_capnp::TileProfile::Reader tile, TileProfile& out) {
    const auto samples = tile.getSamples();
    out.samples.resize(samples.size());
    for (unsigned i = 0; i < samples.size(); ++i) {
      if (!copy_sample(samples[i], out.samples[i])) return false;
    }
    out.physical_tile = tile.getPhysicalTile();
    return true;
  }

 private:
  bool copy_sample(profile_capnp::CycleSample::Reader sample, CycleSample& out) {
    if (!copy_step(sample.getStep(), out.step)) return false;
    out.start_cycle = sample.getStartCycle();
    out.end_cycle = sample.getEndCycle();
    return true;
  }

  bool copy_step(profile_capnp::ProfileStep::Reader step, ProfileStep& out) {
    out.local_index = step.getLocalIndex();
    out.phase = step.getPhase();
    out.epoch = step.getEpoch();
    if (!copy_text(step.getOperation(), out.operation)) return false;
    const auto kind = static_cast<std::uint16_t>(step.getKind());
    if (kind > static_cast<std::uint16_t>(ProfileStepKind::Idle)) {
      failure.emplace(NotInSchema{kind});
      return false;
    }
    out.kind = static_cast<ProfileStepKind>(kind);
    if (!copy_text(step.getKernel(), out.kernel)) return false;
    const auto metadata = step.getMetadata();
    out.metadata.resize(metadata.size());
    for (unsigned i = 0; i < metadata.size(); ++i) {
      const auto entry = metadata[i];
      if (!copy_text(entry.getName(), out.metadata[i].name)) return false;
      if (!copy_text(entry.getValue(), out.metadata[i].value)) return false;
    }
    return true;
  }

  bool copy_text(capnp::Text::Reader text, std::string& out) {
    const std::string_view bytes(text.begin(), text.size());
    if (auto valid = zel_utf8::validate(bytes); !valid) {
      failure.emplace(valid.error());
      return false;
    }
    out.assign(bytes);
    return true;
  }
};

std::expected<ProfileReport, PackageError> copy_profile(capnp::MessageReader& message) {
  const auto root = message.getRoot<profile_capnp::Profile>();
  // The version decides how the rest is laid out, so it is checked before
  // anything else is read, even when the rest is damaged.
  const std::uint32_t version = root.getSchemaVersion();
  if (version < 1 || version > 3) {
    return std::unexpected(
        PackageError::Invalid{"unsupported profile schema version " + std::to_string(version)});
  }
  ProfileReport report;
  ProfileCopier copier;
  const auto tiles = root.getTiles();
  report.tiles.resize(tiles.size());
  for (unsigned i = 0; i < tiles.size(); ++i) {
    if (!copier.copy_tile(tiles[i], report.tiles[i])) {
      return std::unexpected(std::move(*copier.failure));
    }
  }
  report.clock_hz = root.getClockHz();
  return report;
}

// Reads the message with the package's options, then walks it through a
// second reader whose traversal limit follows the message's own size. A
// profile written field by field traverses each of its words once (plus one
// for the root), so every well-formed profile of any size still reads, with
// room to spare; what the limit stops is a small hostile file whose pointers
// alias one another (or whose lists claim millions of empty elements) and
// would otherwise expand into more records than memory holds.
// The input as the stream reader sees it. When a truncated message makes the
// reader give up, its cleanup tries to skip the rest of the message; the input
// is released right after, so there is nothing to skip for, and skipping past
// the end would only raise (and log) a second premature-end error.
class MessageInput final : public kj::InputStream {
 public:
  explicit MessageInput(kj::InputStream& inner) : inner_(inner) {}
  std::size_t tryRead(void* buffer, std::size_t min_bytes, std::size_t max_bytes) override {
    return inner_.tryRead(buffer, min_bytes, max_bytes);
  }
  void skip(std::size_t) override {}

 private:
  kj::InputStream& inner_;
};

std::expected<ProfileReport, PackageError> read_message(kj::InputStream& raw_input) {
  MessageInput input(raw_input);
  capnp::InputStreamMessageReader stream_message(input, capnp_reader_options());
  std::vector<kj::ArrayPtr<const capnp::word>> segments;
  std::uint64_t words = 0;
  for (unsigned id = 0;; ++id) {
    // Past the last segment the reader answers with a null array; asking for
    // every segment also reads any that the stream reader left for later.
    const auto segment = stream_message.getSegment(id);
    if (segment.begin() == nullptr) break;
    segments.push_back(segment);
    words += segment.size();
  }
  capnp::ReaderOptions bounded = capnp_reader_options();
  bounded.traversalLimitInWords = 2 * words + 8;
  capnp::SegmentArrayMessageReader message(kj::arrayPtr(segments.data(), segments.size()),
                                           bounded);
  return copy_profile(message);
}

}  // namespace

capnp::ReaderOptions capnp_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = kj::maxValue;
  options.nestingLimit = 64;
  return options;
}

std::expected<ProfileReport, PackageError> ProfileReport::read(kj::Own<kj::InputStream> input) {
  // The message, its buffers and the input all end inside the try block, so
  // they are gone before the result is handed back, whichever way the read ended.
  try {
    auto owned_input = kj::mv(input);
    return read_message(*owned_input);
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  }
}

std::expected<ProfileReport, PackageError> ProfileReport::read(kj::AutoCloseFd input) {
  return read(kj::heap<kj::FdInputStream>(kj::mv(input)));
}

}  // namespace zel_package
