// The JUnit XML document: the declaration when the run starts, one testcase
// element per result in completion order, and the rest of the document on the
// same line when the run finishes.
//
// Results are only collected until the run finishes, so an interrupted run
// leaves nothing but the declaration on standard output.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "duration_text.h"
#include "harness/formatter.h"
#include "zel_text.h"

namespace harness {
namespace {

struct ClassAndName {
  std::string class_name;
  std::string name;
};

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlank = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// Where the document files a test: by kind, from its full name.
ClassAndName class_and_name(const TestDesc& desc) {
  const std::string_view full = desc.name.as_str();
  switch (desc.kind) {
    case TestKind::Integration:
      return {"integration", std::string(full)};
    case TestKind::Unknown:
      return {"unknown", std::string(full)};
    case TestKind::Unit: {
      const std::size_t last = full.rfind("::");
      if (last == std::string_view::npos) return {"crate", std::string(full)};
      return {std::string(full.substr(0, last)), std::string(full.substr(last + 2))};
    }
    case TestKind::Doc: {
      const std::size_t sep = full.find(" - ");
      // A documentation test is named "{item} - {position}"; a name without the
      // separator is filed whole under "doc" rather than rejected.
      if (sep == std::string_view::npos) return {"doc", std::string(trim(full))};
      return {std::string(trim(full.substr(0, sep))), std::string(trim(full.substr(sep + 3)))};
    }
  }
  return {"unknown", std::string(full)};
}

struct FinishedTest {
  TestDesc desc;
  TestResult result;
  double seconds = 0;
  std::vector<std::uint8_t> output;
};

void append_testcase_open(std::string& out, const ClassAndName& where, std::string_view time) {
  out += "<testcase classname=\"";
  zel_text::append_xml_attribute(out, where.class_name);
  out += "\" name=\"";
  zel_text::append_xml_attribute(out, where.name);
  out += "\" time=\"";
  out += time;
  out += '"';
}

void append_system_out(std::string& out, const std::vector<std::uint8_t>& output) {
  out += "<system-out>";
  zel_text::append_xml_character_data(
      out, std::string_view(reinterpret_cast<const char*>(output.data()), output.size()));
  out += "</system-out>";
}

void append_testcase(std::string& out, const FinishedTest& test, bool show_output) {
  using Kind = TestResult::Kind;
  const ClassAndName where = class_and_name(test.desc);
  const std::string time = duration_text(test.seconds);
  switch (test.result.kind) {
    case Kind::Ok:
      append_testcase_open(out, where, time);
      if (test.output.empty() || !show_output) {
        out += "/>";
      } else {
        out += '>';
        append_system_out(out, test.output);
        out += "</testcase>";
      }
      return;
    case Kind::Failed:
    case Kind::FailedMsg:
      append_testcase_open(out, where, time);
      if (test.result.kind == Kind::Failed) {
        out += "><failure type=\"assert\"/>";
      } else {
        out += "><failure message=\"";
        zel_text::append_xml_attribute(out, test.result.message);
        out += "\" type=\"assert\"/>";
      }
      if (!test.output.empty()) append_system_out(out, test.output);
      out += "</testcase>";
      return;
    case Kind::TimedFail:
      append_testcase_open(out, where, time);
      out += "><failure type=\"timeout\"/></testcase>";
      return;
    case Kind::Ignored:
      return;  // counted in "skipped" only
    case Kind::Bench: {
      const ClassAndName bench{"benchmark::" + where.class_name, where.name};
      append_testcase_open(out, bench, duration_text(test.result.bench.sum_ns));
      out += " />";
      return;
    }
  }
}

void append_property(std::string& out, const std::string& name, const std::string& value) {
  out += "<property name=\"";
  zel_text::append_xml_attribute(out, name);
  out += "\" value=\"";
  zel_text::append_xml_attribute(out, value);
  out += "\"/>";
}

class JunitFormatter final : public OutputFormatter {
 public:
  JunitFormatter(OutputSink& out, std::optional<JunitContext> context)
      : out_(out), context_(std::move(context)) {}

  IoResult write_discovery_start() override { return {}; }
  IoResult write_test_discovered(const TestDesc&, std::string_view) override { return {}; }
  IoResult write_discovery_finish(const ConsoleTestDiscoveryState&) override { return {}; }

  IoResult write_run_start(std::size_t, std::optional<std::uint64_t>) override {
    return out_.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
  }

  IoResult write_test_start(const TestDesc&) override { return {}; }
  IoResult write_timeout(const TestDesc&) override { return {}; }

  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>& exec_time,
                        std::span<const std::uint8_t> stdout_bytes,
                        const ConsoleTestState&) override {
    finished_.push_back(FinishedTest{desc,
                                     result,
                                     exec_time ? exec_time->seconds() : 0.0,
                                     {stdout_bytes.begin(), stdout_bytes.end()}});
    return {};
  }

  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    std::string doc = "<testsuites><testsuite name=\"test\" package=\"test\" id=\"0\" errors=\"0\"";
    doc += " failures=\"" + std::to_string(state.failed) + '"';
    doc += " tests=\"" + std::to_string(state.total) + '"';
    doc += " skipped=\"" + std::to_string(state.ignored) + '"';
    if (context_) {
      doc += " hostname=\"";
      zel_text::append_xml_attribute(doc, context_->hostname);
      doc += "\" timestamp=\"" + context_->timestamp + '"';
    }
    doc += " >";
    if (context_ && !context_->properties.empty()) {
      doc += "<properties>";
      for (const auto& [name, value] : context_->properties) append_property(doc, name, value);
      doc += "</properties>";
    }
    for (const FinishedTest& test : finished_) append_testcase(doc, test, state.show_output);
    doc += "<system-out/>";
    if (state.interruption) {
      doc += "<system-err>";
      zel_text::append_xml_character_data(doc, *state.interruption);
      doc += "</system-err>";
    } else {
      doc += "<system-err/>";
    }
    doc += "</testsuite></testsuites>\n";
    finished_.clear();
    if (auto written = out_.write(doc); !written) return std::unexpected(written.error());
    return state.succeeded();
  }

  IoResult write_merged_doctests_times(double total, double compilation) override {
    std::string report = "<report total_time=\"";
    append_duration_text(report, total);
    report += "\" compilation_time=\"";
    append_duration_text(report, compilation);
    report += "\"></report>\n";
    return out_.write(report);
  }

 private:
  OutputSink& out_;
  std::optional<JunitContext> context_;
  std::vector<FinishedTest> finished_;
};

}  // namespace

std::unique_ptr<OutputFormatter> make_junit_formatter(OutputSink& out) {
  return std::make_unique<JunitFormatter>(out, std::nullopt);
}

std::unique_ptr<OutputFormatter> make_junit_formatter(OutputSink& out, JunitContext context) {
  return std::make_unique<JunitFormatter>(out, std::move(context));
}

}  // namespace harness
