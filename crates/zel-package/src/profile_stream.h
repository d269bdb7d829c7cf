// Visiting a profile's tiles in file order without owning them all: the way
// to read a profile far larger than memory, one tile at a time.
//
//   struct Counter : zel_package::ProfileVisitor {
//     std::size_t samples = 0;
//     void tile(const zel_package::TileProfile& t) override { samples += t.samples.size(); }
//   } counter;
//   auto stream = zel_package::ProfileStream::open(kj::AutoCloseFd(fd));
//   if (!stream || !stream->visit(counter)) { /* the error ProfileReport::read gives */ }
#pragma once

#include <kj/io.h>

#include <cstdint>
#include <expected>
#include <memory>

#include "zel_package.h"

namespace zel_package {

class ProfileVisitor {
 public:
  virtual ~ProfileVisitor() = default;
  // Once per visit, before the first tile: the profile's clock and how many tiles it lists.
  virtual void start(std::uint64_t clock_hz, std::size_t tiles) {
    (void)clock_hz;
    (void)tiles;
  }
  // Each tile in list order. The record is lent for the call only: the next
  // tile is read into the same memory.
  virtual void tile(const TileProfile& tile) = 0;
};

class ProfileStream {
 public:
  // Opens the profile at the current position of `input` for visiting. A
  // regular file is mapped and read a tile at a time, its pages handed back
  // once read, so memory follows the largest tile, not the file; any other
  // input (a pipe) is read whole into records first. The error, here or from
  // visit, is exactly the one ProfileReport::read gives for the same input.
  static std::expected<ProfileStream, PackageError> open(kj::AutoCloseFd input);

  ProfileStream(ProfileStream&&) noexcept;
  ProfileStream& operator=(ProfileStream&&) noexcept;
  ~ProfileStream();

  // One pass over the profile: every tile, in list order. A visit may be
  // repeated; each reads the file again. On an error the visitor has seen the
  // tiles before the fault (and, for a file changed meanwhile, possibly tiles
  // of its new contents): whatever it made of them must be dropped. A pass
  // that succeeds saw exactly the tiles and clock of ProfileReport::read.
  std::expected<void, PackageError> visit(ProfileVisitor& visitor);

  class Source;

 private:
  explicit ProfileStream(std::unique_ptr<Source> source);
  std::unique_ptr<Source> source_;
};

}  // namespace zel_package
