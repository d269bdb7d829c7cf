// Reads a report with libxml2's streaming reader, one node at a time, so a
// report with megabytes of captured output costs no more memory than its
// longest line of text.
#include "report_reader.h"

#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "run_time.h"
#include "zel_text.h"

namespace zel_health {
namespace {

struct FirstError {
  std::string text;
};

void keep_first_error(void* context, xmlErrorPtr error) {
  auto* first = static_cast<FirstError*>(context);
  if (!first->text.empty() || error == nullptr) return;
  std::string_view message = error->message != nullptr ? error->message : "unreadable XML";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.remove_suffix(1);
  }
  first->text = "line " + std::to_string(error->line) + ": " + std::string(message);
}

struct ReaderFree {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};

bool named(xmlTextReaderPtr reader, const char* name) {
  return xmlStrEqual(xmlTextReaderConstLocalName(reader), BAD_CAST name) != 0;
}

std::optional<std::string> attribute(xmlTextReaderPtr reader, const char* name) {
  xmlChar* value = xmlTextReaderGetAttribute(reader, BAD_CAST name);
  if (value == nullptr) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
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

}  // namespace

std::expected<RunReport, std::string> read_report(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("unreadable: " + zel_text::os_error_text(errno));
  // The parser would call an empty file "extra content at the end".
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    ::close(fd);
    return std::unexpected("empty file");
  }
  // Huge text nodes are allowed: a test that printed more than 10 MB on one
  // line still leaves a report worth reading.
  std::unique_ptr<xmlTextReader, ReaderFree> reader(
      xmlReaderForFd(fd, path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_HUGE));
  if (!reader) {
    ::close(fd);
    return std::unexpected("unreadable by the XML parser");
  }
  FirstError first_error;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), keep_first_error, &first_error);

  RunReport report;
  bool root_seen = false;
  bool suite_seen = false;
  bool host_seen = false;
  int case_depth = -1;  // the open testcase's depth, -1 outside one
  bool case_dropped = false;
  int status = 0;
  while ((status = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    xmlTextReaderPtr r = reader.get();
    const int depth = xmlTextReaderDepth(r);
    if (depth <= case_depth) {
      if (case_dropped) report.outcomes.pop_back();
      case_depth = -1;
      case_dropped = false;
    }
    if (depth == 0) {
      if (!named(r, "testsuites")) {
        status = -2;
        break;
      }
      root_seen = true;
    } else if (named(r, "testsuite") && !suite_seen) {
      suite_seen = true;
      report.start = attribute(r, "timestamp").value_or("");
    } else if (named(r, "property")) {
      const auto name = attribute(r, "name");
      if (name == "host") {
        report.host = attribute(r, "value").value_or("");
        host_seen = true;
      } else if (name == "card") {
        report.card = attribute(r, "value");
      }
    } else if (named(r, "testcase")) {
      const auto class_name = attribute(r, "classname");
      report.outcomes.push_back({test_name(class_name, attribute(r, "name").value_or("")), false});
      case_depth = depth;
      // Benchmarks neither pass nor fail.
      case_dropped = class_name && class_name->starts_with("benchmark::");
    } else if (case_depth >= 0 && depth == case_depth + 1) {
      if (named(r, "failure") || named(r, "error")) report.outcomes.back().failed = true;
      if (named(r, "skipped")) case_dropped = true;
    }
  }
  if (case_dropped) report.outcomes.pop_back();
  reader.reset();
  ::close(fd);

  if (status == -1 || !first_error.text.empty()) {
    return std::unexpected(
        "not well-formed XML (" +
        (first_error.text.empty() ? std::string("unreadable") : first_error.text) + ")");
  }
  if (status == -2 || !root_seen)
    return std::unexpected("not a test report (its root element is not <testsuites>)");
  if (!host_seen) {
    return std::unexpected("no \"host\" property: not a report of hardware_e2e");
  }
  if (!parse_start(report.start)) {
    return std::unexpected("no start time: the testsuite's timestamp " +
                           zel_text::debug_quoted(report.start) +
                           " is not like 2026-11-01T02:00:00");
  }
  return report;
}

}  // namespace zel_health
