// Output sinks and I/O errors of the harness.
//
// Every formatter writes through an `OutputSink`: standard output (with colour
// through the terminfo database when it is a colour terminal), or a string in
// tests. Writes are unbuffered: each call reaches its destination at once.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace harness {

// An operating-system I/O error, carried by value.
struct IoError {
  int code = 0;                  // errno value
  std::string debug() const;     // os_error_debug(code)
  bool operator==(const IoError&) const = default;
};

using IoResult = std::expected<void, IoError>;

// Colour numbers of the terminfo "setaf" capability.
enum class Color : int { Red = 1, Green = 2, Yellow = 3, Cyan = 6 };

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Writes all of `bytes` with as few system calls as possible (a JSON line
  // is one write(2) call unless the kernel takes it in parts).
  virtual IoResult write(std::string_view bytes) = 0;
  // True when this sink is a terminal found in the terminfo database.
  virtual bool is_color_terminal() const = 0;
  // The bytes that switch to `color` and back to the terminal's default, for
  // the caller to write around a word: empty when this sink is no colour
  // terminal or its description cannot show the colour.
  virtual std::string_view color_code(Color color) const = 0;
  virtual std::string_view reset_code() const = 0;
};

// Standard output, file descriptor 1, looked up in the terminfo database by
// "TERM" / "TERMINFO" / "TERMINFO_DIRS" when it is created.
std::unique_ptr<OutputSink> make_stdout_sink();
// The same sink on another descriptor (tests write to a pipe or /dev/full).
// Every write loops over partial writes and EINTR; a failure returns the errno.
std::unique_ptr<OutputSink> make_fd_sink(int fd);

// A sink that appends to a string; never a terminal unless told so, in which
// case colours are written as "{red}" ... "{reset}" markers for tests.
class StringSink final : public OutputSink {
 public:
  explicit StringSink(bool pretend_color_terminal = false)
      : pretend_color_(pretend_color_terminal) {}
  IoResult write(std::string_view bytes) override {
    text_.append(bytes);
    return {};
  }
  bool is_color_terminal() const override { return pretend_color_; }
  std::string_view color_code(Color color) const override;
  std::string_view reset_code() const override { return "{reset}"; }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  bool pretend_color_;
  std::string text_;
};

}  // namespace harness
