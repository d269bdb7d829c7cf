// The profile as a trace-event JSON document, the format that trace viewers
// open: one process for the card, one thread per tile, one complete event per
// sample.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "profile_stream.h"
#include "window.h"
#include "zel_package.h"

namespace zel_profile {

using zel_tools::Output;

// More than this and a browser's trace viewer cannot load the document.
inline constexpr std::uint64_t kMaxTraceBytes = std::uint64_t{512} << 20;

// Writes the trace as the tiles are visited: the window's tiles and samples.
// Times are whole cycles, written where the format expects microseconds, so
// every start and end is an exact integer and samples that touch stay
// touching in any viewer. Thread ids are 1 + the tile's place in the file; a
// tile whose samples overlap without nesting gets further threads, so that
// every thread holds slices that nest strictly. Every event carries "cat".
class TraceWriter final : public zel_package::ProfileVisitor {
 public:
  TraceWriter(const Window& window, std::string_view card_name, Output& out)
      : window_(window), card_name_(card_name), out_(out) {}
  void start(std::uint64_t clock_hz, std::size_t tiles) override;
  void tile(const zel_package::TileProfile& tile) override;
  // The end of the document, after the last tile.
  void finish();

 private:
  const Window& window_;
  std::string card_name_;
  Output& out_;
  std::uint64_t clock_hz_ = 0;
  std::size_t tile_index_ = 0, next_extra_tid_ = 0, sort_index_ = 0;
  std::vector<const zel_package::CycleSample*> kept_;
  std::string line_;
};

// How many bytes the trace of a window would take, without keeping them.
// Past `exact_up_to` bytes it stops writing and estimates the rest from the
// average sample so far, so that sizing a huge trace stays quick.
class TraceSize final : public zel_package::ProfileVisitor {
 public:
  TraceSize(const Window& window, std::string_view card_name, std::uint64_t exact_up_to);
  void start(std::uint64_t clock_hz, std::size_t tiles) override;
  void tile(const zel_package::TileProfile& tile) override;
  std::uint64_t bytes() const;

 private:
  class Counter final : public Output {
   public:
    void write(std::string_view text) override { bytes += text.size(); }
    std::uint64_t bytes = 0;
  };
  const Window& window_;
  std::uint64_t exact_up_to_;
  Counter counted_;
  TraceWriter writer_;
  std::uint64_t written_samples_ = 0, estimated_samples_ = 0;
};

// The whole profile, as `zel-profile trace` writes it without window options.
void write_trace(const zel_package::ProfileReport& report, std::string_view card_name, Output& out);

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

}  // namespace zel_profile
