// ProfileReport::read on messages written by the generated builders: what is
// copied, what is rejected, and which of several faults is reported first.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <functional>
#include <limits>
#include <thread>

#include "profile_support.h"

namespace {

using namespace profile_test;
using zel_package::CycleSample;
using zel_package::PackageError;
using zel_package::ProfileMetadata;
using zel_package::ProfileReport;
using zel_package::ProfileStep;
using zel_package::ProfileStepKind;
using zel_package::TileProfile;

// Builds a profile one field at a time; tests then damage what they need.
class ProfileWriter {
 public:
  explicit ProfileWriter(std::uint32_t version = 1, std::uint64_t clock_hz = 1'850'000'000)
      : root_(message_.initRoot<profile_capnp::Profile>()) {
    root_.setSchemaVersion(version);
    root_.setClockHz(clock_hz);
  }

  profile_capnp::Profile::Builder root() { return root_; }

  // `samples_per_tile` samples on each of `tiles` tiles, every field distinct.
  ProfileWriter& fill(unsigned tiles, unsigned samples_per_tile) {
    auto list = root_.initTiles(tiles);
    for (unsigned t = 0; t < tiles; ++t) {
      list[t].setPhysicalTile(1000 + t);
      auto samples = list[t].initSamples(samples_per_tile);
      for (unsigned s = 0; s < samples_per_tile; ++s) {
        auto step = samples[s].initStep();
        step.setLocalIndex(s);
        step.setPhase(t);
        step.setEpoch(7);
        step.setOperation("op-" + std::to_string(t) + "-" + std::to_string(s));
        step.setKind(static_cast<profile_capnp::StepKind>(s % 4));
        step.setKernel("kernel é " + std::to_string(s));
        auto metadata = step.initMetadata(2);
        metadata[0].setName("rows");
        metadata[0].setValue(std::to_string(s * 64));
        metadata[1].setName("note");
        metadata[1].setValue("\xF0\x9F\x98\x80 \"quoted\"\n");
        samples[s].setStartCycle(s * 100);
        samples[s].setEndCycle(s * 100 + 99);
      }
    }
    return *this;
  }

  profile_capnp::ProfileStep::Builder step(unsigned tile, unsigned sample) {
    return root_.getTiles()[tile].getSamples()[sample].getStep();
  }

  std::string bytes() { return serialize(message_); }

 private:
  capnp::MallocMessageBuilder message_;
  profile_capnp::Profile::Builder root_;
};

// What `fill` writes, as the reader should copy it.
ProfileReport expected_report(unsigned tiles, unsigned samples_per_tile) {
  ProfileReport report{1'850'000'000, {}};
  for (unsigned t = 0; t < tiles; ++t) {
    TileProfile tile{1000 + t, {}};
    for (unsigned s = 0; s < samples_per_tile; ++s) {
      ProfileStep step{
          s,
          t,
          7,
          "op-" + std::to_string(t) + "-" + std::to_string(s),
          static_cast<ProfileStepKind>(s % 4),
          "kernel é " + std::to_string(s),
          {{"rows", std::to_string(s * 64)}, {"note", "\xF0\x9F\x98\x80 \"quoted\"\n"}}};
      tile.samples.push_back(CycleSample{step, s * 100, s * 100 + 99});
    }
    report.tiles.push_back(tile);
  }
  return report;
}

TEST(ProfileRead, CopiesEveryFieldOfEverySupportedVersion) {
  for (const std::uint32_t version : {1u, 2u, 3u}) {
    SCOPED_TRACE(version);
    const auto report = read_bytes(ProfileWriter(version).fill(3, 5).bytes());
    ASSERT_TRUE(report.has_value()) << debug_text(report.error());
    EXPECT_EQ(*report, expected_report(3, 5));
  }
}

TEST(ProfileRead, RejectsUnsupportedVersionsBeforeReadingAnythingElse) {
  struct Case {
    std::uint32_t version;
    const char* expected;
  };
  for (const auto& [version, expected] : std::initializer_list<Case>{
           {0, "Invalid(\"unsupported profile schema version 0\")"},
           {4, "Invalid(\"unsupported profile schema version 4\")"},
           {4294967295u, "Invalid(\"unsupported profile schema version 4294967295\")"},
       }) {
    ProfileWriter writer(version);
    writer.fill(1, 1);
    writer.step(0, 0).setKind(static_cast<profile_capnp::StepKind>(9));
    EXPECT_EQ(read_error(writer.bytes()), expected);
  }
}

TEST(ProfileRead, MissingPointersReadAsDefaults) {
  // Nothing but the version is set: no tiles list at all.
  EXPECT_EQ(read_bytes(ProfileWriter(2, 0).bytes()).value(), (ProfileReport{0, {}}));

  // A tile without samples, and a sample whose step, texts and lists are all null.
  ProfileWriter writer;
  auto tiles = writer.root().initTiles(2);
  tiles[0].setPhysicalTile(5);
  tiles[1].setPhysicalTile(6);
  auto samples = tiles[1].initSamples(2);
  samples[0].setStartCycle(10);
  samples[0].setEndCycle(4);  // a start after the end is the caller's business
  samples[1].initStep().setKind(profile_capnp::StepKind::IDLE);
  const auto report = read_bytes(writer.bytes());
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  const ProfileStep idle{0, 0, 0, "", ProfileStepKind::Idle, "", {}};
  EXPECT_EQ(*report,
            (ProfileReport{
                1'850'000'000,
                {TileProfile{5, {}},
                 TileProfile{6, {CycleSample{ProfileStep{}, 10, 4}, CycleSample{idle, 0, 0}}}}}));
}

TEST(ProfileRead, KindsOutsideTheSchemaAreRejectedWithTheirValue) {
  for (const std::uint16_t kind : {4, 255, 65535}) {
    ProfileWriter writer;
    writer.fill(1, 2);
    writer.step(0, 1).setKind(static_cast<profile_capnp::StepKind>(kind));
    EXPECT_EQ(read_error(writer.bytes()), "SchemaEnum(NotInSchema(" + std::to_string(kind) + "))");
  }
}

// Which text of the step is damaged.
enum class Field { Operation, Kernel, Name, Value };

void set_text(profile_capnp::ProfileStep::Builder step, Field field, std::string_view bytes) {
  const capnp::Text::Reader text(bytes.data(), bytes.size());
  switch (field) {
    case Field::Operation:
      step.setOperation(text);
      break;
    case Field::Kernel:
      step.setKernel(text);
      break;
    case Field::Name:
      step.getMetadata()[1].setName(text);
      break;
    case Field::Value:
      step.getMetadata()[1].setValue(text);
      break;
  }
}

TEST(ProfileRead, EveryTextMustBeWellFormedUtf8) {
  struct Case {
    std::string_view bytes;
    const char* expected;
  };
  const Case cases[] = {
      {"ab\xFF", "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"a\xE2\x82", "Utf8(Utf8Error { valid_up_to: 1, error_len: None })"},
      {"\xC0\xAF", "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
      {"xy\xED\xA0\x80", "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"\xE2\x82\xAC\xF4\x8F\xBF", "Utf8(Utf8Error { valid_up_to: 3, error_len: None })"},
      {"\xF0\x9F\x98z", "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(3) })"},
  };
  for (const Field field : {Field::Operation, Field::Kernel, Field::Name, Field::Value}) {
    for (const auto& [bytes, expected] : cases) {
      SCOPED_TRACE(static_cast<int>(field));
      ProfileWriter writer;
      writer.fill(2, 3);
      set_text(writer.step(1, 2), field, bytes);
      EXPECT_EQ(read_error(writer.bytes()), expected);
    }
  }
}

TEST(ProfileRead, ReportsTheFirstFaultInFieldOrder) {
  const std::string bad_early = "\xFF";    // valid_up_to 0
  const std::string bad_late = "abc\xFF";  // valid_up_to 3
  const auto utf8_at = [](int n) {
    return "Utf8(Utf8Error { valid_up_to: " + std::to_string(n) + ", error_len: Some(1) })";
  };
  struct Case {
    const char* what;
    std::function<void(profile_capnp::ProfileStep::Builder)> damage;
    std::string expected;
  };
  const auto bad_kind = [](profile_capnp::ProfileStep::Builder step) {
    step.setKind(static_cast<profile_capnp::StepKind>(4));
  };
  const std::vector<Case> cases = {
      {"kind before kernel",
       [&](auto step) { bad_kind(step), set_text(step, Field::Kernel, bad_early); },
       "SchemaEnum(NotInSchema(4))"},
      {"operation before kind",
       [&](auto step) { bad_kind(step), set_text(step, Field::Operation, bad_late); }, utf8_at(3)},
      {"kernel before metadata",
       [&](auto step) {
         set_text(step, Field::Kernel, bad_late), set_text(step, Field::Name, bad_early);
       },
       utf8_at(3)},
      {"name before value",
       [&](auto step) {
         set_text(step, Field::Name, bad_late), set_text(step, Field::Value, bad_early);
       },
       utf8_at(3)},
      {"earlier entry before later entry",
       [&](auto step) {
         step.getMetadata()[0].setValue(capnp::Text::Reader(bad_late.data(), bad_late.size()));
         set_text(step, Field::Name, bad_early);
       },
       utf8_at(3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProfileWriter writer;
    writer.fill(1, 1);
    c.damage(writer.step(0, 0));
    EXPECT_EQ(read_error(writer.bytes()), c.expected);
  }
}

TEST(ProfileRead, ReportsTheFaultOfTheEarliestTileAndSample) {
  const std::string bad = "a\xFF";
  ProfileWriter writer;
  writer.fill(3, 3);
  // Later in the file first: tile 2, then a later sample of tile 1, then the earliest.
  writer.step(2, 0).setKind(static_cast<profile_capnp::StepKind>(7));
  writer.step(1, 2).setKind(static_cast<profile_capnp::StepKind>(6));
  set_text(writer.step(1, 1), Field::Value, bad);
  EXPECT_EQ(read_error(writer.bytes()), "Utf8(Utf8Error { valid_up_to: 1, error_len: Some(1) })");

  writer.step(1, 1).getMetadata()[1].setValue("fine");
  EXPECT_EQ(read_error(writer.bytes()), "SchemaEnum(NotInSchema(6))");
}

TEST(ProfileRead, MessagesSpreadOverManySegmentsReadTheSame) {
  // Tiny fixed-size segments put nearly every pointer behind a far pointer.
  capnp::MallocMessageBuilder message(1, capnp::AllocationStrategy::FIXED_SIZE);
  ProfileWriter writer;
  writer.fill(4, 6);
  message.setRoot(writer.root().asReader());
  ASSERT_GT(message.getSegmentsForOutput().size(), 50u);
  const auto report = read_bytes(serialize(message));
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  EXPECT_EQ(*report, expected_report(4, 6));
}

TEST(ProfileRead, ClosesTheInputOnEveryPath) {
  ProfileWriter good;
  good.fill(1, 1);
  ProfileWriter bad(0);
  for (const std::string& bytes : {good.bytes(), bad.bytes(), std::string("\x01\x02")}) {
    const int fd = memfd_create("profile", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    (void)ProfileReport::read(kj::AutoCloseFd(fd));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
  }
}

// Records how far the reader got into the stream.
class CountingStream : public kj::InputStream {
 public:
  CountingStream(std::string bytes, std::size_t* consumed, bool* destroyed)
      : bytes_(std::move(bytes)), consumed_(consumed), destroyed_(destroyed) {}
  ~CountingStream() noexcept(false) override { *destroyed_ = true; }
  std::size_t tryRead(void* buffer, std::size_t min_bytes, std::size_t max_bytes) override {
    (void)min_bytes;
    const std::size_t n = std::min(max_bytes, bytes_.size() - *consumed_);
    std::memcpy(buffer, bytes_.data() + *consumed_, n);
    *consumed_ += n;
    return n;
  }

 private:
  std::string bytes_;
  std::size_t* consumed_;
  bool* destroyed_;
};

TEST(ProfileRead, ReadsOneMessageAndNothingAfterIt) {
  ProfileWriter writer;
  writer.fill(2, 2);
  const std::string message = writer.bytes();
  std::size_t consumed = 0;
  bool destroyed = false;
  const auto report = ProfileReport::read(
      kj::heap<CountingStream>(message + writer.bytes() + "trailing", &consumed, &destroyed));
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  EXPECT_EQ(*report, expected_report(2, 2));
  EXPECT_EQ(consumed, message.size());
  EXPECT_TRUE(destroyed);
}

// A file holding `bytes`, opened for reading at its start.
int file_with(const std::string& bytes) {
  const int fd = memfd_create("profile", MFD_CLOEXEC);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  return fd;
}

TEST(ProfileRead, ReadsFromTheFilesPositionAndLeavesItAfterTheMessage) {
  ProfileWriter first_writer;
  first_writer.fill(2, 3);
  ProfileWriter second_writer(2, 5);
  const std::string first = first_writer.bytes(), second = second_writer.bytes();
  // The same two messages at a word boundary and (after a 4-byte prefix) off one.
  for (const std::string& prefix : {std::string(), std::string("abcd")}) {
    SCOPED_TRACE(prefix.size());
    const int fd = file_with(prefix + first + second + "tail");
    ASSERT_EQ(lseek(fd, static_cast<off_t>(prefix.size()), SEEK_SET),
              static_cast<off_t>(prefix.size()));
    // A duplicate shares the file position, so it shows where each read stopped.
    auto report = ProfileReport::read(kj::AutoCloseFd(dup(fd)));
    ASSERT_TRUE(report.has_value()) << debug_text(report.error());
    EXPECT_EQ(*report, expected_report(2, 3));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(prefix.size() + first.size()));
    report = ProfileReport::read(kj::AutoCloseFd(dup(fd)));
    ASSERT_TRUE(report.has_value()) << debug_text(report.error());
    EXPECT_EQ(*report, (ProfileReport{5, {}}));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR),
              static_cast<off_t>(prefix.size() + first.size() + second.size()));
    close(fd);
  }
}

TEST(ProfileRead, ReadsPipesAsWellAsFiles) {
  ProfileWriter writer;
  writer.fill(3, 150);
  const std::string bytes = writer.bytes();
  ASSERT_GT(bytes.size(), 65536u);  // more than a pipe holds at once
  for (const bool truncated : {false, true}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread feeder([&] {
      const std::size_t n = truncated ? bytes.size() / 2 : bytes.size();
      EXPECT_EQ(write(fds[1], bytes.data(), n), static_cast<ssize_t>(n));
      close(fds[1]);
    });
    const auto report = ProfileReport::read(kj::AutoCloseFd(fds[0]));
    feeder.join();
    if (truncated) {
      ASSERT_FALSE(report.has_value());
      EXPECT_THAT(debug_text(report.error()), ::testing::HasSubstr("Premature EOF"));
    } else {
      ASSERT_TRUE(report.has_value()) << debug_text(report.error());
      EXPECT_EQ(*report, expected_report(3, 150));
    }
  }
}

TEST(ProfileRead, HasNoTraversalLimitAndTheDefaultNestingLimit) {
  const auto options = zel_package::capnp_reader_options();
  EXPECT_EQ(options.traversalLimitInWords, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(options.nestingLimit, 64);

  // Over the library's default limit of 8 Mi words: 64 MiB of text in one profile.
  ProfileWriter writer;
  writer.fill(1, 1);
  const std::string big(64u << 20, 'x');
  writer.step(0, 0).setKernel(big);
  const auto report = read_bytes(writer.bytes());
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  EXPECT_EQ(report->tiles[0].samples[0].step.kernel, big);
}

}  // namespace

namespace {

using zel_package::NotInSchema;
using zel_package::OsError;
using zel_package::PackageError;

TEST(PackageErrorText, NamesTheVariantAndItsPayload) {
  using Type = kj::Exception::Type;
  struct Case {
    PackageError error;
    const char* text;
  };
  const Case cases[] = {
      {kj::Exception(Type::FAILED, "io.c++", 53, kj::str("Premature EOF")),
       "Capnp(Error { kind: Failed, extra: \"Premature EOF\" })"},
      {kj::Exception(Type::DISCONNECTED, "f", 1, kj::str("peer \"gone\"\n\ttab\\")),
       "Capnp(Error { kind: Disconnected, extra: \"peer \\\"gone\\\"\\n\\ttab\\\\\" })"},
      {kj::Exception(Type::OVERLOADED, "f", 1, kj::str("")),
       "Capnp(Error { kind: Overloaded, extra: \"\" })"},
      {kj::Exception(Type::UNIMPLEMENTED, "f", 1, kj::str("x")),
       "Capnp(Error { kind: Unimplemented, extra: \"x\" })"},
      {OsError{2}, "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })"},
      {OsError{13}, "Io(Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" })"},
      {OsError{21}, "Io(Os { code: 21, kind: IsADirectory, message: \"Is a directory\" })"},
      {OsError{5}, "Io(Os { code: 5, kind: Uncategorized, message: \"Input/output error\" })"},
      {zel_utf8::Utf8Error{2, 1}, "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {zel_utf8::Utf8Error{1, std::nullopt}, "Utf8(Utf8Error { valid_up_to: 1, error_len: None })"},
      {NotInSchema{4}, "SchemaEnum(NotInSchema(4))"},
      {PackageError::Invalid{"unsupported profile schema version 0"},
       "Invalid(\"unsupported profile schema version 0\")"},
      {PackageError::Invalid{"a \"b\" \\ \x01\x7f\r\0"},
       "Invalid(\"a \\\"b\\\" \\\\ \\u{1}\\u{7f}\\r\")"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(debug_text(error), text);
}

TEST(PackageErrorText, ErrorsCopyAndAssignWhole) {
  PackageError error = NotInSchema{9};
  const PackageError capnp = kj::Exception(kj::Exception::Type::FAILED, "f", 1, kj::str("bad"));
  error = capnp;
  EXPECT_EQ(debug_text(error), "Capnp(Error { kind: Failed, extra: \"bad\" })");
  PackageError other = error;
  error = PackageError::Invalid{"x"};
  EXPECT_EQ(debug_text(other), debug_text(capnp));
  other = std::move(error);
  EXPECT_EQ(debug_text(other), "Invalid(\"x\")");
}

}  // namespace
