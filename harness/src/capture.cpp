#include "capture.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <new>
#include <streambuf>

namespace harness {
namespace {

// Initial-exec TLS: reading it is a plain load, safe inside a signal handler.
__attribute__((tls_model("initial-exec"))) thread_local CaptureBuffer* t_capture = nullptr;

// Serialise uncaptured writes per descriptor so that one stream operation
// reaches the descriptor in one piece even when write(2) takes it in parts.
std::mutex g_stdout_lock;
std::mutex g_stderr_lock;

std::atomic<int> g_abort_fd{1};

std::mutex& lock_for(int fd) {
  return fd == 1 ? g_stdout_lock : g_stderr_lock;
}

// Writes everything or gives up on the first error other than EINTR.
std::size_t write_all(int fd, const char* data, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

class DispatchingBuf final : public std::streambuf {
 public:
  explicit DispatchingBuf(int fd) : fd_(fd) {}

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    if (count <= 0) return 0;
    return static_cast<std::streamsize>(dispatch(data, static_cast<std::size_t>(count)));
  }

  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    return dispatch(&c, 1) == 1 ? ch : traits_type::eof();
  }

 private:
  std::size_t dispatch(const char* data, std::size_t size) {
    if (CaptureBuffer* buffer = t_capture) {
      buffer->append(data, size);
      return size;
    }
    std::lock_guard lock(lock_for(fd_));
    return write_all(fd_, data, size);
  }

  int fd_;
};

}  // namespace

void CaptureBuffer::append(const char* data, std::size_t size) {
  std::lock_guard lock(mutex_);
  bytes_.insert(bytes_.end(), data, data + size);
}

std::vector<std::uint8_t> CaptureBuffer::take() {
  std::lock_guard lock(mutex_);
  return std::move(bytes_);
}

std::vector<std::uint8_t> CaptureBuffer::copy() {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void install_dispatching_streams() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
    // Never destroyed: abandoned test threads may still print while the
    // process exits.
    static auto* out = new DispatchingBuf(1);
    static auto* err = new DispatchingBuf(2);
    static auto* log = new DispatchingBuf(2);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    std::clog.rdbuf(log);
  });
}

CaptureScope::CaptureScope(std::shared_ptr<CaptureBuffer> buffer)
    : buffer_(std::move(buffer)), previous_(t_capture) {
  t_capture = buffer_.get();
}

void CaptureScope::stop() {
  if (!active_) return;
  active_ = false;
  t_capture = previous_;
}

int write_uncaptured(int fd, std::string_view bytes) {
  std::lock_guard lock(lock_for(fd));
  errno = 0;
  return write_all(fd, bytes.data(), bytes.size()) == bytes.size() ? 0 : errno;
}

void set_abort_output_fd(int fd) {
  g_abort_fd.store(fd, std::memory_order_relaxed);
}

void flush_capture_for_abort() noexcept {
  // Held until the process ends; a lock held by another thread mid-write is
  // not waited for (this may run in a signal handler).
  (void)g_stdout_lock.try_lock();
  (void)g_stderr_lock.try_lock();
  CaptureBuffer* buffer = t_capture;
  t_capture = nullptr;
  if (buffer == nullptr) return;
  // Taken by this very thread when it failed inside `append`: the bytes may
  // be half-moved, so they are left alone.
  if (!buffer->mutex_.try_lock()) return;
  write_all(g_abort_fd.load(std::memory_order_relaxed),
            reinterpret_cast<const char*>(buffer->bytes_.data()), buffer->bytes_.size());
  buffer->mutex_.unlock();
}

}  // namespace harness
