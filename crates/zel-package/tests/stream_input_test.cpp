// ProfileReport::read on inputs that cannot say how much they hold (pipes and
// in-memory streams): the same reports and errors as from a file, nothing
// read past the message, and no memory set aside for data that never arrives.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "profile_support.h"

namespace {

using namespace profile_test;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using zel_package::PackageError;
using zel_package::ProfileReport;

using Result = std::expected<ProfileReport, PackageError>;

enum class Source { Pipe, Memory };

const char* name(Source source) {
  return source == Source::Pipe ? "pipe" : "memory";
}

// What a read made of its input: the result, and the bytes it left unread.
struct StreamRead {
  Result result;
  std::string unread;
};

// An in-memory stream that records how far the reader got and that it was released.
class RecordingStream final : public kj::InputStream {
 public:
  RecordingStream(std::string_view bytes, std::size_t& consumed, bool& released)
      : bytes_(bytes), consumed_(consumed), released_(released) {}
  ~RecordingStream() noexcept(false) override { released_ = true; }
  std::size_t tryRead(void* buffer, std::size_t, std::size_t max_bytes) override {
    const std::size_t n = std::min(max_bytes, bytes_.size() - consumed_);
    std::memcpy(buffer, bytes_.data() + consumed_, n);
    consumed_ += n;
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t& consumed_;
  bool& released_;
};

// Hands `bytes` to the reader through `source`; a pipe is fed by a thread of
// its own, since it holds only 64 KiB at once.
StreamRead read_through(Source source, std::string_view bytes) {
  if (source == Source::Memory) {
    std::size_t consumed = 0;
    bool released = false;
    Result result = ProfileReport::read(kj::heap<RecordingStream>(bytes, consumed, released));
    EXPECT_TRUE(released);
    return {std::move(result), std::string(bytes.substr(consumed))};
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  std::thread feeder([&] {
    for (std::size_t written = 0; written < bytes.size();) {
      const ssize_t n = write(fds[1], bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    close(fds[1]);
  });
  // The reader gets a duplicate, so what it leaves can be read back afterwards.
  const int handed = dup(fds[0]);
  Result result = ProfileReport::read(kj::AutoCloseFd(handed));
  EXPECT_EQ(fcntl(handed, F_GETFD), -1) << "the reader kept the pipe open";
  std::string unread;
  char chunk[65536];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) unread.append(chunk, n);
  feeder.join();
  close(fds[0]);
  return {std::move(result), std::move(unread)};
}

std::string outcome(const Result& result) {
  return result ? std::string("ok") : debug_text(result.error());
}

// The library's error whose description carries `sentence`.
::testing::Matcher<std::string> capnp_error(const std::string& sentence) {
  return AllOf(StartsWith("Capnp(Error { kind: Failed, extra: \""), HasSubstr(sentence),
               EndsWith("\" })"));
}

// A profile with no tiles whose segment is padded with unused words to
// `words` in all; further segments of the given sizes follow, unreferenced.
std::string padded_profile(std::size_t words, std::vector<std::size_t> more = {}) {
  Words profile = {struct_ptr(0, 2, 1), 2, 1'000'000, 0};
  profile.resize(words, 0);
  std::vector<Words> segments{profile};
  for (const auto size : more) segments.emplace_back(size, 0);
  return frame(segments);
}

// A profile with texts in every step, built by the library in segments of
// `first_segment_words` and up (fixed-size segments put nearly every pointer
// behind a far pointer).
std::string built_profile(unsigned tiles, unsigned samples, unsigned first_segment_words,
                          capnp::AllocationStrategy strategy) {
  capnp::MallocMessageBuilder message(first_segment_words, strategy);
  auto root = message.initRoot<profile_capnp::Profile>();
  root.setSchemaVersion(3);
  root.setClockHz(1'850'000'000);
  auto list = root.initTiles(tiles);
  for (unsigned t = 0; t < tiles; ++t) {
    list[t].setPhysicalTile(t * 3);
    auto entries = list[t].initSamples(samples);
    for (unsigned s = 0; s < samples; ++s) {
      auto step = entries[s].initStep();
      step.setLocalIndex(s);
      step.setOperation("gemm.block(" + std::to_string(s) + "," + std::to_string(t) + ")");
      step.setKind(static_cast<profile_capnp::StepKind>(s % 4));
      step.setKernel(s % 2 ? "gemm_f16" : "exchange \xC3\xA9");
      auto metadata = step.initMetadata(1);
      metadata[0].setName("rows");
      metadata[0].setValue(std::to_string(s * 32));
      entries[s].setStartCycle(s * 10);
      entries[s].setEndCycle(s * 10 + 7);
    }
  }
  return serialize(message);
}

// 131,072 words: the sizes around it put the end of the message just before,
// on and just after a mebibyte of segment data.
constexpr std::size_t kMebibyteWords = (1u << 20) / 8;

TEST(StreamInput, ReadsWhatAFileReadsAndNothingAfterTheMessage) {
  struct Case {
    const char* what;
    std::string message;
    bool reads;  // from a file
  };
  using enum capnp::AllocationStrategy;
  const Case cases[] = {
      {"one small segment", built_profile(2, 3, 1024, GROW_HEURISTICALLY), true},
      {"segments of one word", built_profile(4, 6, 1, FIXED_SIZE), true},
      {"four megabytes in growing segments", built_profile(20, 1500, 1024, GROW_HEURISTICALLY),
       true},
      {"just under a mebibyte", padded_profile(kMebibyteWords - 1), true},
      {"a mebibyte", padded_profile(kMebibyteWords), true},
      {"just over a mebibyte", padded_profile(kMebibyteWords + 1), true},
      {"two segments, the table padded", padded_profile(kMebibyteWords - 1, {2}), true},
      {"three segments", padded_profile(4, {kMebibyteWords, 2 * kMebibyteWords + 3}), true},
      {"511 segments", padded_profile(4, std::vector<std::size_t>(510, 1)), true},
      {"an empty segment", frame({{}}), false},
  };
  const std::string after = padded_profile(4) + "tail";
  for (const auto& c : cases) {
    const Result from_file = read_bytes(c.message);
    ASSERT_EQ(from_file.has_value(), c.reads) << c.what << ": " << outcome(from_file);
    for (const Source source : {Source::Pipe, Source::Memory}) {
      SCOPED_TRACE(std::string(c.what) + " from " + name(source));
      const auto read = read_through(source, c.message + after);
      ASSERT_EQ(outcome(read.result), outcome(from_file));
      if (from_file) {
        EXPECT_TRUE(*read.result == *from_file);
      }
      EXPECT_EQ(read.unread, after);
    }
  }
}

TEST(StreamInput, EndsPrematurelyWhereverTheInputStops) {
  // Inside the table, inside each segment, and around the mebibyte marks of a long one.
  const std::string small = frame({{far_ptr(2, 0)}, {0, 0}, {struct_ptr(0, 2, 1), 1, 5, 0}});
  std::vector<std::size_t> cuts;
  for (std::size_t size = 0; size < small.size(); ++size) cuts.push_back(size);
  const std::string large = padded_profile(4, {3 * kMebibyteWords});
  const std::size_t table = 16;
  for (const std::size_t mark : {table + (1u << 20), table + (2u << 20)}) {
    for (const std::size_t cut : {mark - 1, mark, mark + 1}) cuts.push_back(cut);
  }
  for (const Source source : {Source::Pipe, Source::Memory}) {
    for (const std::size_t cut : cuts) {
      const std::string& whole = cut < small.size() ? small : large;
      SCOPED_TRACE(std::string(name(source)) + " cut at " + std::to_string(cut));
      const auto read = read_through(source, whole.substr(0, cut));
      EXPECT_THAT(outcome(read.result), capnp_error("Premature EOF"));
      EXPECT_EQ(read.unread, "");
    }
    // The uncut messages read.
    EXPECT_EQ(outcome(read_through(source, small).result), "ok");
    EXPECT_EQ(outcome(read_through(source, large).result), "ok");
  }
}

TEST(StreamInput, SegmentCountsOutsideOneTo511AreFramingErrors) {
  // The table's first entry holds the count minus one: 0xFFFFFFFF announces no segments.
  std::vector<Words> segments(512, Words{0});
  segments[0] = {far_ptr(511, 0)};
  struct Case {
    const char* what;
    std::string message;
    const char* error;
  };
  const Case cases[] = {
      {"no segments", std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8) + std::string(64, '\0'),
       "Message did not contain a root pointer."},
      {"512 segments", frame(segments), "Message has too many segments."},
      {"4 Gi segments", std::string("\xFE\xFF\xFF\xFF\x01\0\0\0", 8) + std::string(64, '\0'),
       "Message has too many segments."},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(outcome(read_bytes(c.message)), capnp_error(c.error)) << c.what << " from a file";
    for (const Source source : {Source::Pipe, Source::Memory}) {
      SCOPED_TRACE(std::string(c.what) + " from " + name(source));
      const auto read = read_through(source, c.message + "after");
      EXPECT_THAT(outcome(read.result), capnp_error(c.error));
      // Only the table's first word was read.
      EXPECT_EQ(read.unread.size(), c.message.size() + 5 - 8);
      EXPECT_TRUE(read.unread == c.message.substr(8) + "after");
    }
  }
}

// Kibibytes of data (heap and private mappings) that the process holds.
std::size_t data_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmData:")) return std::stoul(line.substr(7));
  }
  return 0;
}

// Reads `bytes` through `source` with the process's data allowed to grow by
// 64 MiB at most, prints the outcome and the count of unread bytes, and exits.
[[noreturn]] void read_with_little_memory(Source source, const std::string& bytes) {
  const rlimit limit{static_cast<rlim_t>(data_kib() + 65536) * 1024, RLIM_INFINITY};
  setrlimit(RLIMIT_DATA, &limit);
  const auto read = read_through(source, bytes);
  std::fprintf(stderr, "%s unread %zu\n", outcome(read.result).c_str(), read.unread.size());
  std::exit(0);
}

TEST(StreamInput, LyingSegmentTablesSetAsideNoMoreThanArrives) {
  // One segment of 0x0d000000 words (1.6 GiB) in ten bytes; 511 segments of
  // 4 Gi words (16 TiB) in 4 KiB.
  const std::string one_segment("\x00\x00\x00\x00\x00\x00\x00\x0d\x00\x79", 10);
  std::string table(4 + 511 * 4, '\xFF');
  table[0] = '\xFE', table[1] = '\x01', table[2] = '\0', table[3] = '\0';
  const std::string many_segments = table + std::string(4096 - table.size(), '\0');
  for (const std::string* lie : {&one_segment, &many_segments}) {
    for (const Source source : {Source::Pipe, Source::Memory}) {
      SCOPED_TRACE(std::string(name(source)) + ", " + std::to_string(lie->size()) + " bytes");
      // In a child whose data may grow by 64 MiB at most, the read still ends
      // with the premature end of input, not with running out of memory.
      EXPECT_EXIT(
          read_with_little_memory(source, *lie), ::testing::ExitedWithCode(0),
          "Capnp\\(Error \\{ kind: Failed, extra: \"[^\"]*Premature EOF[^\"]*\" \\}\\) unread 0");
    }
  }
}

TEST(StreamInput, AMessageLargerThanMemoryAllowsIsRefused) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's own allocator needs more room than the child's limit
  // leaves, so the child dies in the sanitizer before the reader can refuse.
  GTEST_SKIP() << "needs the plain allocator under a memory limit";
#endif
  // 96 MiB that really arrive, in a child whose data may grow by 64 MiB.
  const std::string message = padded_profile(96 * kMebibyteWords);
  EXPECT_EXIT(read_with_little_memory(Source::Memory, message), ::testing::ExitedWithCode(0),
              "Capnp\\(Error \\{ kind: Failed, extra: \"out of memory: the message does not fit "
              "into this process\" \\}\\) unread");
}

}  // namespace
