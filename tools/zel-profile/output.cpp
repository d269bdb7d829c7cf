// Buffered file output that keeps the first write error.
#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zel_profile {

namespace {
constexpr std::size_t kBufferBytes = 1 << 20;
}

std::expected<FileOutput, int> FileOutput::create(const std::string& path) {
  if (path == "-") return FileOutput(STDOUT_FILENO, false);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(errno);
  return FileOutput(fd, true);
}

FileOutput::FileOutput(FileOutput&& other) noexcept
    : fd_(other.fd_),
      owned_(other.owned_),
      error_(other.error_),
      buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
  other.owned_ = false;
}

FileOutput::~FileOutput() {
  if (owned_) ::close(fd_);
}

void FileOutput::write(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= kBufferBytes) flush();
}

void FileOutput::flush() {
  std::size_t done = 0;
  while (error_ == 0 && done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      error_ = errno;
    else
      done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

std::expected<void, int> FileOutput::finish() {
  flush();
  if (owned_) {
    owned_ = false;
    // close reports what delayed writes (network file systems) could not store.
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  }
  if (error_ != 0) return std::unexpected(error_);
  return {};
}

}  // namespace zel_profile
