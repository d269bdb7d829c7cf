// Output sinks: standard output (coloured through the terminfo database when
// it describes the terminal) and the string sink of unit tests.
#include "harness/io.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <optional>

#include "harness/debug.h"
#include "terminal.h"

namespace harness {

std::string IoError::debug() const {
  return os_error_debug(code);
}

std::string_view StringSink::color_code(Color color) const {
  switch (color) {
    case Color::Red:
      return "{red}";
    case Color::Green:
      return "{green}";
    case Color::Yellow:
      return "{yellow}";
    case Color::Cyan:
      return "{cyan}";
  }
  return {};
}

namespace {

// Writing to a pipe whose reader has gone raises SIGPIPE, whose default
// action ends the process before the error can be reported. The signal is
// held back on this thread for the write and, if the write raised it, taken
// off again, so the write fails with EPIPE whatever the process's disposition.
// A thread that already holds SIGPIPE back keeps its mask untouched.
class SigpipeHeldBack {
 public:
  SigpipeHeldBack() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    // An unblocked SIGPIPE cannot be pending here: it would have been delivered.
    if (sigismember(&previous_, SIGPIPE) == 1) {
      was_blocked_ = true;
      sigset_t pending;
      sigpending(&pending);
      was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
  }
  SigpipeHeldBack(const SigpipeHeldBack&) = delete;
  SigpipeHeldBack& operator=(const SigpipeHeldBack&) = delete;
  ~SigpipeHeldBack() {
    if (!was_blocked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

  // Takes back the SIGPIPE our write raised (not one that was already pending).
  void discard_raised() {
    if (was_pending_) return;
    const timespec no_wait{};
    while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool was_blocked_ = false;
  bool was_pending_ = false;
};

IoResult write_all(int fd, std::string_view bytes) {
  if (bytes.empty()) return {};
  SigpipeHeldBack held;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EPIPE) held.discard_raised();
      return std::unexpected(IoError{error});
    }
    // A descriptor that accepts nothing would make this loop spin forever.
    if (written == 0) return std::unexpected(IoError{EIO});
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

class FdSink final : public OutputSink {
 public:
  explicit FdSink(int fd) : fd_(fd), terminal_(load_terminal_codes(fd)) {}

  IoResult write(std::string_view bytes) override { return write_all(fd_, bytes); }
  bool is_color_terminal() const override { return terminal_.has_value(); }

  std::string_view color_code(Color color) const override {
    if (!terminal_) return {};
    const auto& code = terminal_->foreground[static_cast<std::size_t>(color)];
    return code ? std::string_view(*code) : std::string_view();
  }

  std::string_view reset_code() const override {
    if (!terminal_ || !terminal_->reset) return {};
    return *terminal_->reset;
  }

 private:
  int fd_;
  std::optional<TerminalCodes> terminal_;
};

}  // namespace

std::unique_ptr<OutputSink> make_fd_sink(int fd) {
  return std::make_unique<FdSink>(fd);
}

std::unique_ptr<OutputSink> make_stdout_sink() {
  return make_fd_sink(STDOUT_FILENO);
}

}  // namespace harness
