// The cycle-profile encoder, read back with the schema's own readers.
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "card.h"
#include "profile.capnp.h"
#include "profile_writer.h"

namespace zel_sim {
namespace {

kj::ArrayPtr<const capnp::word> words(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const capnp::word*>(bytes.data()), bytes.size() / sizeof(capnp::word)};
}

TEST(ProfileWriter, WritesEveryPhysicalTileWithItsSamplesInOrder) {
  Card card;
  Superstep step{"gemm-block-product", {}, {{0, 0, 64, {{1, 0x100}}}}};
  step.compute.push_back(
      {5, "matmul", [](TileContext&) { return std::expected<std::uint32_t, SimError>(1000); }});
  card.set_invocation(2);
  ASSERT_TRUE(card.run(step).has_value());

  const auto bytes = encode_profile(card.cycles(), CycleCosts::kClockHz);
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size() % 8, 0u);
  capnp::FlatArrayMessageReader reader(words(*bytes), {.traversalLimitInWords = UINT64_MAX});
  const auto profile = reader.getRoot<profile_capnp::Profile>();
  EXPECT_EQ(profile.getSchemaVersion(), 3u);
  EXPECT_EQ(profile.getClockHz(), 1'850'000'000u);
  ASSERT_EQ(profile.getTiles().size(), 1472u);
  for (unsigned i = 0; i < 1472; ++i) {
    ASSERT_EQ(profile.getTiles()[i].getPhysicalTile(), i);
    ASSERT_GT(profile.getTiles()[i].getSamples().size(), 0u);
  }
  // Logical 5 is physical 130: compute, sync, then idle through the exchange.
  const auto samples = profile.getTiles()[130].getSamples();
  ASSERT_EQ(samples.size(), 3u);
  const auto compute = samples[0].getStep();
  EXPECT_EQ(compute.getKind(), profile_capnp::StepKind::COMPUTE);
  EXPECT_EQ(compute.getOperation(), "gemm-block-product");
  EXPECT_EQ(compute.getKernel(), "matmul");
  EXPECT_EQ(compute.getLocalIndex(), 0u);
  EXPECT_EQ(compute.getPhase(), 0u);
  EXPECT_EQ(compute.getEpoch(), 2u);
  EXPECT_EQ(samples[0].getStartCycle(), 0u);
  EXPECT_EQ(samples[0].getEndCycle(), 1000u);
  EXPECT_EQ(samples[1].getStep().getKind(), profile_capnp::StepKind::SYNCHRONIZATION);
  EXPECT_EQ(samples[1].getStep().getLocalIndex(), 1u);
  EXPECT_EQ(samples[2].getStep().getKind(), profile_capnp::StepKind::IDLE);
  // The sender (logical 0 = physical 0) has an exchange sample.
  EXPECT_EQ(profile.getTiles()[0].getSamples()[2].getStep().getKind(),
            profile_capnp::StepKind::EXCHANGE);
}

TEST(ProfileWriter, RefusesCyclesBeyondThirtyTwoBits) {
  CycleLog log(2);
  log.record(1, {StepKind::Compute, 10, 0x1'0000'0000ULL, 0, 0, "long", "k"});
  const auto bytes = encode_profile(log, 1);
  ASSERT_FALSE(bytes.has_value());
  EXPECT_EQ(bytes.error().message,
            "cycle 4294967296 of physical tile 1 does not fit the profile's 32-bit cycle counts");
}

TEST(WriteFile, TruncatesAnExistingFileAndReportsTheErrno) {
  char path[] = "/tmp/zel-sim-profile-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(write_file(path, std::vector<std::uint8_t>(100, 'x')).has_value());
  ASSERT_TRUE(write_file(path, {'a', 'b'}).has_value());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "ab");
  std::remove(path);

  EXPECT_EQ(write_file("/nonexistent-dir/profile", {1}).error(), ENOENT);
  EXPECT_EQ(write_file("/tmp", {1}).error(), EISDIR);
}

}  // namespace
}  // namespace zel_sim
