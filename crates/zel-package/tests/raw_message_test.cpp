// ProfileReport::read on messages laid out word by word: short and long
// sections, null and malformed pointers, framing faults and hostile shapes
// that no writer produces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <capnp/any.h>
#include <capnp/schema.h>

#include "profile_support.h"

namespace {

using namespace profile_test;
using zel_package::CycleSample;
using zel_package::ProfileReport;
using zel_package::ProfileStep;
using zel_package::ProfileStepKind;
using zel_package::TileProfile;

// One tile, one sample, one step with one metadata entry. The word indices
// below name what tests change.
constexpr std::size_t kRoot = 0, kProfileData = 1, kClock = 2, kTilesPtr = 3, kTileTag = 4,
                      kTileData = 5, kSamplesPtr = 6, kSampleData = 8, kStepPtr = 9,
                      kStepData0 = 10, kStepData1 = 11, kOperationPtr = 12, kKernelPtr = 13,
                      kMetadataPtr = 14, kOperation = 15, kKernel = 16, kNamePtr = 18,
                      kValuePtr = 19;

Words full_profile() {
  Words w(22, 0);
  w[kRoot] = struct_ptr(0, 2, 1);
  w[kProfileData] = 1;  // schemaVersion; bytes 4-7 are no field
  w[kClock] = 1'000'000;
  w[kTilesPtr] = struct_list_ptr(0, 2);
  w[kTileTag] = list_tag(1, 1, 1);
  w[kTileData] = 81;
  w[kSamplesPtr] = struct_list_ptr(0, 2);
  w[7] = list_tag(1, 1, 1);
  w[kSampleData] = 5 | (9ull << 32);
  w[kStepPtr] = struct_ptr(0, 2, 3);
  w[kStepData0] = 1 | (2ull << 32);
  w[kStepData1] = 3 | (2ull << 32);  // epoch 3, kind synchronization
  w[kOperationPtr] = byte_list_ptr(2, 3);
  w[kKernelPtr] = byte_list_ptr(2, 2);
  w[kMetadataPtr] = struct_list_ptr(2, 2);
  w[kOperation] = text_words("mm")[0];
  w[kKernel] = text_words("k")[0];
  w[17] = list_tag(1, 0, 2);
  w[kNamePtr] = byte_list_ptr(1, 2);
  w[kValuePtr] = byte_list_ptr(1, 2);
  w[20] = text_words("n")[0];
  w[21] = text_words("v")[0];
  return w;
}

ProfileStep full_step() {
  return ProfileStep{1, 2, 3, "mm", ProfileStepKind::Synchronization, "k", {{"n", "v"}}};
}

ProfileReport full_report() {
  return ProfileReport{1'000'000, {TileProfile{81, {CycleSample{full_step(), 5, 9}}}}};
}

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The debug text of a library error whose description carries `sentence`
// (the library puts the failed condition in front of it).
::testing::Matcher<std::string> capnp_error(const std::string& sentence) {
  return AllOf(StartsWith("Capnp(Error { kind: Failed, extra: \""), HasSubstr(sentence),
               EndsWith("\" })"));
}

TEST(RawProfile, FieldsAreFoundAtTheirPositions) {
  auto report = read_bytes(frame({full_profile()}));
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  EXPECT_EQ(*report, full_report());

  // Bytes that hold no field are ignored.
  Words w = full_profile();
  w[kProfileData] |= 0xFFFF'FFFFull << 32;
  w[kStepData1] |= 0xFFFFull << 48;
  report = read_bytes(frame({w}));
  ASSERT_TRUE(report.has_value()) << debug_text(report.error());
  EXPECT_EQ(*report, full_report());
}

TEST(RawProfile, ShortSectionsReadAsDefaultsAndLongOnesAreIgnored) {
  // A profile with a one-word data section has no clock and no tiles.
  Words w = full_profile();
  w[kRoot] = struct_ptr(0, 1, 0);
  EXPECT_EQ(read_bytes(frame({w})).value(), (ProfileReport{0, {}}));

  // A step of one data word and one pointer: epoch, kind, kernel and metadata default.
  w = full_profile();
  w[kStepPtr] = struct_ptr(0, 1, 1);
  w[kStepData1] = byte_list_ptr(3, 3);  // the step's only pointer, to "mm"
  ProfileStep short_step{1, 2, 0, "mm", ProfileStepKind::Exchange, "", {}};
  EXPECT_EQ(read_bytes(frame({w})).value().tiles[0].samples[0].step, short_step);

  // An empty tile struct: physicalTile 0 and no samples.
  w = full_profile();
  w[kTilesPtr] = struct_list_ptr(0, 0);
  w[kTileTag] = list_tag(3, 0, 0);
  EXPECT_EQ(read_bytes(frame({w})).value().tiles, std::vector<TileProfile>(3));

  // Tiles of two data words and two pointers, as a later writer might emit.
  Words wide = {struct_ptr(0, 2, 1),
                3,
                77,
                struct_list_ptr(0, 8),
                list_tag(2, 2, 2),
                11,
                0xDEAD,
                0,
                0,
                12,
                0xBEEF,
                0,
                struct_list_ptr(0, 0)};
  EXPECT_EQ(read_bytes(frame({wide})).value(),
            (ProfileReport{77, {TileProfile{11, {}}, TileProfile{12, {}}}}));
}

TEST(RawProfile, NullPointersReadAsEmpty) {
  // A null root is a profile of version 0.
  EXPECT_EQ(read_error(frame({{0}})), "Invalid(\"unsupported profile schema version 0\")");

  struct Case {
    const char* what;
    std::size_t word;
    ProfileReport expected;
  };
  ProfileReport no_texts = full_report();
  no_texts.tiles[0].samples[0].step.operation.clear();
  no_texts.tiles[0].samples[0].step.kernel.clear();
  ProfileReport no_entry_texts = full_report();
  no_entry_texts.tiles[0].samples[0].step.metadata[0] = {};
  ProfileReport no_metadata = full_report();
  no_metadata.tiles[0].samples[0].step.metadata.clear();
  ProfileReport no_step = full_report();
  no_step.tiles[0].samples[0].step = {};
  ProfileReport no_samples = full_report();
  no_samples.tiles[0].samples.clear();
  const Case cases[] = {
      {"tiles", kTilesPtr, ProfileReport{1'000'000, {}}},
      {"samples", kSamplesPtr, no_samples},
      {"step", kStepPtr, no_step},
      {"metadata", kMetadataPtr, no_metadata},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Words w = full_profile();
    w[c.word] = 0;
    EXPECT_EQ(read_bytes(frame({w})).value(), c.expected);
  }
  Words w = full_profile();
  w[kOperationPtr] = w[kKernelPtr] = 0;
  EXPECT_EQ(read_bytes(frame({w})).value(), no_texts);
  w = full_profile();
  w[kNamePtr] = w[kValuePtr] = 0;
  EXPECT_EQ(read_bytes(frame({w})).value(), no_entry_texts);
}

TEST(RawProfile, KindIsTheSixteenBitsAtByteTwelve) {
  for (const std::uint64_t kind : {0, 1, 2, 3}) {
    Words w = full_profile();
    w[kStepData1] = 3 | (kind << 32);
    EXPECT_EQ(read_bytes(frame({w})).value().tiles[0].samples[0].step.kind,
              static_cast<ProfileStepKind>(kind));
  }
  Words w = full_profile();
  w[kStepData1] = 3 | (4ull << 32);
  EXPECT_EQ(read_error(frame({w})), "SchemaEnum(NotInSchema(4))");
  w[kStepData1] = 3 | (0x1'0000ull << 32);  // byte 14 is no field: kind 0
  EXPECT_EQ(read_error(frame({w})), "ok");
}

TEST(RawProfile, MalformedPointersAreLibraryErrors) {
  struct Case {
    const char* what;
    std::size_t word;
    std::uint64_t value;
    const char* extra;
  };
  const Case cases[] = {
      {"root out of bounds", kRoot, struct_ptr(40, 2, 1),
       "Message contained out-of-bounds struct pointer."},
      {"tiles is a struct", kTilesPtr, struct_ptr(0, 1, 1),
       "Message contains non-list pointer where list pointer was expected."},
      {"tiles out of bounds", kTilesPtr, struct_list_ptr(0, 200),
       "Message contains out-of-bounds list pointer."},
      {"samples are bits", kSamplesPtr, (byte_list_ptr(0, 2) & ~(7ull << 32)) | (1ull << 32),
       "bit list"},
      {"step is a list", kStepPtr, byte_list_ptr(0, 2),
       "Message contains non-struct pointer where struct pointer was expected."},
      {"operation is a struct", kOperationPtr, struct_ptr(2, 1, 0),
       "Message contains non-list pointer where text was expected."},
      {"operation misses its NUL", kOperationPtr, byte_list_ptr(2, 2),
       "Message contains text that is not NUL-terminated."},
      {"kernel runs past the end", kKernelPtr, byte_list_ptr(2, 400),
       "Message contained out-of-bounds text pointer."},
      {"far pointer to a missing segment", kMetadataPtr, far_ptr(3, 0),
       "Message contains far pointer to unknown segment."},
      {"capability pointer", kNamePtr, 3,
       "Message contains non-list pointer where text was expected."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Words w = full_profile();
    w[c.word] = c.value;
    EXPECT_THAT(read_error(frame({w})), capnp_error(c.extra));
  }
}

TEST(RawProfile, UnsupportedVersionWinsOverADamagedBody) {
  Words w = full_profile();
  w[kProfileData] = 7;
  w[kTilesPtr] = struct_list_ptr(0, 200);
  EXPECT_EQ(read_error(frame({w})), "Invalid(\"unsupported profile schema version 7\")");
}

TEST(RawProfile, TruncatedFilesEndPrematurely) {
  const std::string whole = frame({full_profile()});
  for (std::size_t size = 0; size < whole.size(); ++size) {
    SCOPED_TRACE(size);
    EXPECT_THAT(read_error(whole.substr(0, size)), capnp_error("Premature EOF"));
  }
  // The same for the second of two segments.
  const std::string two = frame({{far_ptr(1, 0)}, {full_profile()}});
  for (std::size_t size = 16; size < two.size(); size += 8) {
    SCOPED_TRACE(size);
    EXPECT_THAT(read_error(two.substr(0, size)), capnp_error("Premature EOF"));
  }
}

TEST(RawProfile, TablesAnnouncingMoreThanTheInputHoldsEndPrematurely) {
  // 511 segments of 4 Gi words each: 16 TiB announced in a file of 4 KiB.
  std::string table(4 + 511 * 4, '\xFF');
  table[0] = '\xFE', table[1] = '\x01', table[2] = '\0', table[3] = '\0';
  const std::string file = table + std::string(4096 - table.size(), '\0');
  EXPECT_EQ(read_error(file),
            "Capnp(Error { kind: Failed, extra: \"Premature EOF: the segment table announces "
            "17557826304008 bytes of message, the file holds 4096\" })");
  // A pipe cannot say how much will follow: the reader finds out by reading,
  // and the input ends long before the first segment does.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
  close(fds[1]);
  const auto report = zel_package::ProfileReport::read(kj::AutoCloseFd(fds[0]));
  ASSERT_FALSE(report.has_value());
  EXPECT_THAT(debug_text(report.error()), capnp_error("Premature EOF"));
}

TEST(RawProfile, SegmentTableAnnouncesOneTo511Segments) {
  // 0 segments: the count field holds the count minus one.
  EXPECT_THAT(read_error(std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8) + std::string(64, '\0')),
              capnp_error("Message did not contain a root pointer."));

  // The root behind a far pointer in the last of 511 segments reads; 512 segments do not.
  for (const std::size_t count : {2, 511, 512}) {
    SCOPED_TRACE(count);
    std::vector<Words> segments(count);
    segments[0] = {far_ptr(static_cast<std::uint32_t>(count - 1), 0)};
    // The landing pad points at the profile right behind it.
    Words last = full_profile();
    segments.back() = last;
    const auto error = read_error(frame(segments));
    if (count < 512) {
      EXPECT_EQ(error, "ok");
    } else {
      EXPECT_THAT(error, capnp_error("Message has too many segments."));
    }
  }
}

TEST(RawProfile, AliasedPointersCannotExpandASmallFile) {
  // 4,000 tiles whose samples pointers all point at one list of 500 samples:
  // 2 million samples from a file of 36 thousand words.
  constexpr std::uint32_t kTiles = 4000, kSamples = 500;
  Words w = {struct_ptr(0, 2, 1), 1, 0, struct_list_ptr(0, kTiles * 2), list_tag(kTiles, 1, 1)};
  const std::size_t samples_tag = w.size() + kTiles * 2;
  for (std::uint32_t t = 0; t < kTiles; ++t) {
    w.push_back(t);
    const std::size_t pointer = w.size();
    w.push_back(
        struct_list_ptr(static_cast<std::int32_t>(samples_tag - pointer - 1), kSamples * 2));
  }
  w.push_back(list_tag(kSamples, 1, 1));
  w.resize(w.size() + kSamples * 2, 0);
  EXPECT_THAT(read_error(frame({w})), capnp_error("Exceeded message traversal limit."));

  // A list that claims half a billion empty entries in one word.
  w = full_profile();
  w[kMetadataPtr] = struct_list_ptr(2, 0);
  w[17] = list_tag((1u << 29) - 1, 0, 0);
  EXPECT_THAT(read_error(frame({w})), capnp_error("Exceeded message traversal limit."));
}

TEST(RawProfile, NestingBeyondSixtyFourLevelsIsRefused) {
  // A chain of structs, each pointing at the next, read generically with the
  // package's options: 64 levels are fine, 65 are not.
  const auto chain = [](std::size_t depth) {
    Words w;
    for (std::size_t i = 0; i < depth; ++i) w.push_back(struct_ptr(0, 0, 1));
    w.push_back(0);
    return w;
  };
  for (const std::size_t depth : {64, 65}) {
    const Words w = chain(depth);
    const kj::ArrayPtr<const capnp::word> segments[] = {
        {reinterpret_cast<const capnp::word*>(w.data()), w.size()}};
    capnp::SegmentArrayMessageReader message(segments, zel_package::capnp_reader_options());
    auto total =
        kj::runCatchingExceptions([&]() { message.getRoot<capnp::AnyPointer>().targetSize(); });
    if (depth == 64) {
      EXPECT_TRUE(total == nullptr);
    } else {
      KJ_IF_MAYBE (e, total) {
        EXPECT_THAT(e->getDescription().cStr(), HasSubstr("Message is too deeply-nested."));
      } else {
        ADD_FAILURE() << "65 levels were read";
      }
    }
  }
}

// The reader finds fields by position alone, so the compiled schema must put
// every field where the format says it is.
TEST(ProfileSchema, CompilesToTheFormatsLayout) {
  struct Section {
    capnp::StructSchema schema;
    unsigned data_words, pointers;
  };
  const Section sections[] = {
      {capnp::Schema::from<profile_capnp::Profile>(), 2, 1},
      {capnp::Schema::from<profile_capnp::TileProfile>(), 1, 1},
      {capnp::Schema::from<profile_capnp::CycleSample>(), 1, 1},
      {capnp::Schema::from<profile_capnp::ProfileStep>(), 2, 3},
      {capnp::Schema::from<profile_capnp::MetadataEntry>(), 0, 2},
  };
  for (const auto& s : sections) {
    const auto node = s.schema.getProto().getStruct();
    EXPECT_EQ(node.getDataWordCount(), s.data_words) << s.schema.getShortDisplayName().cStr();
    EXPECT_EQ(node.getPointerCount(), s.pointers) << s.schema.getShortDisplayName().cStr();
  }

  // Field, ordinal, and its data byte offset or pointer index.
  struct Field {
    capnp::StructSchema schema;
    const char* name;
    unsigned ordinal;
    unsigned position;
  };
  const auto profile = capnp::Schema::from<profile_capnp::Profile>();
  const auto tile = capnp::Schema::from<profile_capnp::TileProfile>();
  const auto sample = capnp::Schema::from<profile_capnp::CycleSample>();
  const auto step = capnp::Schema::from<profile_capnp::ProfileStep>();
  const auto entry = capnp::Schema::from<profile_capnp::MetadataEntry>();
  const Field fields[] = {
      {profile, "schemaVersion", 0, 0},
      {profile, "clockHz", 1, 8},
      {profile, "tiles", 2, 0},
      {tile, "physicalTile", 0, 0},
      {tile, "samples", 1, 0},
      {sample, "step", 0, 0},
      {sample, "startCycle", 1, 0},
      {sample, "endCycle", 2, 4},
      {step, "localIndex", 0, 0},
      {step, "phase", 1, 4},
      {step, "epoch", 2, 8},
      {step, "operation", 3, 0},
      {step, "kind", 4, 12},
      {step, "kernel", 5, 1},
      {step, "metadata", 6, 2},
      {entry, "name", 0, 0},
      {entry, "value", 1, 1},
  };
  for (const auto& f : fields) {
    SCOPED_TRACE(f.name);
    const auto field = f.schema.getFieldByName(f.name);
    EXPECT_EQ(field.getProto().getOrdinal().getExplicit(), f.ordinal);
    const auto slot = field.getProto().getSlot();
    const auto type = field.getType();
    const bool pointer = type.isText() || type.isList() || type.isStruct();
    unsigned bytes = 0;
    switch (type.which()) {
      case capnp::schema::Type::UINT32:
        bytes = 4;
        break;
      case capnp::schema::Type::UINT64:
        bytes = 8;
        break;
      case capnp::schema::Type::ENUM:
        bytes = 2;
        break;
      default:
        bytes = 0;
    }
    // Offsets count in units of the field's own size.
    EXPECT_EQ(pointer ? slot.getOffset() : slot.getOffset() * bytes, f.position);
    EXPECT_FALSE(slot.getHadExplicitDefault());
  }
  const auto kinds = capnp::Schema::from<profile_capnp::StepKind>().getEnumerants();
  ASSERT_EQ(kinds.size(), 4u);
  const char* const names[] = {"exchange", "compute", "synchronization", "idle"};
  for (unsigned i = 0; i < 4; ++i) {
    EXPECT_EQ(kinds[i].getProto().getName(), names[i]);
    EXPECT_EQ(kinds[i].getOrdinal(), i);
  }
}

}  // namespace
