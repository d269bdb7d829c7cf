// zel-profile: checks, summarises and draws cycle-profile files.
//
//   zel-profile check FILE               counts, or why the file is no profile
//   zel-profile summary FILE             cycles per step kind, busiest and idlest tiles
//   zel-profile trace FILE -o OUT.json   trace-event JSON for a trace viewer
//   zel-profile svg FILE -o OUT.svg      timeline picture
//
// Exit status: 0 done, 1 the file could not be read or the output written,
// 2 the command line is wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "profile_stats.h"
#include "report_text.h"
#include "timeline_svg.h"
#include "trace_json.h"
#include "zel_package.h"
#include "zel_text.h"

namespace {

using zel_package::ProfileReport;

constexpr std::string_view kUsage =
    "usage: zel-profile check FILE\n"
    "       zel-profile summary FILE\n"
    "       zel-profile trace FILE -o OUT.json\n"
    "       zel-profile svg FILE -o OUT.svg\n"
    "FILE may be - for standard input, OUT may be - for standard output.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Command {
  std::string name;
  std::string input;
  std::optional<std::string> output;
};

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "error: %s\n%.*s", problem.c_str(), static_cast<int>(kUsage.size()),
               kUsage.data());
  return kExitUsage;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "error: %s\n", message.c_str());
  return kExitFailure;
}

// The command line, or the problem with it.
std::expected<Command, std::string> parse(const std::vector<std::string_view>& args) {
  if (args.empty()) return std::unexpected("missing command");
  Command command{std::string(args[0]), {}, {}};
  const bool draws = command.name == "trace" || command.name == "svg";
  if (!draws && command.name != "check" && command.name != "summary") {
    return std::unexpected("unknown command '" + command.name + "'");
  }
  std::optional<std::string> input;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-o") {
      if (!draws) return std::unexpected(command.name + " takes no -o");
      if (i + 1 == args.size()) return std::unexpected("-o needs a path");
      if (command.output) return std::unexpected("-o given twice");
      command.output = std::string(args[++i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return std::unexpected("unknown option '" + std::string(arg) + "'");
    } else if (input) {
      return std::unexpected("unexpected argument '" + std::string(arg) + "'");
    } else {
      input = std::string(arg);
    }
  }
  if (!input) return std::unexpected(command.name + " needs a FILE");
  if (draws && !command.output) {
    return std::unexpected(command.name + " needs -o " +
                           (command.name == "trace" ? "OUT.json" : "OUT.svg"));
  }
  command.input = *input;
  return command;
}

// Opens and reads the profile; the error is the message to print: the path
// and the system's reason when the file cannot be read at all, the reader's
// error when it is no profile.
std::expected<ProfileReport, std::string> load(const std::string& path) {
  const int fd = path == "-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                             : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("cannot read " + path + ": " + zel_text::os_error_text(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected("cannot read " + path + ": " + zel_text::os_error_text(EISDIR));
  }
  auto report = ProfileReport::read(kj::AutoCloseFd(fd));
  if (!report) return std::unexpected(zel_package::debug_text(report.error()));
  return std::move(*report);
}

int draw(const Command& command, const ProfileReport& report) {
  const auto cannot_write = [&](int code) {
    return fail("cannot write " + *command.output + ": " + zel_text::os_error_text(code));
  };
  auto output = zel_profile::FileOutput::create(*command.output);
  if (!output) return cannot_write(output.error());
  const std::string name =
      command.input == "-" ? "profile" : std::filesystem::path(command.input).filename().string();
  if (command.name == "trace") {
    zel_profile::write_trace(report, name, *output);
  } else {
    zel_profile::write_svg(report, name, *output);
  }
  // On failure a regular file is left as it was; a stream or device keeps
  // what reached it.
  if (auto done = output->finish(); !done) return cannot_write(done.error());
  return 0;
}

int run(const std::vector<std::string_view>& args) {
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return 0;
  }
  const auto command = parse(args);
  if (!command) return usage_error(command.error());
  const auto report = load(command->input);
  if (!report) return fail(report.error());

  if (command->name == "check" || command->name == "summary") {
    const auto stats = zel_profile::compute_stats(*report);
    const std::string text = command->name == "check" ? zel_profile::check_text(*report, stats)
                                                      : zel_profile::summary_text(*report, stats);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) {
      return fail("cannot write standard output: " + zel_text::os_error_text(errno));
    }
    return 0;
  }
  return draw(*command, *report);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return run(args);
}
