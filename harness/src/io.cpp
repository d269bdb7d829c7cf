// Output sinks: standard output (coloured through the terminfo database when
// it describes the terminal) and the string sink of unit tests.
#include "harness/io.h"

#include <unistd.h>

#include <cerrno>
#include <optional>

#include "harness/debug.h"
#include "terminal.h"

namespace harness {

std::string IoError::debug() const { return os_error_debug(code); }

IoResult StringSink::set_color(Color color) {
  switch (color) {
    case Color::Red: text_.append("{red}"); break;
    case Color::Green: text_.append("{green}"); break;
    case Color::Yellow: text_.append("{yellow}"); break;
    case Color::Cyan: text_.append("{cyan}"); break;
  }
  return {};
}

namespace {

IoResult write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError{errno});
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

  IoResult set_color(Color color) override {
    if (!terminal_) return {};
    const auto& code = terminal_->foreground[static_cast<std::size_t>(color)];
    return code ? write_all(fd_, *code) : IoResult{};
  }

  IoResult reset_color() override {
    if (!terminal_ || !terminal_->reset) return {};
    return write_all(fd_, *terminal_->reset);
  }

 private:
  int fd_;
  std::optional<TerminalCodes> terminal_;
};

}  // namespace

std::unique_ptr<OutputSink> make_fd_sink(int fd) { return std::make_unique<FdSink>(fd); }

std::unique_ptr<OutputSink> make_stdout_sink() { return make_fd_sink(STDOUT_FILENO); }

}  // namespace harness
