// The JUnit document: the class-name rule, one testcase element per result
// kind, and well-formedness for an XML reader whatever bytes names, messages
// and output hold.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "harness/formatter.h"
#include "machine_test_support.h"

namespace harness {
namespace {

using namespace std::chrono_literals;
using Kind = TestResult::Kind;

using machine_testing::bytes;

TestDesc make_desc(std::string_view name, TestKind kind = TestKind::Integration) {
  return machine_testing::desc_named(name, kind);
}

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr std::string_view kSuiteEnd = "<system-out/><system-err/></testsuite></testsuites>\n";

std::string suite_start(std::size_t failed, std::size_t total, std::size_t ignored) {
  return "<testsuites><testsuite name=\"test\" package=\"test\" id=\"0\" errors=\"0\" failures=\"" +
         std::to_string(failed) + "\" tests=\"" + std::to_string(total) + "\" skipped=\"" +
         std::to_string(ignored) + "\" >";
}

TEST(JunitFormatter, ClassNameRuleForEveryKind) {
  struct Case {
    TestKind kind;
    std::string name;
    std::string expected;  // classname and name attributes
  };
  const std::vector<Case> cases = {
      {TestKind::Integration, "zel::host_h2d_works",
       "classname=\"integration\" name=\"zel::host_h2d_works\""},
      {TestKind::Unknown, "a::b", "classname=\"unknown\" name=\"a::b\""},
      {TestKind::Unit, "solo", "classname=\"crate\" name=\"solo\""},
      {TestKind::Unit, "a::b", "classname=\"a\" name=\"b\""},
      {TestKind::Unit, "outer::inner::leaf", "classname=\"outer::inner\" name=\"leaf\""},
      {TestKind::Doc, " src/lib.rs - Profile::read (line 12) ",
       "classname=\"src/lib.rs\" name=\"Profile::read (line 12)\""},
      {TestKind::Doc, "a - b - c", "classname=\"a\" name=\"b - c\""},
      {TestKind::Doc, " no_separator ", "classname=\"doc\" name=\"no_separator\""},
  };
  for (const Case& c : cases) {
    StringSink sink;
    auto fmt = make_junit_formatter(sink);
    ConsoleTestState state;
    ASSERT_TRUE(fmt->write_result(make_desc(c.name, c.kind), TestResult::ok(), {}, {}, state));
    ASSERT_TRUE(fmt->write_run_finish(state));
    EXPECT_NE(sink.text().find("<testcase " + c.expected + " time=\"0\"/>"), std::string::npos)
        << sink.text();
  }
}

TEST(JunitFormatter, EmptyRunIsAWholeDocument) {
  StringSink sink;
  auto fmt = make_junit_formatter(sink);
  ASSERT_TRUE(fmt->write_run_start(0, 42));
  EXPECT_EQ(sink.text(), kDeclaration);
  auto outcome = fmt->write_run_finish(ConsoleTestState{});
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(*outcome);
  EXPECT_EQ(sink.text(), std::string(kDeclaration) + suite_start(0, 0, 0) + std::string(kSuiteEnd));
}

TEST(JunitFormatter, ContextGoesIntoTheTestsuiteElementFirst) {
  StringSink sink;
  auto fmt = make_junit_formatter(
      sink, JunitContext{"lab<1>", "2026-12-09T14:03:07", {{"card", "1"}, {"shard", "2/3"}}});
  ConsoleTestState state;
  state.total = 1;
  ASSERT_TRUE(fmt->write_result(make_desc("t"), TestResult::ok(), TestExecTime{1500ms}, {}, state));
  ASSERT_TRUE(fmt->write_run_finish(state));
  EXPECT_EQ(sink.text(),
            "<testsuites><testsuite name=\"test\" package=\"test\" id=\"0\" errors=\"0\" "
            "failures=\"0\" tests=\"1\" skipped=\"0\" hostname=\"lab&lt;1&gt;\" "
            "timestamp=\"2026-12-09T14:03:07\" ><properties><property name=\"card\" value=\"1\"/>"
            "<property name=\"shard\" value=\"2/3\"/></properties><testcase "
            "classname=\"integration\" name=\"t\" time=\"1.5\"/>" +
                std::string(kSuiteEnd));
}

TEST(JunitFormatter, OnlyRunStartAndFinishWrite) {
  StringSink sink;
  auto fmt = make_junit_formatter(sink);
  ConsoleTestState state;
  ASSERT_TRUE(fmt->write_discovery_start());
  ASSERT_TRUE(fmt->write_test_discovered(make_desc("a"), "test"));
  ASSERT_TRUE(fmt->write_discovery_finish({}));
  ASSERT_TRUE(fmt->write_test_start(make_desc("a")));
  ASSERT_TRUE(fmt->write_timeout(make_desc("a")));
  ASSERT_TRUE(fmt->write_result(make_desc("a"), TestResult::failed(), {}, bytes("x"), state));
  EXPECT_EQ(sink.text(), "");
}

// One testcase element per result kind, in completion order, with the
// counters taken from the run state.
TEST(JunitFormatter, TestcasePerResultKind) {
  struct Entry {
    std::string name;
    TestResult result;
    std::optional<TestExecTime> time;
    std::string output;
  };
  TestResult bench{Kind::Bench, {}, BenchSamples{.sum_ns = 4500}};
  const std::vector<Entry> entries = {
      {"ok_silent", TestResult::ok(), TestExecTime{1'500'000'000ns}, ""},
      {"ok_chatty", TestResult::ok(), {}, "hello\n"},
      {"failed", TestResult::failed(), {}, "thread 'failed' panicked\nboom\n"},
      {"failed_silent", TestResult::failed(), TestExecTime{250'000'000ns}, ""},
      {"failed_msg",
       TestResult::failed_msg("test did not panic as expected at a.cpp:1:2"),
       {},
       "o"},
      {"failed_msg_lines",
       TestResult::failed_msg("panic did not contain expected string\n"
                              "      panic message: \"x\""),
       {},
       ""},
      {"timed_fail", TestResult::timed_fail(), TestExecTime{2'000'000'000ns}, "never shown"},
      {"ignored", TestResult::ignored(), {}, ""},
      {"bench", bench, {}, ""},
  };
  const std::string cases =
      "<testcase classname=\"integration\" name=\"ok_silent\" time=\"1.5\"/>"
      "<testcase classname=\"integration\" name=\"ok_chatty\" time=\"0\">"
      "<system-out><![CDATA[hello]]>&#xA;<![CDATA[]]></system-out></testcase>"
      "<testcase classname=\"integration\" name=\"failed\" time=\"0\"><failure type=\"assert\"/>"
      "<system-out><![CDATA[thread 'failed' panicked]]>&#xA;<![CDATA[boom]]>&#xA;<![CDATA[]]>"
      "</system-out></testcase>"
      "<testcase classname=\"integration\" name=\"failed_silent\" time=\"0.25\">"
      "<failure type=\"assert\"/></testcase>"
      "<testcase classname=\"integration\" name=\"failed_msg\" time=\"0\">"
      "<failure message=\"test did not panic as expected at a.cpp:1:2\" type=\"assert\"/>"
      "<system-out><![CDATA[o]]></system-out></testcase>"
      "<testcase classname=\"integration\" name=\"failed_msg_lines\" time=\"0\">"
      "<failure message=\"panic did not contain expected string&#xA;      panic message: "
      "&quot;x&quot;\" type=\"assert\"/></testcase>"
      "<testcase classname=\"integration\" name=\"timed_fail\" time=\"2\">"
      "<failure type=\"timeout\"/></testcase>"
      "<testcase classname=\"benchmark::integration\" name=\"bench\" time=\"4500\" />";

  for (const bool show_output : {false, true}) {
    StringSink sink;
    auto fmt = make_junit_formatter(sink);
    ConsoleTestState state;
    state.total = 10;
    state.show_output = show_output;
    ASSERT_TRUE(fmt->write_run_start(10, std::nullopt));
    for (const Entry& e : entries) {
      const auto output = bytes(e.output);
      ASSERT_TRUE(fmt->write_result(make_desc(e.name), e.result, e.time, output, state));
    }
    state.passed = 2;
    state.failed = 5;
    state.ignored = 1;
    state.measured = 1;
    auto outcome = fmt->write_run_finish(state);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(*outcome);
    std::string expected = cases;
    if (!show_output) {
      expected.replace(expected.find("time=\"0\"><system-out>"),
                       std::string_view("time=\"0\"><system-out><![CDATA[hello]]>&#xA;<![CDATA[]]>"
                                        "</system-out></testcase>")
                           .size(),
                       "time=\"0\"/>");
    }
    EXPECT_EQ(sink.text(),
              std::string(kDeclaration) + suite_start(5, 10, 1) + expected + std::string(kSuiteEnd))
        << "show_output " << show_output;
  }
}

TEST(JunitFormatter, FinishEmptiesTheCollectedResults) {
  StringSink sink;
  auto fmt = make_junit_formatter(sink);
  ConsoleTestState state;
  ASSERT_TRUE(fmt->write_result(make_desc("a"), TestResult::ok(), {}, {}, state));
  ASSERT_TRUE(fmt->write_run_finish(state));
  sink.clear();
  ASSERT_TRUE(fmt->write_run_finish(state));
  EXPECT_EQ(sink.text(), suite_start(0, 0, 0) + std::string(kSuiteEnd));
}

TEST(JunitFormatter, DoctestTimesReport) {
  StringSink sink;
  auto fmt = make_junit_formatter(sink);
  ASSERT_TRUE(fmt->write_merged_doctests_times(1.5, 0.25));
  EXPECT_EQ(sink.text(), "<report total_time=\"1.5\" compilation_time=\"0.25\"></report>\n");
}

TEST(JunitFormatter, WriteErrorsReachTheCaller) {
  machine_testing::FullSink sink;
  auto fmt = make_junit_formatter(sink);
  EXPECT_EQ(fmt->write_run_start(1, std::nullopt).error(), IoError{ENOSPC});
  EXPECT_EQ(fmt->write_run_finish(ConsoleTestState{}).error(), IoError{ENOSPC});
}

// --- Read back by an XML reader ------------------------------------------

struct CommandOutput {
  int status;
  std::string out;
};

CommandOutput run_xmllint(const std::string& args, const std::string& document) {
  char path[] = "/tmp/junit_formatter_test_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary) << document;
  const std::string command = "xmllint " + args + " " + path + " 2>&1";
  CommandOutput result{-1, {}};
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  unlink(path);
  return result;
}

// xmllint's string() answer, without the line break it adds.
std::string xpath_string(const std::string& document, const std::string& expression) {
  CommandOutput r = run_xmllint("--xpath '" + expression + "'", document);
  EXPECT_EQ(r.status, 0) << r.out;
  if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

TEST(JunitFormatter, HostileTextStaysWellFormedAndReadsBack) {
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint missing";
  // Text made only of characters XML can carry must read back exactly; the
  // rest must at least not break the document.
  const std::string name = "say \"hi\" & <bye> 'now'\tthen\r\nend ]]> <?pi?>";
  const std::string message = "panic did not contain expected string\n      panic message: \"<&>\"";
  const std::string output = "a\r\nb]]>c<?xml?>\n\nd\n<![CDATA[\n\t";
  const std::string garbage = std::string("\x01\x1b\0\x7f\xff\xc3(", 7) + "\xef\xbf\xbe]]>\n";

  StringSink sink;
  auto fmt = make_junit_formatter(sink);
  ConsoleTestState state;
  ASSERT_TRUE(fmt->write_run_start(3, std::nullopt));
  ASSERT_TRUE(fmt->write_result(make_desc(name, TestKind::Unit), TestResult::failed_msg(message),
                                {}, bytes(output), state));
  ASSERT_TRUE(fmt->write_result(make_desc(garbage), TestResult::failed_msg(garbage), {},
                                bytes(garbage), state));
  ASSERT_TRUE(fmt->write_run_finish(state));
  const std::string& doc = sink.text();

  EXPECT_EQ(doc.find('\n'), doc.size() - 1);
  const CommandOutput lint = run_xmllint("--noout", doc);
  EXPECT_EQ(lint.status, 0) << lint.out;
  EXPECT_EQ(lint.out, "");
  EXPECT_EQ(xpath_string(doc, "string(//testcase[1]/@name)"), name);
  EXPECT_EQ(xpath_string(doc, "string(//testcase[1]/failure/@message)"), message);
  EXPECT_EQ(xpath_string(doc, "string(//testcase[1]/system-out)"), output);
  EXPECT_EQ(xpath_string(doc, "string(//testcase[2]/system-out)"),
            "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\x7f\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd]]>\n");
}

}  // namespace
}  // namespace harness
