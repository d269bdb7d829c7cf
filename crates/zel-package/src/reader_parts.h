// The pieces that ProfileReport::read and ProfileStream share: the segment
// table of a message in a file, what tells that the file changed while it was
// read, the errors of both, and the copy of a tile through the library.
#pragma once

#include <capnp/message.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "profile.capnp.h"
#include "zel_package.h"

namespace zel_package::parts {

// The segment table of a message in a regular file, read without consuming
// it. Empty when the table is cut off or announces no or too many segments:
// the stream reader then names the fault as it does for any input.
struct SegmentTable {
  std::uint64_t table_words = 0;
  std::vector<std::uint32_t> sizes;  // in words

  std::uint64_t message_words() const;
  std::uint64_t segment_bytes() const;
  static std::optional<SegmentTable> at(int fd, off_t position);
};

// What identifies one version of a file's contents: another process that
// truncates, rewrites or appends to it changes at least one of these.
struct FileVersion {
  off_t size = 0;
  timespec modified{}, changed{};

  static FileVersion of(const struct stat& st) { return {st.st_size, st.st_mtim, st.st_ctim}; }
  bool operator==(const FileVersion& other) const;
};

bool unchanged_since(int fd, const FileVersion& before);
PackageError changed_while_read(int fd, const FileVersion& before);
// A file that ends before the message its segment table announces.
PackageError cut_off(std::uint64_t needed, std::uint64_t available);
PackageError out_of_memory();

// The segments of a message whose words start at `first`, one after the
// other in the sizes (in words) of its segment table.
std::vector<kj::ArrayPtr<const capnp::word>> split_segments(
    const capnp::word* first, kj::ArrayPtr<const std::uint32_t> sizes);

// The options the library reads a message with when the fast path leaves it:
// a traversal limit that follows the message's own size.
capnp::ReaderOptions bounded_options(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments);

// The Invalid error of an unsupported schema version, or nothing.
std::optional<PackageError> unsupported_version(std::uint32_t version);

// Copies a decoded profile field by field, in the order the checks must be
// met: the first text or kind that fails a check ends the copy and is kept in
// `failure`. Library errors (bad pointers) leave as kj::Exception.
class ProfileCopier {
 public:
  std::optional<PackageError> failure;

  bool copy_tile(profile_capnp::TileProfile::Reader tile, TileProfile& out);

 private:
  bool copy_step(profile_capnp::ProfileStep::Reader step, ProfileStep& out);
  bool copy_text(capnp::Text::Reader text, std::string& out);
};

}  // namespace zel_package::parts
