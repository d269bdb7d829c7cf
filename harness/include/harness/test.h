// What a test program declares and calls: the registry record
// (`TestDescAndFn`), raising a test failure (`panic`, `unwrap`, the assertion
// helpers) and the harness entry `test_main_static`.
//
//   harness::TestFailureResult my_test() { ...; return {}; }
//   static const harness::TestDescAndFn kMyTest{desc, harness::StaticTestFn{&my_test}};
//   int main() { harness::test_main_static(kRegistry); }
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace harness {

enum class NamePadding : std::uint8_t { PadNone, PadOnRight };

// A test's name: a static text, an owned text, or an owned-or-static text
// with a padding mode. Only the shuffle hash looks at the form and padding.
class TestName {
 public:
  enum class Form : std::uint8_t { Static = 0, Dyn = 1, Aligned = 2 };

  static TestName static_name(std::string_view text) { return {Form::Static, std::string(text)}; }
  static TestName dyn_name(std::string text) { return {Form::Dyn, std::move(text)}; }
  static TestName aligned(std::string text, NamePadding padding) {
    TestName name{Form::Aligned, std::move(text)};
    name.padding_ = padding;
    return name;
  }

  std::string_view as_str() const { return text_; }
  Form form() const { return form_; }
  NamePadding padding() const { return padding_; }  // PadNone unless Aligned
  // The same text in the padded form.
  TestName with_padding(NamePadding padding) const { return aligned(text_, padding); }

  bool operator==(const TestName&) const = default;

 private:
  TestName(Form form, std::string text) : form_(form), text_(std::move(text)) {}
  Form form_;
  NamePadding padding_ = NamePadding::PadNone;
  std::string text_;
};

struct ExpectFailure {
  enum class Kind : std::uint8_t { No, Yes, YesWithMessage };
  Kind kind = Kind::No;
  std::string_view message;  // YesWithMessage only
  static ExpectFailure no() { return {}; }
  static ExpectFailure yes() { return {Kind::Yes, {}}; }
  static ExpectFailure with_message(std::string_view m) { return {Kind::YesWithMessage, m}; }
  bool operator==(const ExpectFailure&) const = default;
};

enum class TestKind : std::uint8_t { Unit, Integration, Doc, Unknown };

struct TestDesc {
  TestName name;
  bool ignore = false;
  std::optional<std::string_view> ignore_message;
  std::string_view source_file;
  std::size_t start_line = 0;
  std::size_t start_col = 0;
  std::size_t end_line = 0;
  std::size_t end_col = 0;
  ExpectFailure expect_failure;
  bool compile_fail = false;
  bool no_run = false;
  TestKind kind = TestKind::Unknown;
};

// What a test function returns: success, or a failure text.
using TestFailureResult = std::expected<void, std::string>;

class Bencher;  // measuring of benchmarks; not used by this program

using TestFnPtr = TestFailureResult (*)();
using BenchFnPtr = TestFailureResult (*)(Bencher&);

struct StaticTestFn { TestFnPtr fn; };
struct StaticBenchFn { BenchFnPtr fn; };
struct StaticBenchAsTestFn { BenchFnPtr fn; };
struct DynTestFn { std::function<TestFailureResult()> fn; };
struct DynBenchFn { std::function<TestFailureResult(Bencher&)> fn; };
struct DynBenchAsTestFn { std::function<TestFailureResult(Bencher&)> fn; };

using TestFn = std::variant<StaticTestFn, StaticBenchFn, DynTestFn, DynBenchFn,
                            StaticBenchAsTestFn, DynBenchAsTestFn>;

struct TestDescAndFn {
  TestDesc desc;
  TestFn testfn;
};

struct TestOpts;

// A test program's own checks and set-up for a run: called once the options
// are parsed and tests are about to run (never for help or a listing), before
// the first test starts. A returned text is a fatal problem of the program's
// environment: the harness writes "error: " and the text as one line on
// standard error and ends the process with status 101.
using BeforeRun = std::function<std::optional<std::string>(const TestOpts&)>;

// The harness entry for a static registry: parses the process arguments and
// runs or lists the tests. Returns only when the process should end with
// status 0; otherwise it ends the process with status 101 itself.
void test_main_static(std::span<const TestDescAndFn* const> tests,
                      const BeforeRun& before_run = {});
void test_main_static(std::span<const TestDescAndFn> tests, const BeforeRun& before_run = {});

// Checks a termination value returned by a test body: 0 is success, anything
// else "the test returned a termination value with a non-zero status code (N)
// which indicates a failure".
TestFailureResult assert_test_result(int termination);

// --- Raising a test failure -------------------------------------------------

// What a failure carries: a text, or (for failures raised with a non-text
// value) only the name of the value's type.
struct PanicPayload {
  std::optional<std::string> text;
  std::string type_name;  // used when `text` is empty
};

// The exception that carries a test failure from `panic` to the harness, which
// catches it on the test's own thread. Deliberately not a std::exception.
// Any other exception escaping a test body fails the test too: a
// std::exception with its what() as the failure text, anything else as a
// failure without text; the harness writes the report for them, at the test's
// declaration. A returned failure text is reported the same way.
struct Panic {
  PanicPayload payload;
};

// Writes the failure report ("\nthread '{name}' ({id}) panicked at
// {file}:{line}:{col}:\n{message}\n") to this thread's standard error (the
// test's capture buffer while capturing), then raises the failure.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// While the object lives, a failure raised on this thread first calls `note`,
// then writes its report: a test can say what it leaves behind for a look
// ("cycle profile kept: ..."), and the lines come before the report. Called
// at most once.
class BeforeFailureReport {
 public:
  explicit BeforeFailureReport(std::function<void()> note);
  ~BeforeFailureReport();
  BeforeFailureReport(const BeforeFailureReport&) = delete;
  BeforeFailureReport& operator=(const BeforeFailureReport&) = delete;

  // For the harness, as a failure is reported: calls this thread's innermost
  // note, if any, and drops it.
  static void run_pending();

 private:
  std::function<void()> note_;
  BeforeFailureReport* previous_;
};

// The debug text of an error value, for `unwrap`. Types opt in with an ADL
// overload `std::string debug_text(const E&)`.
template <typename E>
concept HasDebugText = requires(const E& e) {
  { debug_text(e) } -> std::convertible_to<std::string>;
};

// Returns the value, or fails the test with "called `Result::unwrap()` on an
// `Err` value: " and the error's debug text.
template <typename T, HasDebugText E>
T unwrap(std::expected<T, E> result,
         std::source_location where = std::source_location::current()) {
  if (!result) {
    panic("called `Result::unwrap()` on an `Err` value: " + std::string(debug_text(result.error())),
          where);
  }
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace harness
