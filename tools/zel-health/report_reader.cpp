// Reads a report with libxml2's streaming (SAX) parser, fed a chunk at a
// time, with no handler for text: captured output is parsed past and never
// kept, so a report with megabytes of it costs no more memory than a chunk.
// (The tree-building reader keeps a test's output until the test's element
// closes: 80 MiB for 16 MiB of output.)
#include "report_reader.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "run_time.h"
#include "zel_text.h"

namespace zel_health {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// What the parser's callbacks build.
struct Reading {
  RunReport report;
  std::string timestamp;  // the testsuite's, as written
  std::string first_error;
  int depth = 0;        // of the element being opened, the root at 0
  int case_depth = -1;  // the open testcase's depth, -1 outside one
  bool case_dropped = false;
  bool root_seen = false;
  bool not_a_report = false;
  bool suite_seen = false;
  bool host_seen = false;
};

bool named(const xmlChar* name, const char* expected) {
  return xmlStrEqual(name, BAD_CAST expected) != 0;
}

// The value of attribute `name` among libxml2's (name, prefix, URI, value, end) quintuples.
std::optional<std::string> attribute(int count, const xmlChar** attributes, const char* name) {
  for (int i = 0; i < count; ++i) {
    const xmlChar** at = attributes + 5 * i;
    if (at[1] == nullptr && named(at[0], name)) {
      return std::string(reinterpret_cast<const char*>(at[3]),
                         reinterpret_cast<const char*>(at[4]));
    }
  }
  return std::nullopt;
}

// The name a test goes by across runs: the document files integration tests
// (all of hardware_e2e's) under "integration" with their whole name, unit
// tests under their module path.
std::string test_name(const std::optional<std::string>& class_name, std::string name) {
  if (!class_name || *class_name == "integration" || *class_name == "unknown" ||
      *class_name == "crate" || class_name->empty()) {
    return name;
  }
  return *class_name + "::" + name;
}

void close_case(Reading& r) {
  if (r.case_dropped) r.report.outcomes.pop_back();
  r.case_depth = -1;
  r.case_dropped = false;
}

void start_element(void* context, const xmlChar* name, const xmlChar*, const xmlChar*, int,
                   const xmlChar**, int attribute_count, int, const xmlChar** attributes) {
  Reading& r = *static_cast<Reading*>(context);
  const int depth = r.depth++;
  if (depth == 0) {
    r.root_seen = true;
    r.not_a_report = !named(name, "testsuites");
  } else if (named(name, "testsuite") && !r.suite_seen) {
    r.suite_seen = true;
    r.timestamp = attribute(attribute_count, attributes, "timestamp").value_or("");
  } else if (named(name, "property")) {
    const auto property = attribute(attribute_count, attributes, "name");
    if (property == "host") {
      r.report.host = attribute(attribute_count, attributes, "value").value_or("");
      r.host_seen = true;
    } else if (property == "card") {
      r.report.card = attribute(attribute_count, attributes, "value");
    }
  } else if (named(name, "testcase")) {
    if (r.case_depth >= 0) close_case(r);
    const auto class_name = attribute(attribute_count, attributes, "classname");
    r.report.outcomes.push_back(
        {test_name(class_name, attribute(attribute_count, attributes, "name").value_or("")),
         false});
    r.case_depth = depth;
    // Benchmarks neither pass nor fail.
    r.case_dropped = class_name && class_name->starts_with("benchmark::");
  } else if (r.case_depth >= 0 && depth == r.case_depth + 1) {
    if (named(name, "failure") || named(name, "error")) r.report.outcomes.back().failed = true;
    if (named(name, "skipped")) r.case_dropped = true;
  }
}

void end_element(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  Reading& r = *static_cast<Reading*>(context);
  if (--r.depth == r.case_depth) close_case(r);
}

void keep_first_error(void* context, xmlErrorPtr error) {
  auto& first = static_cast<Reading*>(context)->first_error;
  if (!first.empty() || error == nullptr || error->level < XML_ERR_ERROR) return;
  std::string_view message = error->message != nullptr ? error->message : "unreadable XML";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.remove_suffix(1);
  }
  first = "line " + std::to_string(error->line) + ": " + std::string(message);
}

struct ParserFree {
  void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

struct FdClose {
  void operator()(const int* fd) const { ::close(*fd); }
};

}  // namespace

std::expected<RunReport, std::string> read_report(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("unreadable: " + zel_text::os_error_text(errno));
  const std::unique_ptr<int, FdClose> closing(&fd);
  // The parser would call an empty file "extra content at the end".
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    return std::unexpected("empty file");
  }

  xmlSAXHandler handler{};
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = start_element;
  handler.endElementNs = end_element;
  handler.serror = keep_first_error;
  Reading reading;
  std::unique_ptr<xmlParserCtxt, ParserFree> parser(
      xmlCreatePushParserCtxt(&handler, &reading, nullptr, 0, path.c_str()));
  if (!parser) return std::unexpected("unreadable by the XML parser");
  // Huge text nodes are allowed: a test that printed more than 10 MB on one
  // line still leaves a report worth reading.
  xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_HUGE);

  std::array<char, kChunk> chunk;
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected("unreadable: " + zel_text::os_error_text(errno));
    xmlParseChunk(parser.get(), chunk.data(), static_cast<int>(got), got == 0);
    if (got == 0 || !reading.first_error.empty()) break;
  }
  if (!reading.first_error.empty() || parser->wellFormed == 0) {
    return std::unexpected(
        "not well-formed XML (" +
        (reading.first_error.empty() ? std::string("unreadable") : reading.first_error) + ")");
  }
  RunReport& report = reading.report;
  if (!reading.root_seen || reading.not_a_report) {
    return std::unexpected("not a test report (its root element is not <testsuites>)");
  }
  if (!reading.host_seen) {
    return std::unexpected("no \"host\" property: not a report of hardware_e2e");
  }
  const std::optional<std::int64_t> start = parse_start(reading.timestamp);
  if (!start) {
    return std::unexpected("no start time: the testsuite's timestamp " +
                           zel_text::debug_quoted(reading.timestamp) +
                           " is not like 2026-11-01T02:00:00");
  }
  report.start = *start;
  return std::move(report);
}

}  // namespace zel_health
