// Buffered file output that keeps the first write error and replaces its
// target only once the whole text is written.
#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <utility>

namespace zel_tools {

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;

// Paths that name a stream of this process or a device, even where they
// resolve to a regular file (standard output redirected to one): replacing
// that file would leave the stream writing to a file nobody sees.
bool names_a_stream(const std::string& path) {
  return path.starts_with("/dev/") || path.starts_with("/proc/");
}

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// A name for a temporary file beside `name`, hidden and unlikely to be taken.
std::string temporary_name(const std::string& name) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random()));
  return "." + name + suffix;
}

}  // namespace

std::expected<FileOutput, int> FileOutput::create(const std::string& path) {
  FileOutput output;
  if (path == "-") {
    output.fd_ = STDOUT_FILENO;
    return output;
  }
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (names_a_stream(path) || (exists && !S_ISREG(st.st_mode))) {
    output.fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output.fd_ < 0) return std::unexpected(errno);
    output.owned_ = true;
    return output;
  }
  // A symbolic link stays one: the file it leads to is replaced.
  std::filesystem::path target = path;
  std::error_code ignored;
  if (exists) target = std::filesystem::canonical(target, ignored);
  if (target.empty()) target = path;
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  output.name_ = target.filename().string();
  output.mode_ = exists ? (st.st_mode & 07777) : new_file_mode();
  output.dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (output.dir_fd_ < 0) return std::unexpected(errno);
  output.fd_ = ::openat(output.dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (output.fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a hidden named one, removed on failure.
    const std::string name = temporary_name(output.name_);
    output.fd_ =
        ::openat(output.dir_fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (output.fd_ >= 0) output.temporary_name_ = name;
  }
  if (output.fd_ < 0) return std::unexpected(errno);
  output.owned_ = true;
  return output;
}

FileOutput::FileOutput(FileOutput&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      error_(other.error_),
      buffer_(std::move(other.buffer_)),
      dir_fd_(std::exchange(other.dir_fd_, -1)),
      name_(std::move(other.name_)),
      mode_(other.mode_),
      temporary_name_(std::exchange(other.temporary_name_, std::nullopt)) {}

FileOutput::~FileOutput() {
  if (owned_) ::close(fd_);
  if (temporary_name_) ::unlinkat(dir_fd_, temporary_name_->c_str(), 0);
  if (dir_fd_ >= 0) ::close(dir_fd_);
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

// Gives the finished temporary file the target's name, replacing what is there.
int FileOutput::link_in() {
  if (::fchmod(fd_, mode_) != 0) return errno;
  if (temporary_name_) {
    if (::renameat(dir_fd_, temporary_name_->c_str(), dir_fd_, name_.c_str()) != 0) return errno;
    temporary_name_.reset();
    return 0;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  const auto link_as = [&](const std::string& name) {
    if (::linkat(AT_FDCWD, self.c_str(), dir_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    // Without /proc, the same with the privilege it then needs.
    if (::linkat(fd_, "", dir_fd_, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return errno;
  };
  // A new file appears whole under its name at once; an existing one is
  // replaced by a rename, which its readers see as one step too.
  const int linked = link_as(name_);
  if (linked != EEXIST) return linked;
  const std::string name = temporary_name(name_);
  if (const int error = link_as(name); error != 0) return error;
  if (::renameat(dir_fd_, name.c_str(), dir_fd_, name_.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(dir_fd_, name.c_str(), 0);
    return error;
  }
  return 0;
}

std::expected<void, int> FileOutput::finish() {
  flush();
  if (error_ == 0 && dir_fd_ >= 0) error_ = link_in();
  if (owned_) {
    owned_ = false;
    // close reports what delayed writes (network file systems) could not store.
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  }
  if (error_ != 0) return std::unexpected(error_);
  return {};
}

}  // namespace zel_tools
