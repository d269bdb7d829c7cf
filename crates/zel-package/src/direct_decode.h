// Decoding a profile message straight from its words, without the library's
// generic accessors: the reader's fast path for messages laid out as the
// library's builders lay them out.
//
//   if (auto report = zel_package::decode_directly(segments)) return *report;
//   // else: read through the library, which names what is wrong
#pragma once

#include <capnp/common.h>
#include <kj/common.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "zel_package.h"
#include "zel_utf8.h"

namespace zel_package {

// The records of a profile message, exactly as the library's accessors would
// give them. Empty when the message holds anything the fast path does not
// take (a pointer the library would refuse or read in a compatibility form, a
// zero-sized object, more words read than the message holds, a text that is
// not UTF-8, a kind outside the schema, an unsupported version): the library
// must then read it, and either succeeds with the same records or names the
// fault. Never reads outside `segments`.
std::optional<ProfileReport> decode_directly(
    kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments);

namespace wire {
class Decoder;
}

// The fast path one tile at a time, for a reader that visits tiles without
// keeping them. A false return leaves the message (from that point on) to the
// library, exactly as decode_directly's empty result does.
class DirectTiles {
 public:
  explicit DirectTiles(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments);
  DirectTiles(const DirectTiles&) = delete;
  DirectTiles& operator=(const DirectTiles&) = delete;
  ~DirectTiles();

  // The root, its version and its tile list.
  bool open();
  std::uint64_t clock_hz() const;
  std::uint32_t tile_count() const;
  // Tile `i` into `out`, overwriting every field and reusing its memory.
  // Tiles are taken in list order, each once.
  bool tile(std::uint32_t i, TileProfile& out);

 private:
  std::unique_ptr<wire::Decoder> decoder_;
};

// The records of a message read through the library's accessors alone, with
// a traversal limit that follows the message's size: the path that names every
// fault, and the one decode_directly must agree with.
std::expected<ProfileReport, PackageError> read_through_library(
    kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments);

// Whether a profile text is well-formed UTF-8, with plain ASCII (nearly every
// profile text) checked eight bytes at a time.
std::expected<void, zel_utf8::Utf8Error> check_text(std::string_view bytes);

}  // namespace zel_package
