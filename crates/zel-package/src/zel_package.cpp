// Reading a cycle-profile message into owned records.
#include "zel_package.h"

#include <capnp/serialize.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "direct_decode.h"
#include "guarded_map.h"
#include "profile.capnp.h"
#include "reader_parts.h"

namespace zel_package {

namespace {

using parts::changed_while_read;
using parts::FileVersion;
using parts::out_of_memory;
using parts::ProfileCopier;
using parts::SegmentTable;
using parts::split_segments;
using parts::unchanged_since;

std::expected<ProfileReport, PackageError> copy_profile(capnp::MessageReader& message) {
  const auto root = message.getRoot<profile_capnp::Profile>();
  // The version decides how the rest is laid out, so it is checked before
  // anything else is read, even when the rest is damaged.
  if (auto unsupported = parts::unsupported_version(root.getSchemaVersion())) {
    return std::unexpected(std::move(*unsupported));
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

// Decoded directly when the fast path takes the message, else through the library.
std::expected<ProfileReport, PackageError> copy_segments(
    kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  if (auto report = decode_directly(segments)) return std::move(*report);
  return read_through_library(segments);
}

// Room for a message's words that grows as the stream delivers them. It is an
// anonymous mapping, which the kernel extends or moves without copying, so
// growing it a little at a time stays linear however large the message is.
class WordBuffer {
 public:
  WordBuffer() = default;
  WordBuffer(const WordBuffer&) = delete;
  WordBuffer& operator=(const WordBuffer&) = delete;
  ~WordBuffer() {
    if (base_ != nullptr) ::munmap(base_, capacity_);
  }

  // Makes room for at least `bytes`; throws std::bad_alloc when the system refuses.
  void reserve(std::size_t bytes) {
    if (bytes <= capacity_) return;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t capacity = (bytes + page - 1) / page * page;
    void* grown = base_ == nullptr ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : ::mremap(base_, capacity_, capacity, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    base_ = grown;
    capacity_ = capacity;
  }

  kj::byte* bytes() const { return static_cast<kj::byte*>(base_); }
  const capnp::word* words() const { return static_cast<const capnp::word*>(base_); }

 private:
  void* base_ = nullptr;
  std::size_t capacity_ = 0;
};

// How far the buffer may run ahead of the bytes the stream has delivered. A
// segment table is only a claim: memory is set aside for it no faster than the
// data behind it arrives, so a table that lies ends in a premature end of
// input rather than in an allocation of what it claims.
constexpr std::size_t kReadAheadBytes = std::size_t{1} << 20;

// Reads one message from a stream that cannot say how much it holds: the
// segment table, then the segments a bounded chunk at a time, never past the
// message's last byte. A stream that ends early raises the library's
// premature-end error from its own read.
std::expected<ProfileReport, PackageError> read_stream(kj::InputStream& input) {
  // The table is little-endian, and read in place.
  static_assert(std::endian::native == std::endian::little);
  std::array<std::uint32_t, 512> table;
  input.read(table.data(), 2 * sizeof(std::uint32_t));
  // The first entry holds the segment count minus one; 0xFFFFFFFF wraps to no segments.
  const std::uint32_t count = table[0] + 1;
  if (count == 0 || count >= 512) {
    // Outside the format's one to 511 segments: the library judges these
    // eight bytes alone, as it does for any input, and names the fault.
    kj::ArrayInputStream table_only(
        kj::arrayPtr(reinterpret_cast<const kj::byte*>(table.data()), 2 * sizeof(std::uint32_t)));
    capnp::InputStreamMessageReader message(table_only, capnp_reader_options());
    return copy_profile(message);
  }
  // The sizes of the segments after the first, padded to a whole word.
  const std::size_t more_sizes = count & ~1u;
  input.read(table.data() + 2, more_sizes * sizeof(std::uint32_t));
  const auto sizes = kj::arrayPtr(table.data() + 1, count);

  std::uint64_t message_bytes = 0;
  for (const auto size : sizes) message_bytes += std::uint64_t{size} * sizeof(capnp::word);
  WordBuffer buffer;
  for (std::uint64_t received = 0; received < message_bytes;) {
    const auto chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>(message_bytes - received, kReadAheadBytes));
    buffer.reserve(static_cast<std::size_t>(received) + chunk);
    input.read(buffer.bytes() + received, chunk);
    received += chunk;
  }

  // The buffer no longer moves: the segments can point into it.
  const auto segments = split_segments(buffer.words(), sizes);
  return copy_segments(kj::arrayPtr(segments.data(), segments.size()));
}

// Decodes the message that `table` describes, whose segments start at byte
// `first_segment` of a regular file, from a guarded mapping of the file. Pages
// that another process truncates away read as zeros instead of faulting, and
// the file's size and times before and after the read reveal a rewrite; either
// way the records are dropped and the change is reported. Empty when the file
// cannot be mapped (or the segments do not start on a word boundary): the
// caller copies it instead.
std::optional<std::expected<ProfileReport, PackageError>> read_mapped_file(
    int fd, off_t first_segment, std::uint64_t segment_bytes, const SegmentTable& table,
    const FileVersion& before) {
  if (first_segment % static_cast<off_t>(sizeof(capnp::word)) != 0) return std::nullopt;
  const auto mapped = GuardedMap::map(
      fd, static_cast<std::size_t>(first_segment + static_cast<off_t>(segment_bytes)));
  if (!mapped) return std::nullopt;
  const auto segments =
      split_segments(reinterpret_cast<const capnp::word*>(mapped->data() + first_segment),
                     kj::arrayPtr(table.sizes.data(), table.sizes.size()));
  std::expected<ProfileReport, PackageError> report;
  try {
    report = copy_segments(kj::arrayPtr(segments.data(), segments.size()));
  } catch (kj::Exception& exception) {
    // A fault in bytes that changed underneath is the change, reported below.
    report = std::unexpected(PackageError(kj::mv(exception)));
  }
  if (mapped->lost_pages() || !unchanged_since(fd, before)) {
    return std::unexpected(changed_while_read(fd, before));
  }
  return report;
}

// Copies the message that `table` describes at `position` of a regular file
// into memory of this process, then decodes it there, unless the file can be
// mapped. A copy only ends early or reads new bytes when another process
// changes the file, which the file's size and times before and after reveal.
std::expected<ProfileReport, PackageError> read_regular_file(int fd, off_t position,
                                                             const SegmentTable& table,
                                                             const FileVersion& before) {
  const std::uint64_t segment_bytes = table.segment_bytes();
  const off_t first_segment =
      position + static_cast<off_t>(table.table_words * sizeof(capnp::word));
  // Leave the file where a stream reader would have: right after the message.
  const auto leave_after_message = [&] {
    ::lseek(fd, first_segment + static_cast<off_t>(segment_bytes), SEEK_SET);
  };
  if (auto report = read_mapped_file(fd, first_segment, segment_bytes, table, before)) {
    leave_after_message();
    return std::move(*report);
  }
  WordBuffer buffer;
  buffer.reserve(static_cast<std::size_t>(segment_bytes));
  for (std::uint64_t done = 0; done < segment_bytes;) {
    const ssize_t n =
        ::pread(fd, buffer.bytes() + done, static_cast<std::size_t>(segment_bytes - done),
                first_segment + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      return std::unexpected(
          PackageError(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                                     kj::str("read(): ", std::strerror(errno)))));
    }
    if (n == 0) {
      // The size checked before the copy held the whole message: it shrank since.
      return std::unexpected(changed_while_read(fd, before));
    }
    done += static_cast<std::uint64_t>(n);
  }
  if (!unchanged_since(fd, before)) return std::unexpected(changed_while_read(fd, before));
  leave_after_message();
  const auto segments =
      split_segments(buffer.words(), kj::arrayPtr(table.sizes.data(), table.sizes.size()));
  return copy_segments(kj::arrayPtr(segments.data(), segments.size()));
}

}  // namespace

// Walks the message through a reader whose traversal limit follows the
// message's own size (see bounded_options).
std::expected<ProfileReport, PackageError> read_through_library(
    kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  capnp::SegmentArrayMessageReader message(segments, parts::bounded_options(segments));
  return copy_profile(message);
}

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
    return read_stream(*owned_input);
  } catch (kj::Exception& exception) {
    return std::unexpected(PackageError(kj::mv(exception)));
  } catch (const std::bad_alloc&) {
    // Memory is set aside only for data that has arrived, so this is a
    // message that really is larger than the process can hold.
    return std::unexpected(out_of_memory());
  }
}

std::expected<ProfileReport, PackageError> ProfileReport::read(kj::AutoCloseFd input) {
  const int fd = input.get();
  struct stat st {};
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const FileVersion before = FileVersion::of(st);
    if (const auto table = SegmentTable::at(fd, position)) {
      const auto available = static_cast<std::uint64_t>(std::max<off_t>(st.st_size - position, 0));
      const std::uint64_t needed = table->message_words() * sizeof(capnp::word);
      // The stream reader would first set aside all the table announces; a
      // cut-off file (or a lying table) is known to end early without that.
      if (needed > available) {
        return std::unexpected(parts::cut_off(needed, available));
      }
      try {
        auto owned_input = kj::mv(input);
        return read_regular_file(fd, position, *table, before);
      } catch (kj::Exception& exception) {
        return std::unexpected(PackageError(kj::mv(exception)));
      } catch (const std::bad_alloc&) {
        return std::unexpected(out_of_memory());
      }
    }
  }
  return read(kj::heap<kj::FdInputStream>(kj::mv(input)));
}

}  // namespace zel_package
