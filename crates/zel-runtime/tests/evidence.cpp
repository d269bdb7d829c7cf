// Keeping a failed test's evidence where a test engine collects it.
#include "evidence.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "frame.h"
#include "harness/io.h"
#include "harness/stop.h"
#include "launcher.h"
#include "zel_text.h"

namespace zel_runtime {
namespace {

std::unexpected<std::string> os_failure(int code) {
  return std::unexpected(zel_text::os_error_text(code));
}

// A copy of `from` under a new name beside `to`, renamed over `to` once whole.
std::expected<void, std::string> copy_into_place(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return os_failure(errno);
  std::string temporary = to + ".XXXXXX";
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return os_failure(error);
  }
  const auto sink = harness::make_fd_sink(out);
  int error = 0;
  char buffer[1 << 16];
  while (error == 0) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    if (auto written = sink->write({buffer, static_cast<std::size_t>(n)}); !written) {
      error = written.error().code;
    }
  }
  ::close(in);
  if (::fchmod(out, 0644) != 0 && error == 0) error = errno;
  if (::close(out) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), to.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return os_failure(error);
  }
  return {};
}

}  // namespace

std::expected<void, std::string> move_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  if (errno != EXDEV) return os_failure(errno);
  if (auto copied = copy_into_place(from, to); !copied) return copied;
  if (::unlink(from.c_str()) != 0) return os_failure(errno);
  return {};
}

harness::BeforeFailureReport keep_on_failure(std::string path, std::string what) {
  const std::size_t dot = path.rfind('.');
  const std::size_t slash = path.rfind('/');
  std::string kept_name = harness::current_test_name();
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    kept_name += path.substr(dot);
  }
  return harness::BeforeFailureReport(
      [path = std::move(path), what = std::move(what), kept_name = std::move(kept_name)] {
        const char* folder = std::getenv("TEST_UNDECLARED_OUTPUTS_DIR");
        const bool to_folder = folder != nullptr && *folder != '\0';
        struct stat info {};
        if ((!to_folder && !keeps_failure_details()) || ::stat(path.c_str(), &info) != 0) return;
        std::string line = what + " kept: ";
        if (!to_folder) {
          line += path;
        } else if (const std::string target = join_path(folder, kept_name);
                   auto moved = move_file(path, target)) {
          line += target;
        } else {
          line += path + " (not moved to " + folder + ": " + moved.error() + ")";
        }
        std::cout << line + "\n";
      });
}

}  // namespace zel_runtime
