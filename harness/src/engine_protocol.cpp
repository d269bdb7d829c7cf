// Sharding, the shard status file, the XML copies of the run (the engine's
// file and the report folder) and the premature-exit marker.
#include "engine_protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "capture.h"
#include "env.h"
#include "harness/debug.h"
#include "harness/io.h"
#include "harness/run.h"
#include "process_exit.h"

namespace harness {
namespace {

// The bytes as they are: an engine's path need not be valid text, and a
// shard number that is not should be named, not taken for unset.
std::optional<std::string> raw_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> file_env(const char* name) {
  auto value = raw_env(name);
  if (value && value->empty()) value.reset();
  return value;
}

std::expected<std::uint64_t, std::string> shard_number(const char* name, const std::string& text) {
  auto number = parse_unsigned(text);
  if (!number) {
    return std::unexpected(std::string(name) + " is " + debug_str(text) +
                           ", expected a decimal number (" + number.error() + ")");
  }
  return *number;
}

std::expected<std::optional<Shard>, std::string> read_shard() {
  constexpr const char* kTotal = "TEST_TOTAL_SHARDS";
  constexpr const char* kIndex = "TEST_SHARD_INDEX";
  const auto total_text = raw_env(kTotal);
  const auto index_text = raw_env(kIndex);
  if (!total_text && !index_text) return std::nullopt;
  if (!index_text) {
    return std::unexpected(std::string(kTotal) + " is set but " + kIndex +
                           " is not; a test engine sets both");
  }
  if (!total_text) {
    return std::unexpected(std::string(kIndex) + " is set but " + kTotal +
                           " is not; a test engine sets both");
  }
  const auto total = shard_number(kTotal, *total_text);
  if (!total) return std::unexpected(total.error());
  if (*total == 0) {
    return std::unexpected(std::string(kTotal) + " is \"0\", expected at least 1 shard");
  }
  const auto index = shard_number(kIndex, *index_text);
  if (!index) return std::unexpected(index.error());
  if (*index >= *total) {
    return std::unexpected(std::string(kIndex) + " is " + debug_str(*index_text) +
                           ", expected an index below " + kTotal + " (" + *total_text + ")");
  }
  return Shard{*total, *index};
}

// A new private file under a unique name beside `path` (`path` and six more
// characters), for the document on its way there: its descriptor, or -1 with
// errno set.
int temporary_beside(const std::string& path, std::string& name) {
  name = path + ".XXXXXX";
  return ::mkostemp(name.data(), O_CLOEXEC);
}

// Whether a temporary file can be made beside `path` (and is removed again):
// 0, or the errno that refused it.
int probe_beside(const std::string& path) {
  std::string probe;
  const int fd = temporary_beside(path, probe);
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(probe.c_str());
  return 0;
}

std::string file_problem(const char* variable, const std::string& path, int error) {
  return "cannot create " + std::string(variable) + " " + debug_str(path) + ": " +
         std::strerror(error);
}

// Properties the program adds to the document; set before tests start.
std::vector<std::pair<std::string, std::string>>& added_properties() {
  static auto* properties = new std::vector<std::pair<std::string, std::string>>;
  return *properties;
}

// Now, in UTC, as an XML date and time without a zone: "2026-12-09T14:03:07".
std::string utc_timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

// What tells this run's document apart from those of other hosts and shards;
// made as the run starts, once the program has added its properties.
JunitContext run_context(const std::optional<Shard>& shard) {
  JunitContext context{host_name(), utc_timestamp(), added_properties()};
  context.properties.emplace_back("host", context.hostname);
  if (shard) {
    context.properties.emplace_back(
        "shard", std::to_string(shard->index + 1) + "/" + std::to_string(shard->total));
  }
  std::ranges::stable_sort(context.properties, {}, [](const auto& p) { return p.first; });
  return context;
}

const std::string* property(const JunitContext& context, std::string_view name) {
  for (const auto& [key, value] : context.properties) {
    if (key == name) return &value;
  }
  return nullptr;
}

// The name of the run's file in the report folder, without ".xml": host, card,
// the run's start and the process, so that the runs of a lab sort by host and
// card and never share a name. "lab-b_card-2_20261110T020000Z_4242".
std::string report_file_stem(const JunitContext& context) {
  std::string host = context.hostname.empty() ? "unknown-host" : context.hostname;
  // A host name is the part of the name a system chooses; keep it a plain file name.
  for (char& c : host) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    if (!plain) c = '_';
  }
  if (host.starts_with('.')) host.front() = '_';
  const std::string* card = property(context, "card");
  std::string start;
  for (const char c : context.timestamp) {
    if (c != '-' && c != ':') start.push_back(c);
  }
  return host + (card ? "_card-" + *card : std::string("_no-card")) + "_" + start + "Z_" +
         std::to_string(::getpid());
}

// Writes `bytes` into a new private file beside `path` (see temporary_beside)
// with the permissions of a report; returns its name.
std::expected<std::string, IoError> write_temporary_beside(const std::string& path,
                                                           std::string_view bytes) {
  std::string temporary;
  int fd = temporary_beside(path, temporary);
  if (fd < 0) return std::unexpected(IoError{errno});
  const auto fail = [&](int error) -> std::expected<std::string, IoError> {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    return std::unexpected(IoError{error});
  };
  // mkostemp makes the file private; a report is for whoever runs the engine.
  if (::fchmod(fd, 0644) != 0) return fail(errno);
  if (auto written = make_fd_sink(fd)->write(bytes); !written) return fail(written.error().code);
  if (::close(std::exchange(fd, -1)) != 0) return fail(errno);
  return temporary;
}

// `path` now holds `bytes`, whole or not at all: a reader never sees half a document.
IoResult replace_file(const std::string& path, std::string_view bytes) {
  auto temporary = write_temporary_beside(path, bytes);
  if (!temporary) return std::unexpected(temporary.error());
  if (::rename(temporary->c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary->c_str());
    return std::unexpected(IoError{error});
  }
  return {};
}

// Moves `from` to `to` unless `to` exists. false when it exists.
std::expected<bool, IoError> move_without_replacing(const std::string& from,
                                                    const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) return std::unexpected(IoError{errno});
  // A file system without the exclusive rename: a hard link refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return false;
    return std::unexpected(IoError{errno});
  }
  ::unlink(from.c_str());
  return true;
}

