// Where the inspector's renderers write: a string (for tests) or a file
// written through a large buffer that remembers the first write error, so a
// full disk is reported once, when the file is finished.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace zel_profile {

class Output {
 public:
  virtual ~Output() = default;
  virtual void write(std::string_view text) = 0;
};

class StringOutput final : public Output {
 public:
  void write(std::string_view text) override { text_.append(text); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class FileOutput final : public Output {
 public:
  // Creates (or truncates) `path`; "-" is standard output. The error is an errno value.
  static std::expected<FileOutput, int> create(const std::string& path);
  FileOutput(FileOutput&& other) noexcept;
  FileOutput& operator=(FileOutput&&) = delete;
  ~FileOutput() override;

  void write(std::string_view text) override;
  // Writes what is buffered and closes the file: the first error met, if any.
  std::expected<void, int> finish();

 private:
  FileOutput(int fd, bool owned) : fd_(fd), owned_(owned) {}
  void flush();

  int fd_ = -1;
  bool owned_ = false;
  int error_ = 0;
  std::string buffer_;
};

}  // namespace zel_profile
