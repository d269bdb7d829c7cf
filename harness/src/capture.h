// Per-thread output capture.
//
// While a test thread captures, what it writes through std::cout, std::cerr
// and std::clog (failure reports included) lands in that thread's buffer;
// other threads are untouched. Only the C++ standard streams are routed: C
// stdio (printf, fwrite(stdout)), wide streams and direct writes to file
// descriptors 1 and 2 are not captured, and child processes (the runners)
// inherit the real descriptors. The harness prints through `OutputSink`
// (write(2) on fd 1), never through std::cout, so its own lines are never
// captured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace harness {

// The bytes one test wrote; shared, under its lock, between the test's
// printing and the code that copies them out when the test ends.
class CaptureBuffer {
 public:
  void append(const char* data, std::size_t size);
  std::vector<std::uint8_t> take();
  // What was written so far, for a test that is cut short while it runs.
  std::vector<std::uint8_t> copy();

 private:
  friend void flush_capture_for_abort() noexcept;

  // Writes `bytes` to descriptor 1 or 2 under that descriptor's stream lock,
  // bypassing capture (the harness's own messages on standard error). Returns
  // the errno of a failed write, or 0.
  int write_uncaptured(int fd, std::string_view bytes);
  std::mutex mutex_;
  std::vector<std::uint8_t> bytes_;
};

// Gives std::cout (fd 1), std::cerr and std::clog (fd 2) unbuffered stream
// buffers that write to the current thread's capture buffer, or straight to
// the descriptor when the thread captures nothing. Once per process; later
// calls do nothing.
void install_dispatching_streams();

// Routes this thread's standard-stream writes into `buffer` (nullptr: to the
// real descriptors) for the scope's lifetime; the previous target returns on
// `stop()` or destruction.
class CaptureScope {
 public:
  explicit CaptureScope(std::shared_ptr<CaptureBuffer> buffer);
  ~CaptureScope() { stop(); }
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;
  void stop();

 private:
  std::shared_ptr<CaptureBuffer> buffer_;
  CaptureBuffer* previous_;
  bool active_ = true;
};

// For a failure that ends the process: takes the standard-output and
// standard-error write locks for good (no other thread's stream output can
// interleave any more), stops capturing on this thread and writes what it
// had captured to the abort descriptor. Async-signal-safe: only try-locks and
// write(2).
void flush_capture_for_abort() noexcept;

// Where `flush_capture_for_abort` writes: fd 1 (the default), or fd 2 when
// standard output carries a machine-readable document that stray bytes would
// break.
void set_abort_output_fd(int fd);

// Writes `bytes` to descriptor 1 or 2 under that descriptor's stream lock,
// bypassing capture (the harness's own messages on standard error). Returns
// the errno of a failed write, or 0.
int write_uncaptured(int fd, std::string_view bytes);

}  // namespace harness
