// zel-health: reads many runs' reports (the documents hardware_e2e writes to
// XML_OUTPUT_FILE) and says which card is suspect and which test fails on one
// card, is broken or is flaky.
//
//   zel-health reports/                     findings and the failing tests by card
//   zel-health --json - --since 2026-11-06 reports/
//   zel-health --svg health.svg reports/
//
// Reports are read one at a time, with a streaming parser, into counts per
// test on each card, so memory follows the number of cards and tests, not
// the reports' size.
//
// Exit status: 0 done, 1 no readable report or an output could not be
// written, 2 the command line is wrong.
#include <libxml/parser.h>

#include <algorithm>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fleet.h"
#include "health_json.h"
#include "health_stats.h"
#include "health_svg.h"
#include "health_text.h"
#include "output.h"
#include "report_reader.h"
#include "run_time.h"
#include "zel_text.h"

namespace {

namespace fs = std::filesystem;
using zel_health::Skipped;

constexpr std::string_view kUsage =
    "usage: zel-health [OPTIONS] PATH...\n"
    "Reads the reports of hardware_e2e runs (files, or folders searched for *.xml) and says\n"
    "which cards are suspect and which tests fail on one card, are broken or are flaky.\n"
    "  --all           list every test on every card, not only the failing ones\n"
    "  --json FILE     write the findings as JSON to FILE (- for standard output)\n"
    "  --svg FILE      draw the tests by cards as a heat map to FILE (- for standard output)\n"
    "  --since TIME    only the runs that started at TIME (UTC) or later:\n"
    "                  2026-11-06 or 2026-11-06T02:00:00\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kWarningsShown = 5;

struct Command {
  std::vector<std::string> paths;
  bool all = false;
  std::optional<std::string> json;
  std::optional<std::string> svg;
  std::optional<std::int64_t> since;
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

// The command line, or the problem with it. Options may come before or after
// the paths, and take their value as the next argument or after "=".
std::expected<Command, std::string> parse(const std::vector<std::string_view>& args) {
  Command command;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (options_ended || arg == "-" || !arg.starts_with("-")) {
      command.paths.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::optional<std::string_view> attached;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      attached = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    if (arg == "--all" && !attached) {
      command.all = true;
      continue;
    }
    if (arg != "--json" && arg != "--svg" && arg != "--since") {
      return std::unexpected("unknown option '" + std::string(args[i]) + "'");
    }
    if (!attached && i + 1 == args.size()) {
      return std::unexpected(std::string(arg) + (arg == "--since"
                                                     ? " needs a time, such as 2026-11-06"
                                                     : " needs a file (- for standard output)"));
    }
    const std::string_view value = attached ? *attached : args[++i];
    if (arg == "--since") {
      command.since = zel_health::parse_since(value);
      if (!command.since) {
        return std::unexpected("--since '" + std::string(value) +
                               "' is not a time: expected 2026-11-06 or 2026-11-06T02:00:00");
      }
    } else {
      auto& file = arg == "--json" ? command.json : command.svg;
      if (value.empty()) return std::unexpected(std::string(arg) + " needs a file, not ''");
      file = std::string(value);
    }
  }
  if (command.paths.empty()) return std::unexpected("no PATH given: name report files or folders");
  if (command.json == "-" && command.svg == "-") {
    return std::unexpected("--json and --svg cannot both write to standard output");
  }
  for (const std::string& path : command.paths) {
    std::error_code error;
    if (!fs::exists(path, error)) {
      return std::unexpected("no such file or folder: '" + path + "'");
    }
  }
  return command;
}

// The report files the paths name: files as given, folders searched for
// *.xml, each folder's in name order. Folders that cannot be listed are
// skipped with their reason.
std::vector<std::string> report_files(const std::vector<std::string>& paths,
                                      std::vector<Skipped>& skipped) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      files.push_back(path);
      continue;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator walk(path, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
      const fs::directory_entry& entry = *walk;
      std::error_code type_error;
      if (entry.path().extension() == ".xml" && entry.is_regular_file(type_error)) {
        found.push_back(entry.path().string());
      }
    }
    if (error) skipped.push_back({path, "unreadable folder: " + error.message()});
    std::ranges::sort(found);
    std::ranges::move(found, std::back_inserter(files));
  }
  return files;
}

int write_output(const std::string& path, const auto& write) {
  auto output = zel_tools::FileOutput::create(path);
  if (!output) return fail("cannot write " + path + ": " + zel_text::os_error_text(output.error()));
  write(*output);
  if (auto done = output->finish(); !done) {
    return fail("cannot write " + path + ": " + zel_text::os_error_text(done.error()));
  }
  return 0;
}

int run(const std::vector<std::string_view>& args) {
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return 0;
  }
  const auto command = parse(args);
  if (!command) return usage_error(command.error());

  std::vector<Skipped> skipped;
  const std::vector<std::string> files = report_files(command->paths, skipped);
  zel_health::Fleet fleet;
  std::uint64_t older = 0;
  for (const std::string& file : files) {
    auto report = zel_health::read_report(file);
    if (!report) {
      skipped.push_back({file, report.error()});
      continue;
    }
    if (command->since && report->start < *command->since) {
      ++older;
      continue;
    }
    fleet.add(*report);
  }
  for (std::size_t i = 0; i < std::min(skipped.size(), kWarningsShown); ++i) {
    std::fprintf(stderr, "warning: skipped %s: %s\n", skipped[i].path.c_str(),
                 skipped[i].reason.c_str());
  }
  if (skipped.size() > kWarningsShown) {
    std::fprintf(stderr, "warning: skipped %zu more files that are not readable reports\n",
                 skipped.size() - kWarningsShown);
  }
  if (fleet.reports() == 0) {
    if (older > 0) {
      return fail("no run started at or after " + zel_health::start_text(*command->since) +
                  ": all " + std::to_string(older) + " readable reports are older");
    }
    if (files.empty()) return fail("no report file (*.xml) in the paths given");
    if (files.size() == 1) return fail("the one file found is not a readable report");
    return fail("none of the " + std::to_string(files.size()) + " files is a readable report");
  }

  const zel_health::Findings findings = zel_health::analyse(fleet);
  if (command->json) {
    const int status = write_output(*command->json, [&](zel_tools::Output& out) {
      zel_health::write_json(fleet, findings, skipped, out);
    });
    if (status != 0) return status;
  }
  if (command->svg) {
    const int status = write_output(*command->svg, [&](zel_tools::Output& out) {
      zel_health::write_svg(fleet, findings, out);
    });
    if (status != 0) return status;
  }
  if (command->json == "-" || command->svg == "-") return 0;
  return write_output("-", [&](zel_tools::Output& out) {
    out.write(zel_health::health_text(fleet, findings, command->all));
  });
}

}  // namespace

int main(int argc, char** argv) {
  LIBXML_TEST_VERSION
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const int status = run(args);
  xmlCleanupParser();
  return status;
}