// A new file in `folder` named after the run (`stem`), holding `bytes`; an
// existing report is never replaced: a second run with the same name (a
// reused pid within a second) gets "-2", "-3", ... Only the whole document
// ever carries the name ending ".xml".
IoResult add_report(const std::string& folder, const std::string& stem, std::string_view bytes) {
  std::string base = folder;
  if (!base.ends_with('/')) base.push_back('/');
  base += stem;
  auto temporary = write_temporary_beside(base + ".xml", bytes);
  if (!temporary) return std::unexpected(temporary.error());
  for (int attempt = 1; attempt <= 1000; ++attempt) {
    const std::string name =
        base + (attempt == 1 ? std::string() : "-" + std::to_string(attempt)) + ".xml";
    auto moved = move_without_replacing(*temporary, name);
    if (!moved) {
      ::unlink(temporary->c_str());
      return std::unexpected(moved.error());
    }
    if (*moved) return {};
  }
  ::unlink(temporary->c_str());
  return std::unexpected(IoError{EEXIST});
}

// Forwards every event to the console formatter and to a JUnit formatter
// that writes into memory; the console's answers decide the run. At the end
// the document goes to XML_OUTPUT_FILE and into ZEL_REPORT_DIR, whichever are
// set. It always carries the measured times, and the run's context.
class XmlOutputTee final : public OutputFormatter {
 public:
  XmlOutputTee(std::unique_ptr<OutputFormatter> console, const EngineRequests& engine)
      : XmlOutputTee(std::move(console), engine, run_context(engine.shard)) {}

