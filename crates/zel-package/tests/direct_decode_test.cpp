// The reader's fast path against the library's accessors: every message the
// fast path takes, the library reads to the same records; what it leaves, the
// library reads (or refuses) as before.
#include <gtest/gtest.h>

#include "direct_decode.h"
#include "profile_support.h"

namespace {

using namespace profile_test;
using zel_package::decode_directly;
using zel_package::read_through_library;

// Two tiles of three samples, one text not ASCII, built into `message`.
std::string built_profile(capnp::MessageBuilder&& message) {
  auto profile = message.initRoot<profile_capnp::Profile>();
  profile.setSchemaVersion(3);
  profile.setClockHz(1'850'000'000);
  auto tiles = profile.initTiles(2);
  for (unsigned t = 0; t < 2; ++t) {
    tiles[t].setPhysicalTile(100 + t);
    auto samples = tiles[t].initSamples(3);
    for (unsigned s = 0; s < 3; ++s) {
      auto step = samples[s].initStep();
      step.setLocalIndex(s);
      step.setPhase(7);
      step.setEpoch(t);
      step.setOperation(s == 1 ? "gemm.block(1,2).accumulate" : "sync");
      step.setKind(static_cast<profile_capnp::StepKind>(s));
      step.setKernel(s == 2 ? "" : "k\xc2\xb5s");
      auto metadata = step.initMetadata(s);
      for (unsigned m = 0; m < s; ++m) {
        metadata[m].setName("rows");
        metadata[m].setValue(std::to_string(m));
      }
      samples[s].setStartCycle(1000 * s);
      samples[s].setEndCycle(1000 * s + 900);
    }
  }
  return serialize(message);
}

// Many small segments, so that most pointers cross segments through landing pads.
std::string scattered_profile() {
  return built_profile(capnp::MallocMessageBuilder(4, capnp::AllocationStrategy::FIXED_SIZE));
}

TEST(DirectDecode, TakesWhatWritersWriteAndAgreesWithTheLibrary) {
  // The root behind a double-far pointer: a pad in segment 1 says where the
  // struct starts in segment 2, and a tag gives its size.
  const Words plain = {struct_ptr(0, 2, 0), 2, 42};
  const std::string double_far =
      frame({{far_ptr(1, 0, true)}, {far_ptr(2, 0), struct_ptr(0, 2, 0)}, {2, 42}});
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"one segment", built_profile(capnp::MallocMessageBuilder())},
      {"landing pads", scattered_profile()},
      {"no tiles", frame({plain})},
      {"double-far root", double_far},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Segments segments(c.bytes);
    ASSERT_FALSE(segments.empty());
    const auto direct = decode_directly(segments.get());
    const auto library = read_through_library(segments.get());
    ASSERT_TRUE(library.has_value()) << debug_text(library.error());
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(*direct, *library);
  }
  EXPECT_GT(decode_directly(Segments(scattered_profile()).get())->tiles.size(), 0u);
}

TEST(DirectDecode, WhateverItTakesFromDamagedMessagesTheLibraryAndTheStreamReadTheSame) {
  // Every byte of a scattered profile, damaged four ways, one at a time.
  const std::string intact = scattered_profile();
  int taken = 0, left = 0;
  for (std::size_t i = 0; i < intact.size(); ++i) {
    for (const unsigned char mask : {0x01, 0x04, 0x80, 0xFF}) {
      std::string bytes = intact;
      bytes[i] = static_cast<char>(bytes[i] ^ mask);
      // Streamed a tile at a time, it reads the same, or fails the same.
      ASSERT_TRUE(same_outcome(visit_bytes(bytes), read_bytes(bytes)))
          << "byte " << i << " ^ " << int{mask};
      const Segments segments(bytes);
      if (segments.empty()) continue;
      const auto direct = decode_directly(segments.get());
      if (!direct) {
        ++left;
        continue;
      }
      ++taken;
      const auto library = read_through_library(segments.get());
      ASSERT_TRUE(library.has_value())
          << "byte " << i << " ^ " << int{mask} << ": " << debug_text(library.error());
      ASSERT_EQ(*direct, *library) << "byte " << i << " ^ " << int{mask};
    }
  }
  // Damaged data fields are taken; damaged pointers, texts and kinds are left.
  EXPECT_GT(taken, 100);
  EXPECT_GT(left, 100);
}

}  // namespace
