// Builds profile messages for the reader's tests: through the generated
// builders, or word by word when a test needs a message no writer produces.
#pragma once

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "profile.capnp.h"
#include "profile_stream.h"
#include "zel_package.h"

namespace profile_test {

using Words = std::vector<std::uint64_t>;

// The unpacked stream form of a built message.
inline std::string serialize(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

// The stream form of hand-made segments: the segment table, then each segment.
inline std::string frame(const std::vector<Words>& segments) {
  std::vector<std::uint32_t> table{static_cast<std::uint32_t>(segments.size() - 1)};
  for (const auto& segment : segments) table.push_back(static_cast<std::uint32_t>(segment.size()));
  if (table.size() % 2 == 1) table.push_back(0);
  std::string out(reinterpret_cast<const char*>(table.data()), table.size() * 4);
  for (const auto& segment : segments) {
    out.append(reinterpret_cast<const char*>(segment.data()), segment.size() * 8);
  }
  return out;
}

// Pointer words of the encoding. `offset` counts words from the end of the pointer.
inline std::uint64_t struct_ptr(std::int32_t offset, std::uint16_t data_words,
                                std::uint16_t pointers) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(offset) << 2)) |
         (static_cast<std::uint64_t>(data_words) << 32) |
         (static_cast<std::uint64_t>(pointers) << 48);
}
// A list of structs: `words` is the size of the elements without the tag word.
inline std::uint64_t struct_list_ptr(std::int32_t offset, std::uint32_t words) {
  return 1 | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(offset) << 2)) | (7ull << 32) |
         (static_cast<std::uint64_t>(words) << 35);
}
// The tag word in front of a struct list's elements.
inline std::uint64_t list_tag(std::uint32_t count, std::uint16_t data_words,
                              std::uint16_t pointers) {
  return struct_ptr(static_cast<std::int32_t>(count), data_words, pointers);
}
// A list of bytes, which is how a text is stored (its NUL included in `bytes`).
inline std::uint64_t byte_list_ptr(std::int32_t offset, std::uint32_t bytes) {
  return 1 | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(offset) << 2)) | (2ull << 32) |
         (static_cast<std::uint64_t>(bytes) << 35);
}
inline std::uint64_t far_ptr(std::uint32_t segment, std::uint32_t word, bool double_far = false) {
  return 2 | (double_far ? 4 : 0) | (static_cast<std::uint64_t>(word) << 3) |
         (static_cast<std::uint64_t>(segment) << 32);
}
// Text bytes packed into words, with the NUL and zero padding.
inline Words text_words(std::string_view text) {
  Words out((text.size() + 1 + 7) / 8, 0);
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// A stream-form message cut into its segments, or nothing when its table is unreadable.
class Segments {
 public:
  explicit Segments(std::string_view bytes)
      : words_(kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word))) {
    std::memcpy(words_.begin(), bytes.data(), words_.size() * sizeof(capnp::word));
    try {
      capnp::FlatArrayMessageReader message(words_);
      for (unsigned i = 0;; ++i) {
        const auto segment = message.getSegment(i);
        if (segment == nullptr) break;
        list_.push_back(segment);
      }
    } catch (const kj::Exception&) {
      list_.clear();
    }
  }
  bool empty() const { return list_.empty(); }
  kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> get() const {
    return kj::arrayPtr(list_.data(), list_.size());
  }

 private:
  kj::Array<capnp::word> words_;
  std::vector<kj::ArrayPtr<const capnp::word>> list_;
};

// Hands `bytes` to the reader the way a caller hands it an opened file.
inline std::expected<zel_package::ProfileReport, zel_package::PackageError> read_bytes(
    std::string_view bytes) {
  const int fd = memfd_create("profile", MFD_CLOEXEC);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  return zel_package::ProfileReport::read(kj::AutoCloseFd(fd));
}

// The records a visit of `bytes` sees, gathered, as a file or (`pipe`) a
// stream: what must equal the whole read's report, or its error.
inline std::expected<zel_package::ProfileReport, zel_package::PackageError> visit_bytes(
    std::string_view bytes) {
  struct Gather final : zel_package::ProfileVisitor {
    zel_package::ProfileReport report;
    void start(std::uint64_t clock_hz, std::size_t) override { report = {clock_hz, {}}; }
    void tile(const zel_package::TileProfile& tile) override { report.tiles.push_back(tile); }
  } gather;
  const int fd = memfd_create("profile", MFD_CLOEXEC);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  auto stream = zel_package::ProfileStream::open(kj::AutoCloseFd(fd));
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto done = stream->visit(gather); !done) return std::unexpected(std::move(done.error()));
  return std::move(gather.report);
}

// Whether two reads gave the same records or the same error.
inline bool same_outcome(
    const std::expected<zel_package::ProfileReport, zel_package::PackageError>& a,
    const std::expected<zel_package::ProfileReport, zel_package::PackageError>& b) {
  if (a.has_value() != b.has_value()) return false;
  return a ? *a == *b : zel_package::debug_text(a.error()) == zel_package::debug_text(b.error());
}

// The debug text of the read's error, or "ok".
inline std::string read_error(std::string_view bytes) {
  auto report = read_bytes(bytes);
  return report ? std::string("ok") : zel_package::debug_text(report.error());
}

}  // namespace profile_test
