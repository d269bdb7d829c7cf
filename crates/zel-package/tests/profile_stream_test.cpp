// ProfileStream against the whole read: the same records or the same error,
// also where the fast path leaves a message part-way, from a pipe, on a
// second visit, and when the file changes between visits.
#include <gtest/gtest.h>

#include <thread>

#include "profile_support.h"

namespace {

using namespace profile_test;

// Two tiles; the second's samples are stored as a list of plain words, a
// form the library reads as structs of one data word but the fast path
// leaves, so the visit changes paths after the first tile.
std::string samples_as_words() {
  const std::uint64_t sample_list = 1 | (5ull << 32) | (2ull << 35);  // two 8-byte elements
  return frame({{struct_ptr(0, 2, 1), 3, 1000, struct_list_ptr(0, 4), list_tag(2, 1, 1), 7, 0, 8,
                 sample_list, 10 | (20ull << 32), 20 | (35ull << 32)}});
}

std::string built(unsigned version, bool bad_late_text) {
  capnp::MallocMessageBuilder message;
  auto profile = message.initRoot<profile_capnp::Profile>();
  profile.setSchemaVersion(version);
  profile.setClockHz(1'850'000'000);
  auto tiles = profile.initTiles(3);
  for (unsigned t = 0; t < 3; ++t) {
    tiles[t].setPhysicalTile(t * 10);
    auto samples = tiles[t].initSamples(4);
    for (unsigned s = 0; s < 4; ++s) {
      auto step = samples[s].initStep();
      step.setOperation(s % 2 ? "gemm" : "");  // empty after full: reused records are cleared
      step.setKind(static_cast<profile_capnp::StepKind>(s));
      auto metadata = step.initMetadata(3 - s);
      for (unsigned m = 0; m < metadata.size(); ++m) metadata[m].setName("rows");
      samples[s].setStartCycle(100 * s);
      samples[s].setEndCycle(100 * s + 90);
    }
  }
  if (bad_late_text) tiles[2].getSamples()[3].getStep().setKernel("ok\xC3(");
  return serialize(message);
}

TEST(ProfileStream, VisitsWhatTheWholeReadReadsOrFailsAlike) {
  const std::string whole = built(3, false);
  const struct {
    const char* name;
    std::string bytes;
    bool reads;
  } cases[] = {
      {"profile", whole, true},
      {"fast path leaves at the second tile", samples_as_words(), true},
      {"version 0", built(0, false), false},
      {"bad text in the last tile", built(3, true), false},
      {"cut off", whole.substr(0, whole.size() - 9), false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = read_bytes(c.bytes);
    ASSERT_EQ(read.has_value(), c.reads) << (read ? "ok" : debug_text(read.error()));
    EXPECT_TRUE(same_outcome(visit_bytes(c.bytes), read));
  }
  EXPECT_EQ(read_bytes(samples_as_words())->tiles[1].samples.size(), 2u);
}

// What a visitor of `stream` sees, gathered.
struct Gather final : zel_package::ProfileVisitor {
  zel_package::ProfileReport report;
  void start(std::uint64_t clock_hz, std::size_t) override { report = {clock_hz, {}}; }
  void tile(const zel_package::TileProfile& tile) override { report.tiles.push_back(tile); }
};

TEST(ProfileStream, VisitsAgainFromAPipeAndRefusesAFileChangedBetweenVisits) {
  const std::string bytes = built(3, false);
  const auto expected = read_bytes(bytes);
  ASSERT_TRUE(expected.has_value());

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread feed([&] {
    EXPECT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(ends[1]);
  });
  auto piped = zel_package::ProfileStream::open(kj::AutoCloseFd(ends[0]));
  feed.join();
  ASSERT_TRUE(piped.has_value());
  for (int pass = 0; pass < 2; ++pass) {
    Gather gather;
    ASSERT_TRUE(piped->visit(gather).has_value());
    EXPECT_EQ(gather.report, *expected);
  }

  const int fd = memfd_create("profile", MFD_CLOEXEC);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  auto mapped = zel_package::ProfileStream::open(kj::AutoCloseFd(::dup(fd)));
  ASSERT_TRUE(mapped.has_value());
  Gather first;
  ASSERT_TRUE(mapped->visit(first).has_value());
  EXPECT_EQ(first.report, *expected);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size() / 2)), 0);
  Gather second;
  const auto changed = mapped->visit(second);
  ASSERT_FALSE(changed.has_value());
  EXPECT_NE(debug_text(changed.error()).find("the file changed while it was read"),
            std::string::npos);
  ::close(fd);
}

}  // namespace
