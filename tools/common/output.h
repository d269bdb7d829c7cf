// Where the tools' renderers write: a string (for tests) or a file.
//
// A file output replaces its target only when it is complete: the text goes
// to an unnamed file beside the target, which is linked in over it once all
// of it is written. A failure, or the tool being killed, leaves no partial
// file and an existing file untouched. Targets that are not regular files
// (standard output, a FIFO, a device) are written in place.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace zel_tools {

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
  // Starts writing to `path` ("-" is standard output). The error is an errno value.
  static std::expected<FileOutput, int> create(const std::string& path);
  FileOutput(FileOutput&& other) noexcept;
  FileOutput& operator=(FileOutput&&) = delete;
  ~FileOutput() override;

  // Buffered; the first write error is kept for finish().
  void write(std::string_view text) override;
  // Writes what is buffered and puts the file in place: the first error met, if any.
  std::expected<void, int> finish();

 private:
  FileOutput() = default;
  void flush();
  int link_in();

  int fd_ = -1;
  bool owned_ = false;
  int error_ = 0;
  std::string buffer_;
  // For a replaced regular file: the directory it lies in, its name there,
  // the permissions it gets and, with a named temporary file (where the file
  // system has no unnamed ones), that file's name.
  int dir_fd_ = -1;
  std::string name_;
  mode_t mode_ = 0;
  std::optional<std::string> temporary_name_;
};

}  // namespace zel_tools
