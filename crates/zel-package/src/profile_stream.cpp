// Streaming a profile: the fast path a tile at a time over a mapping whose
// pages are handed back as they are read, the library's accessors where the
// fast path leaves the message, and the same checks of a changing file as the
// whole read.
#include "profile_stream.h"

#include <capnp/message.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <utility>
#include <vector>

#include "direct_decode.h"
#include "guarded_map.h"
#include "profile.capnp.h"
#include "reader_parts.h"

namespace zel_package {

class ProfileStream::Source {
 public:
  virtual ~Source() = default;
  virtual std::expected<void, PackageError> visit(ProfileVisitor& visitor) = 0;
};

namespace {

using Segments = kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>>;

// A profile read whole into records: an input that cannot be mapped.
class RecordSource final : public ProfileStream::Source {
 public:
  explicit RecordSource(ProfileReport report) : report_(std::move(report)) {}

  std::expected<void, PackageError> visit(ProfileVisitor& visitor) override {
    visitor.start(report_.clock_hz, report_.tiles.size());
    for (const auto& tile : report_.tiles) visitor.tile(tile);
    return {};
  }

 private:
  ProfileReport report_;
};

// A profile in a regular file, mapped without being read in; each visit
// reads it a tile at a time.
class MappedSource final : public ProfileStream::Source {
 public:
  MappedSource(int fd, GuardedMap map, std::vector<kj::ArrayPtr<const capnp::word>> segments,
               parts::FileVersion before)
      : fd_(fd), map_(std::move(map)), segments_(std::move(segments)), before_(before) {}

  MappedSource(const MappedSource&) = delete;
  MappedSource& operator=(const MappedSource&) = delete;
  ~MappedSource() override { ::close(fd_); }

  std::expected<void, PackageError> visit(ProfileVisitor& visitor) override {
    std::expected<void, PackageError> result;
    try {
      result = visit_tiles(visitor);
    } catch (kj::Exception& exception) {
      // A fault in bytes that changed underneath is the change, reported below.
      result = std::unexpected(PackageError(kj::mv(exception)));
    } catch (const std::bad_alloc&) {
      result = std::unexpected(parts::out_of_memory());
    }
    if (map_.lost_pages() || !parts::unchanged_since(fd_, before_)) {
      return std::unexpected(parts::changed_while_read(fd_, before_));
    }
    return result;
  }

 private:
  int fd_;  // owned
  GuardedMap map_;
  std::vector<kj::ArrayPtr<const capnp::word>> segments_;
  parts::FileVersion before_;
  // The tile being visited; its memory serves every tile of every visit.
  TileProfile scratch_;

  Segments segments() const { return kj::arrayPtr(segments_.data(), segments_.size()); }

  // Once a tile is visited its pages go back: the next tile is read in anew,
  // and whatever an unusual layout shares between tiles is read again from
  // the file's cache. The resident set stays at about one tile.
  void hand_back_pages() const { map_.drop_pages(map_.data(), map_.data() + map_.size()); }

  std::expected<void, PackageError> visit_tiles(ProfileVisitor& visitor) {
    DirectTiles fast(segments());
    std::uint32_t visited = 0;
    const bool started = fast.open();
    if (started) {
      visitor.start(fast.clock_hz(), fast.tile_count());
      for (; visited < fast.tile_count(); ++visited) {
        if (!fast.tile(visited, scratch_)) break;
        visitor.tile(scratch_);
        hand_back_pages();
      }
      if (visited == fast.tile_count()) return {};
    }
    return visit_through_library(visitor, visited, started);
  }

  // The library reads the message from its start, as the whole read would
  // after the fast path gave up, so that its traversal limit counts the same
  // words and it meets the same fault first; the tiles the fast path already
  // visited are read again but not visited again.
  std::expected<void, PackageError> visit_through_library(ProfileVisitor& visitor,
                                                          std::uint32_t visited, bool started) {
    capnp::SegmentArrayMessageReader message(segments(), parts::bounded_options(segments()));
    const auto root = message.getRoot<profile_capnp::Profile>();
    if (auto unsupported = parts::unsupported_version(root.getSchemaVersion())) {
      return std::unexpected(std::move(*unsupported));
    }
    const auto tiles = root.getTiles();
    if (!started) visitor.start(root.getClockHz(), tiles.size());
    parts::ProfileCopier copier;
    for (std::uint32_t i = 0; i < tiles.size(); ++i) {
      TileProfile tile;
      if (!copier.copy_tile(tiles[i], tile)) return std::unexpected(std::move(*copier.failure));
      if (i < visited) continue;
      visitor.tile(tile);
      hand_back_pages();
    }
    return {};
  }
};

}  // namespace

ProfileStream::ProfileStream(std::unique_ptr<Source> source) : source_(std::move(source)) {}
ProfileStream::ProfileStream(ProfileStream&&) noexcept = default;
ProfileStream& ProfileStream::operator=(ProfileStream&&) noexcept = default;
ProfileStream::~ProfileStream() = default;

std::expected<void, PackageError> ProfileStream::visit(ProfileVisitor& visitor) {
  return source_->visit(visitor);
}

std::expected<ProfileStream, PackageError> ProfileStream::open(kj::AutoCloseFd input) {
  const int fd = input.get();
  struct stat st {};
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const auto table = parts::SegmentTable::at(fd, position);
    if (table) {
      const auto available = static_cast<std::uint64_t>(std::max<off_t>(st.st_size - position, 0));
      const std::uint64_t needed = table->message_words() * sizeof(capnp::word);
      if (needed > available) return std::unexpected(parts::cut_off(needed, available));
      const off_t first_segment =
          position + static_cast<off_t>(table->table_words * sizeof(capnp::word));
      if (first_segment % static_cast<off_t>(sizeof(capnp::word)) == 0) {
        auto map = GuardedMap::map(
            fd,
            static_cast<std::size_t>(first_segment + static_cast<off_t>(table->segment_bytes())),
            GuardedMap::Reading::OnDemand);
        if (map) {
          auto segments = parts::split_segments(
              reinterpret_cast<const capnp::word*>(map->data() + first_segment),
              kj::arrayPtr(table->sizes.data(), table->sizes.size()));
          return ProfileStream(std::make_unique<MappedSource>(
              input.release(), std::move(*map), std::move(segments), parts::FileVersion::of(st)));
        }
      }
    }
  }
  // A pipe, or a file that cannot be mapped: read whole, as the whole read does.
  auto report = ProfileReport::read(kj::mv(input));
  if (!report) return std::unexpected(std::move(report.error()));
  return ProfileStream(std::make_unique<RecordSource>(std::move(*report)));
}

}  // namespace zel_package
