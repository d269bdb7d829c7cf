// zel-profile: checks, summarises and draws cycle-profile files.
//
//   zel-profile check FILE               counts, or why the file is no profile
//   zel-profile summary FILE             cycles per step kind, busiest and idlest tiles
//   zel-profile trace FILE -o OUT.json   trace-event JSON for a trace viewer
//   zel-profile svg FILE -o OUT.svg      timeline picture
// trace and svg take a window: --from CYCLE, --to CYCLE, --tiles LIST.
//
// The profile is visited a tile at a time (twice for trace and svg: once to
// size the output, once to write it), so memory follows the largest tile.
//
// Exit status: 0 done, 1 the file could not be read or the output written,
// 2 the command line is wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "number_text.h"
#include "output.h"
#include "profile_stats.h"
#include "profile_stream.h"
#include "report_text.h"
#include "timeline_svg.h"
#include "trace_json.h"
#include "window.h"
#include "zel_package.h"
#include "zel_text.h"

namespace {

using zel_package::ProfileStream;

// What the usage text says after the commands' own lines.
constexpr std::string_view kUsageNotes =
    "FILE may be - for standard input, OUT may be - for standard output.\n"
    "WINDOW keeps the samples that overlap cycles FROM up to, not including, TO\n"
    "on the tiles of LIST (physical tile numbers and ranges, such as 0-63,128):\n"
    "  --from CYCLE (default 0)  --to CYCLE (default the end)  --tiles LIST (default all)\n"
    "trace writes no trace over 512 MiB, which viewers cannot open, unless given --force.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Command;

// A command of the tool: its name, its usage line and what runs it.
struct Verb {
  std::string_view name;
  std::string_view usage;   // its line of the usage text, after "zel-profile "
  std::string_view output;  // what -o names, for a command that draws; empty for the others
  bool force;               // whether it takes --force
  int (*run)(const Command&, ProfileStream&);
};

int check(const Command&, ProfileStream& stream);
int summary(const Command&, ProfileStream& stream);
int draw(const Command& command, ProfileStream& stream);

constexpr Verb kVerbs[] = {
    {"check", "check FILE", "", false, &check},
    {"summary", "summary FILE", "", false, &summary},
    {"trace", "trace FILE -o OUT.json [WINDOW] [--force]", "OUT.json", true, &draw},
    {"svg", "svg FILE -o OUT.svg [WINDOW]", "OUT.svg", false, &draw},
};

const std::string& usage_text() {
  static const std::string text = [] {
    std::string lines;
    for (const Verb& verb : kVerbs) {
      lines += lines.empty() ? "usage: zel-profile " : "       zel-profile ";
      lines += verb.usage;
      lines += '\n';
    }
    return lines + std::string(kUsageNotes);
  }();
  return text;
}

struct Command {
  const Verb* verb;
  std::string name;
  std::string input;
  std::optional<std::string> output;
  zel_profile::Window window;
  bool force = false;
};

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "error: %s\n%s", problem.c_str(), usage_text().c_str());
  return kExitUsage;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "error: %s\n", message.c_str());
  return kExitFailure;
}

// The command line, or the problem with it. Options that take a value take
// it as the next argument or after "=".
std::expected<Command, std::string> parse(const std::vector<std::string_view>& args) {
  if (args.empty()) return std::unexpected("missing command");
  const auto verb = std::ranges::find(kVerbs, args[0], &Verb::name);
  if (verb == std::end(kVerbs)) {
    return std::unexpected("unknown command '" + std::string(args[0]) + "'");
  }
  Command command{verb, std::string(args[0]), {}, {}, {}, false};
  const bool draws = !verb->output.empty();
  std::optional<std::string> input;
  zel_profile::Window& window = command.window;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> attached;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      attached = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    const bool windowing = arg == "--from" || arg == "--to" || arg == "--tiles";
    if (arg == "-o" || windowing) {
      if (!draws) return std::unexpected(command.name + " takes no " + std::string(arg));
      if (!attached && i + 1 == args.size()) {
        return std::unexpected(std::string(arg) + (arg == "-o"        ? " needs a path"
                                                   : arg == "--tiles" ? " needs a tile list"
                                                                      : " needs a cycle number"));
      }
      const std::string_view value = attached ? *attached : args[++i];
      if (arg == "-o") {
        if (command.output) return std::unexpected("-o given twice");
        command.output = std::string(value);
      } else if (arg == "--tiles") {
        if (window.tiles) return std::unexpected("--tiles given twice");
        auto tiles = zel_profile::parse_tiles(value);
        if (!tiles) return std::unexpected(tiles.error());
        window.tiles = std::move(*tiles);
        window.tiles_text = std::string(value);
      } else {
        auto& bound = arg == "--from" ? window.from : window.to;
        if (bound) return std::unexpected(std::string(arg) + " given twice");
        auto cycle = zel_profile::parse_cycle(arg, value);
        if (!cycle) return std::unexpected(cycle.error());
        bound = *cycle;
      }
    } else if (arg == "--force" && !attached) {
      if (!verb->force) return std::unexpected(command.name + " takes no --force");
      command.force = true;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return std::unexpected("unknown option '" + std::string(args[i]) + "'");
    } else if (input) {
      return std::unexpected("unexpected argument '" + std::string(args[i]) + "'");
    } else {
      input = std::string(args[i]);
    }
  }
  if (window.to && *window.to <= window.from.value_or(0)) {
    return std::unexpected("--to " + std::to_string(*window.to) + " is not after " +
                           (window.from ? "--from " + std::to_string(*window.from)
                                        : std::string("cycle 0, where the window starts")));
  }
  if (!input) return std::unexpected(command.name + " needs a FILE");
  if (draws && !command.output) {
    return std::unexpected(command.name + " needs -o " + std::string(verb->output));
  }
  command.input = *input;
  return command;
}

