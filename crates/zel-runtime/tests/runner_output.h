// What a captured test keeps of its runner's output: the end of it, read from
// the pipe the runner writes into.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zel_runtime {

// How much of one runner's output a captured test keeps: the end of it.
inline constexpr std::size_t kKeptRunnerOutput = std::size_t{16} << 20;

// The end of a stream of bytes, at most `capacity` of them, preceded by a line
// saying how many were left out when there were more.
class OutputTail {
 public:
  explicit OutputTail(std::size_t capacity);
  void append(std::string_view bytes);
  // Writes the line and the kept bytes to `out` without copying them first.
  void write_to(std::ostream& out) const;

 private:
  std::size_t capacity_;
  std::string ring_;
  std::size_t next_ = 0;  // where the next byte goes once the ring is full
  std::size_t total_ = 0;
};

// Reads what is in the non-blocking pipe `read_fd` now into `tail`; false once
// the pipe is at its end (or broken).
bool read_available(int read_fd, OutputTail& tail);

}  // namespace zel_runtime
