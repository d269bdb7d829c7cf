// The pieces the whole read and the streaming visit share.
#include "reader_parts.h"

#include <unistd.h>

#include <string>

#include "direct_decode.h"

namespace zel_package::parts {

std::uint64_t SegmentTable::message_words() const {
  std::uint64_t words = table_words;
  for (const auto size : sizes) words += size;
  return words;
}

std::uint64_t SegmentTable::segment_bytes() const {
  return (message_words() - table_words) * sizeof(capnp::word);
}

std::optional<SegmentTable> SegmentTable::at(int fd, off_t position) {
  std::uint32_t first[2];
  if (::pread(fd, first, sizeof first, position) != static_cast<ssize_t>(sizeof first)) {
    return std::nullopt;
  }
  const std::uint64_t count = std::uint64_t{first[0]} + 1;
  if (count >= 512) return std::nullopt;
  SegmentTable table;
  table.table_words = count / 2 + 1;
  table.sizes.resize(count);
  table.sizes[0] = first[1];
  const auto rest = static_cast<ssize_t>((count - 1) * sizeof(std::uint32_t));
  if (rest > 0 && ::pread(fd, table.sizes.data() + 1, static_cast<std::size_t>(rest),
                          position + static_cast<off_t>(sizeof first)) != rest) {
    return std::nullopt;
  }
  return table;
}

bool FileVersion::operator==(const FileVersion& other) const {
  return size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

bool unchanged_since(int fd, const FileVersion& before) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && FileVersion::of(now) == before;
}

PackageError changed_while_read(int fd, const FileVersion& before) {
  struct stat now {};
  ::fstat(fd, &now);
  return PackageError(kj::Exception(
      kj::Exception::Type::FAILED, __FILE__, __LINE__,
      kj::str("the file changed while it was read (", before.size, " bytes when the read began, ",
              now.st_size, " bytes now); read it again once its writer is done")));
}

PackageError cut_off(std::uint64_t needed, std::uint64_t available) {
  return PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                    kj::str("Premature EOF: the segment table announces ", needed,
                                            " bytes of message, the file holds ", available)));
}

PackageError out_of_memory() {
  return PackageError(
      kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                    kj::str("out of memory: the message does not fit into this process")));
}

std::vector<kj::ArrayPtr<const capnp::word>> split_segments(
    const capnp::word* first, kj::ArrayPtr<const std::uint32_t> sizes) {
  std::vector<kj::ArrayPtr<const capnp::word>> segments;
  segments.reserve(sizes.size());
  for (const auto size : sizes) {
    segments.push_back(kj::arrayPtr(first, size));
    first += size;
  }
  return segments;
}

// A profile written field by field traverses each of its words once (plus
// one for the root), so every well-formed profile of any size still reads,
// with room to spare; what the limit stops is a small hostile file whose
// pointers alias one another (or whose lists claim millions of empty
// elements) and would otherwise expand into more records than memory holds.
capnp::ReaderOptions bounded_options(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  std::uint64_t words = 0;
  for (const auto& segment : segments) words += segment.size();
  capnp::ReaderOptions bounded = capnp_reader_options();
  bounded.traversalLimitInWords = 2 * words + 8;
  return bounded;
}

std::optional<PackageError> unsupported_version(std::uint32_t version) {
  if (version >= 1 && version <= 3) return std::nullopt;
  return PackageError::Invalid{"unsupported profile schema version " + std::to_string(version)};
}

bool ProfileCopier::copy_tile(profile_capnp::TileProfile::Reader tile, TileProfile& out) {
  const auto samples = tile.getSamples();
  out.samples.reserve(samples.size());
  for (const auto sample : samples) {
    CycleSample& copied = out.samples.emplace_back();
    if (!copy_step(sample.getStep(), copied.step)) return false;
    copied.start_cycle = sample.getStartCycle();
    copied.end_cycle = sample.getEndCycle();
  }
  out.physical_tile = tile.getPhysicalTile();
  return true;
}

bool ProfileCopier::copy_step(profile_capnp::ProfileStep::Reader step, ProfileStep& out) {
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
  out.metadata.reserve(metadata.size());
  for (const auto entry : metadata) {
    auto& copied = out.metadata.emplace_back();
    if (!copy_text(entry.getName(), copied.name)) return false;
    if (!copy_text(entry.getValue(), copied.value)) return false;
  }
  return true;
}

bool ProfileCopier::copy_text(capnp::Text::Reader text, std::string& out) {
  const std::string_view bytes(text.begin(), text.size());
  if (auto valid = check_text(bytes); !valid) {
    failure.emplace(valid.error());
    return false;
  }
  out.assign(bytes);
  return true;
}

}  // namespace zel_package::parts