  IoResult write_discovery_start() override { return console_->write_discovery_start(); }
  IoResult write_test_discovered(const TestDesc& desc, std::string_view test_type) override {
    return console_->write_test_discovered(desc, test_type);
  }
  IoResult write_discovery_finish(const ConsoleTestDiscoveryState& state) override {
    return console_->write_discovery_finish(state);
  }
  IoResult write_run_start(std::size_t test_count,
                           std::optional<std::uint64_t> shuffle_seed) override {
    (void)junit_->write_run_start(test_count, shuffle_seed);
    return console_->write_run_start(test_count, shuffle_seed);
  }
  IoResult write_test_start(const TestDesc& desc) override {
    return console_->write_test_start(desc);
  }
  IoResult write_timeout(const TestDesc& desc) override { return console_->write_timeout(desc); }
  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>& exec_time,
                        std::span<const std::uint8_t> stdout_bytes,
                        const ConsoleTestState& state) override {
    (void)junit_->write_result(desc, result, exec_time ? exec_time : measured_, stdout_bytes,
                               state);
    measured_.reset();
    return console_->write_result(desc, result, exec_time, stdout_bytes, state);
  }
  void note_measured_time(const TestDesc& desc, TestExecTime time) override {
    measured_ = time;
    console_->note_measured_time(desc, time);
  }
  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    const auto passed = console_->write_run_finish(state);
    if (!passed) return passed;
    (void)junit_->write_run_finish(state);
    // An engine that finds no document reports nothing; the run must fail, naming why.
    const auto failed = [](const char* variable, const std::string& path, IoError error) {
      write_uncaptured(2, "error: cannot write " + std::string(variable) + " " + debug_str(path) +
                              ": " + std::strerror(error.code) + "\n");
      return false;
    };
    bool written = true;
    if (engine_.xml_output_file) {
      if (auto replaced = replace_file(*engine_.xml_output_file, document_.text()); !replaced) {
        written = failed("XML_OUTPUT_FILE", *engine_.xml_output_file, replaced.error());
      }
    }
    if (engine_.report_dir) {
      if (auto added = add_report(*engine_.report_dir, report_stem_, document_.text()); !added) {
        written = failed("ZEL_REPORT_DIR", *engine_.report_dir, added.error());
      }
    }
    return *passed && written;
  }
  IoResult write_merged_doctests_times(double total, double compilation) override {
    return console_->write_merged_doctests_times(total, compilation);
  }

 private:
  XmlOutputTee(std::unique_ptr<OutputFormatter> console, const EngineRequests& engine,
               JunitContext context)
      : console_(std::move(console)),
        report_stem_(report_file_stem(context)),
        junit_(make_junit_formatter(document_, std::move(context))),
        engine_(engine) {}

  std::unique_ptr<OutputFormatter> console_;
  StringSink document_;
  std::string report_stem_;
  std::unique_ptr<OutputFormatter> junit_;
  EngineRequests engine_;
  std::optional<TestExecTime> measured_;  // of the result about to be written
};

}  // namespace

std::expected<EngineRequests, std::string> read_engine_requests() {
  EngineRequests requests;
  auto shard = read_shard();
  if (!shard) return std::unexpected(shard.error());
  requests.shard = *shard;
  requests.shard_status_file = file_env("TEST_SHARD_STATUS_FILE");
  requests.xml_output_file = file_env("XML_OUTPUT_FILE");
  requests.premature_exit_file = file_env("TEST_PREMATURE_EXIT_FILE");
  requests.test_only = file_env("TESTBRIDGE_TEST_ONLY");
  requests.report_dir = file_env("ZEL_REPORT_DIR");
  return requests;
}

std::vector<TestDescAndFn> keep_shard(const std::optional<Shard>& shard,
                                      std::vector<TestDescAndFn> tests) {
  if (!shard || shard->total == 1) return tests;
  std::vector<TestDescAndFn> kept;
  for (std::size_t position = 0; position < tests.size(); ++position) {
    if (position % shard->total == shard->index) kept.push_back(std::move(tests[position]));
  }
  return kept;
}

std::optional<std::string> mark_running(const EngineRequests& engine) {
  if (!engine.premature_exit_file) return std::nullopt;
  const std::string& path = *engine.premature_exit_file;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return file_problem("TEST_PREMATURE_EXIT_FILE", path, errno);
  ::close(fd);
  remove_at_normal_end(path);
  return std::nullopt;
}

std::optional<std::string> touch_shard_status_file(const EngineRequests& engine) {
  if (!engine.shard_status_file) return std::nullopt;
  const std::string& path = *engine.shard_status_file;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return file_problem("TEST_SHARD_STATUS_FILE", path, errno);
  // An existing file gets a new modification time, as touch(1) gives it.
  ::futimens(fd, nullptr);
  ::close(fd);
  return std::nullopt;
}

std::optional<std::string> check_xml_output_file(const EngineRequests& engine) {
  if (!engine.xml_output_file) return std::nullopt;
  const std::string& path = *engine.xml_output_file;
  // The document is written under a temporary name beside the path; whether
  // that folder takes it is known now, before any test runs.
  if (const int error = probe_beside(path)) return file_problem("XML_OUTPUT_FILE", path, error);
  return std::nullopt;
}

std::optional<std::string> prepare_report_dir(const EngineRequests& engine) {
  if (!engine.report_dir) return std::nullopt;
  const std::string& folder = *engine.report_dir;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return file_problem("ZEL_REPORT_DIR", folder, error.value());
  // Whether the folder takes a file is known now, before any test runs.
  if (const int refused = probe_beside(folder + "/.zel-report-probe")) {
    return "cannot write into ZEL_REPORT_DIR " + debug_str(folder) + ": " + std::strerror(refused);
  }
  return std::nullopt;
}

std::unique_ptr<OutputFormatter> with_engine_documents(std::unique_ptr<OutputFormatter> console,
                                                       const EngineRequests& engine) {
  if (!engine.xml_output_file && !engine.report_dir) return console;
  return std::make_unique<XmlOutputTee>(std::move(console), engine);
}

void add_report_property(std::string name, std::string value) {
  added_properties().emplace_back(std::move(name), std::move(value));
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace harness
