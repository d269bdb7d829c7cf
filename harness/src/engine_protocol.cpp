// Sharding, the shard status file, the XML copy of the run and the
// premature-exit marker.
#include "engine_protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "capture.h"
#include "env.h"
#include "harness/debug.h"
#include "harness/io.h"
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

std::string file_problem(const char* variable, const std::string& path, int error) {
  return "cannot create " + std::string(variable) + " " + debug_str(path) + ": " +
         std::strerror(error);
}

// Properties the program adds to the document; set before tests start.
std::vector<std::pair<std::string, std::string>>& added_properties() {
  static auto* properties = new std::vector<std::pair<std::string, std::string>>;
  return *properties;
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
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

// Forwards every event to the console formatter and to a JUnit formatter
// that writes into memory; the console's answers decide the run. The
// document always carries the measured times, and the run's context.
class XmlOutputTee final : public OutputFormatter {
 public:
  XmlOutputTee(std::unique_ptr<OutputFormatter> console, std::string path,
               std::optional<Shard> shard)
      : console_(std::move(console)),
        junit_(make_junit_formatter(document_, run_context(shard))),
        path_(std::move(path)) {}

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
    if (auto written = replace_file(path_, document_.text()); !written) {
      // An engine that finds no document reports nothing; the run must fail, naming why.
      write_uncaptured(2, "error: cannot write XML_OUTPUT_FILE " + debug_str(path_) + ": " +
                              std::strerror(written.error().code) + "\n");
      return false;
    }
    return passed;
  }
  IoResult write_merged_doctests_times(double total, double compilation) override {
    return console_->write_merged_doctests_times(total, compilation);
  }

 private:
  static IoResult replace_file(const std::string& path, std::string_view bytes) {
    std::string temporary;
    int fd = temporary_beside(path, temporary);
    if (fd < 0) return std::unexpected(IoError{errno});
    const auto fail = [&](int error) -> IoResult {
      if (fd >= 0) ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(IoError{error});
    };
    // mkostemp makes the file private; a report is for whoever runs the engine.
    if (::fchmod(fd, 0644) != 0) return fail(errno);
    if (auto written = make_fd_sink(fd)->write(bytes); !written) return fail(written.error().code);
    const int closed = ::close(std::exchange(fd, -1));
    if (closed != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
    return {};
  }

  std::unique_ptr<OutputFormatter> console_;
  StringSink document_;
  std::unique_ptr<OutputFormatter> junit_;
  std::string path_;
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
  std::string probe;
  const int fd = temporary_beside(path, probe);
  if (fd < 0) return file_problem("XML_OUTPUT_FILE", path, errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return std::nullopt;
}

std::unique_ptr<OutputFormatter> with_xml_output(std::unique_ptr<OutputFormatter> console,
                                                 std::string path, std::optional<Shard> shard) {
  return std::make_unique<XmlOutputTee>(std::move(console), std::move(path), shard);
}

void add_report_property(std::string name, std::string value) {
  added_properties().emplace_back(std::move(name), std::move(value));
}

}  // namespace harness