// Opens the profile; the error is the message to print: the path and the
// system's reason when the file cannot be read at all, the reader's error
// when it is no profile.
std::expected<ProfileStream, std::string> open_profile(const std::string& path) {
  const int fd = path == "-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                             : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("cannot read " + path + ": " + zel_text::os_error_text(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected("cannot read " + path + ": " + zel_text::os_error_text(EISDIR));
  }
  auto stream = ProfileStream::open(kj::AutoCloseFd(fd));
  if (!stream) return std::unexpected(zel_package::debug_text(stream.error()));
  return std::move(*stream);
}

// One pass over the profile; the error is the reader's, as a message.
std::expected<void, std::string> visit(ProfileStream& stream,
                                       zel_package::ProfileVisitor& visitor) {
  if (auto done = stream.visit(visitor); !done) {
    return std::unexpected(zel_package::debug_text(done.error()));
  }
  return {};
}

std::string trace_too_large(std::uint64_t bytes) {
  const double mib = static_cast<double>(bytes) / (1 << 20);
  return "the trace would be about " + zel_tools::fixed(mib, 0) + " MiB (" +
         zel_tools::grouped(bytes) + " bytes), more than the " +
         std::to_string(zel_profile::kMaxTraceBytes >> 20) +
         " MiB a trace viewer opens; narrow it with --from, --to or --tiles, or write it anyway "
         "with --force";
}

// Sizes (or, for svg, measures) the output in a first pass, which also
// reads the whole profile, so that a profile refused anywhere writes nothing;
// then writes it in a second.
int draw(const Command& command, ProfileStream& stream) {
  const std::string name =
      command.input == "-" ? "profile" : std::filesystem::path(command.input).filename().string();
  std::optional<zel_profile::ProfileStats> stats;
  if (command.name == "trace") {
    zel_profile::TraceSize size(command.window, name, zel_profile::kMaxTraceBytes);
    if (auto done = visit(stream, size); !done) return fail(done.error());
    if (size.bytes() > zel_profile::kMaxTraceBytes && !command.force) {
      return fail(trace_too_large(size.bytes()));
    }
  } else {
    zel_profile::StatsCollector collector(command.window);
    if (auto done = visit(stream, collector); !done) return fail(done.error());
    stats = collector.stats();
  }

  const auto cannot_write = [&](int code) {
    return fail("cannot write " + *command.output + ": " + zel_text::os_error_text(code));
  };
  auto output = zel_tools::FileOutput::create(*command.output);
  if (!output) return cannot_write(output.error());
  std::expected<void, std::string> done;
  if (stats) {
    zel_profile::SvgWriter writer(*stats, command.window, name, *output);
    done = visit(stream, writer);
    writer.finish();
  } else {
    zel_profile::TraceWriter writer(command.window, name, *output);
    done = visit(stream, writer);
    writer.finish();
  }
  // A file that changed since the first pass: the output is dropped.
  if (!done) return fail(done.error());
  // On failure a regular file is left as it was; a stream or device keeps
  // what reached it.
  if (auto finished = output->finish(); !finished) return cannot_write(finished.error());
  return 0;
}

// One pass collecting the whole profile's figures, printed as `text` makes them.
int print_stats(ProfileStream& stream, std::string (*text_of)(const zel_profile::ProfileStats&)) {
  zel_profile::StatsCollector collector;
  if (auto done = visit(stream, collector); !done) return fail(done.error());
  const std::string text = text_of(collector.stats());
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0) {
    return fail("cannot write standard output: " + zel_text::os_error_text(errno));
  }
  return 0;
}

int check(const Command&, ProfileStream& stream) {
  return print_stats(stream, &zel_profile::check_text);
}

int summary(const Command&, ProfileStream& stream) {
  return print_stats(stream, &zel_profile::summary_text);
}

int run(const std::vector<std::string_view>& args) {
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
    std::fwrite(usage_text().data(), 1, usage_text().size(), stdout);
    return 0;
  }
  const auto command = parse(args);
  if (!command) return usage_error(command.error());
  auto stream = open_profile(command->input);
  if (!stream) return fail(stream.error());
  return command->verb->run(*command, *stream);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return run(args);
}
