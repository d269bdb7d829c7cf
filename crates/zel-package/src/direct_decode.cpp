// The fast path reads the wire format itself: pointers, far-pointer landing
// pads and inline-composite lists. Every object it touches is bounds-checked
// against its segment and counted against the message's own size, the way the
// library counts reads, so what it accepts the library would accept too, with
// the same records; everything else is left to the library.
#include "direct_decode.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace zel_package {

// Named, not anonymous: DirectTiles (declared in the header) holds a Decoder.
namespace wire {

using Word = std::uint64_t;

// How far ahead of a text the next texts are fetched into the cache, in bytes.
constexpr std::size_t kPrefetchAhead = 16 * 1024;

// The two low bits of a pointer word.
enum PointerKind : unsigned { kStruct = 0, kList = 1, kFar = 2, kOther = 3 };
// A list pointer's element size, bits 32 to 34.
constexpr unsigned kByteElements = 2;
constexpr unsigned kInlineComposite = 7;

// Where a struct's fields are: its data words and its pointer words.
struct StructView {
  const Word* data = nullptr;
  std::uint32_t segment = 0;
  std::uint64_t pointers_at = 0;  // word index of the first pointer in `segment`
  std::uint16_t data_words = 0;
  std::uint16_t pointer_count = 0;
};

// The elements of an inline-composite list of structs.
struct StructList {
  std::uint32_t segment = 0;
  std::uint64_t first = 0;  // word index of element 0
  std::uint32_t count = 0;
  std::uint16_t data_words = 0;
  std::uint16_t pointer_count = 0;

  std::uint32_t size() const { return count; }
};

class Decoder {
 public:
  explicit Decoder(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
    segments_.reserve(segments.size());
    for (const auto& segment : segments) {
      segments_.push_back({reinterpret_cast<const Word*>(segment.begin()), segment.size()});
      budget_ += segment.size();
    }
  }

  // The root, its version and its tile list; false when the fast path leaves them to the library.
  bool open() {
    // The root pointer is the first word of the first segment, read as the
    // only pointer of a struct without data.
    if (segments_.empty() || segments_[0].size == 0 || !spend(1)) return false;
    const StructView message{.pointer_count = 1};
    if (!read_struct(message, 0, root_)) return false;
    const std::uint32_t version = u32(root_, 0);
    if (version < 1 || version > 3) return false;
    return read_struct_list(root_, 0, tiles_);
  }

  std::uint64_t clock_hz() const { return u64(root_, 1); }
  std::uint32_t tile_count() const { return tiles_.size(); }

  // Tile `i` (tiles are taken in list order) into `out`, every field of it
  // overwritten and its memory reused.
  bool tile(std::uint32_t i, TileProfile& out) { return decode_tile(element(tiles_, i), out); }

 private:
  struct Segment {
    const Word* words;
    std::uint64_t size;
  };

  std::vector<Segment> segments_;
  // Words the message may still read: each word of it once.
  std::uint64_t budget_ = 0;
  StructView root_;
  StructList tiles_;

  bool spend(std::uint64_t words) {
    if (words > budget_) return false;
    budget_ -= words;
    return true;
  }

  bool in_segment(std::uint32_t segment, std::uint64_t at, std::uint64_t words) const {
    const std::uint64_t size = segments_[segment].size;
    return at <= size && words <= size - at;
  }

  Word word(std::uint32_t segment, std::uint64_t at) const {
    Word value;
    std::memcpy(&value, segments_[segment].words + at, sizeof value);
    return value;
  }

  // The object a non-null pointer stored at word `at` of `segment` leads
  // to: its segment, its first word, and the word that says its kind and size
  // (the pointer itself, a landing pad, or a double-far pad's tag).
  struct Target {
    std::uint32_t segment;
    std::uint64_t at;
    Word ref;
  };

  static bool near_target(std::uint32_t segment, std::uint64_t at, Word ref, Target& out) {
    // A signed 30-bit offset in words from the end of the pointer.
    const std::int64_t offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(ref)) >> 2;
    const std::int64_t target = static_cast<std::int64_t>(at) + 1 + offset;
    if (target < 0) return false;
    out = {segment, static_cast<std::uint64_t>(target), ref};
    return true;
  }

  bool follow(std::uint32_t segment, std::uint64_t at, Word ref, Target& out) {
    const unsigned kind = ref & 3;
    if (kind == kStruct || kind == kList) return near_target(segment, at, ref, out);
    if (kind != kFar) return false;
    const auto pad_segment = static_cast<std::uint32_t>(ref >> 32);
    const std::uint64_t pad_at = (ref >> 3) & 0x1FFF'FFFF;
    const bool double_far = (ref & 4) != 0;
    const std::uint64_t pad_words = double_far ? 2 : 1;
    if (pad_segment >= segments_.size() || !in_segment(pad_segment, pad_at, pad_words) ||
        !spend(pad_words)) {
      return false;
    }
    const Word pad = word(pad_segment, pad_at);
    if (!double_far) {
      if ((pad & 3) != kStruct && (pad & 3) != kList) return false;
      return near_target(pad_segment, pad_at, pad, out);
    }
    // A single far pointer to the object's start, then a tag with its kind and size.
    if ((pad & 7) != kFar) return false;
    const auto content_segment = static_cast<std::uint32_t>(pad >> 32);
    const Word tag = word(pad_segment, pad_at + 1);
    if (content_segment >= segments_.size() || ((tag & 3) != kStruct && (tag & 3) != kList)) {
      return false;
    }
    out = {content_segment, (pad >> 3) & 0x1FFF'FFFF, tag};
    return true;
  }

  Word pointer(const StructView& s, unsigned index) const {
    return index < s.pointer_count ? word(s.segment, s.pointers_at + index) : 0;
  }

  // A field the struct is too short to hold reads as zero, its default.
  template <typename T>
  static T field(const StructView& s, unsigned index) {
    T value = 0;
    if ((index + 1) * sizeof(T) <= s.data_words * sizeof(Word)) {
      std::memcpy(&value, reinterpret_cast<const unsigned char*>(s.data) + index * sizeof(T),
                  sizeof(T));
    }
    return value;
  }
  static std::uint32_t u32(const StructView& s, unsigned index) {
    return field<std::uint32_t>(s, index);
  }
  static std::uint64_t u64(const StructView& s, unsigned index) {
    return field<std::uint64_t>(s, index);
  }

  StructView element(const StructList& list, std::uint32_t i) const {
    const std::uint64_t at = list.first + std::uint64_t{i} * (list.data_words + list.pointer_count);
    return {segments_[list.segment].words + at, list.segment, at + list.data_words, list.data_words,
            list.pointer_count};
  }

  // The struct that pointer `index` of `s` leads to; a null or missing
  // pointer gives a struct of defaults.
  bool read_struct(const StructView& s, unsigned index, StructView& out) {
    const Word ref = pointer(s, index);
    out = {};
    if (ref == 0) return true;
    Target target;
    if (!follow(s.segment, s.pointers_at + index, ref, target) || (target.ref & 3) != kStruct) {
      return false;
    }
    const auto data_words = static_cast<std::uint16_t>(target.ref >> 32);
    const auto pointer_count = static_cast<std::uint16_t>(target.ref >> 48);
    const std::uint64_t words = std::uint64_t{data_words} + pointer_count;
    if (words == 0 || !in_segment(target.segment, target.at, words) || !spend(words)) return false;
    out = {segments_[target.segment].words + target.at, target.segment, target.at + data_words,
           data_words, pointer_count};
    return true;
  }

  bool read_struct_list(const StructView& s, unsigned index, StructList& out) {
    out = {};
    const Word ref = pointer(s, index);
    if (ref == 0) return true;
    Target target;
    if (!follow(s.segment, s.pointers_at + index, ref, target) || (target.ref & 3) != kList ||
        ((target.ref >> 32) & 7) != kInlineComposite) {
      return false;
    }
    // The word count excludes the tag word in front of the elements.
    const std::uint64_t words = target.ref >> 35;
    if (!in_segment(target.segment, target.at, words + 1) || !spend(words + 1)) return false;
    const Word tag = word(target.segment, target.at);
    if ((tag & 3) != kStruct) return false;
    const auto count = static_cast<std::uint32_t>((tag >> 2) & 0x3FFF'FFFF);
    const auto data_words = static_cast<std::uint16_t>(tag >> 32);
    const auto pointer_count = static_cast<std::uint16_t>(tag >> 48);
    const std::uint64_t element_words = std::uint64_t{data_words} + pointer_count;
    if ((element_words == 0 && count != 0) || count * element_words > words) return false;
    out = {target.segment, target.at + 1, count, data_words, pointer_count};
    return true;
  }

  bool read_text(const StructView& s, unsigned index, std::string& out) {
    const Word ref = pointer(s, index);
    if (ref == 0) {
      out.clear();  // the default, an empty text
      return true;
    }
    Target target;
    if (!follow(s.segment, s.pointers_at + index, ref, target) || (target.ref & 3) != kList ||
        ((target.ref >> 32) & 7) != kByteElements) {
      return false;
    }
    // The byte count includes the terminating NUL.
    const std::uint64_t bytes = target.ref >> 35;
    const std::uint64_t words = (bytes + 7) / 8;
    if (bytes == 0 || !in_segment(target.segment, target.at, words) || !spend(words)) return false;
    const auto* first = reinterpret_cast<const char*>(segments_[target.segment].words + target.at);
    // Writers lay texts out in the order they are read, so the bytes a little
    // further on are the next ones needed; asking for them now hides part of
    // the wait for memory. A prefetch never faults, wherever it points.
    __builtin_prefetch(first + kPrefetchAhead);
    if (first[bytes - 1] != '\0') return false;
    const std::string_view text(first, bytes - 1);
    if (!check_text(text)) return false;
    out.assign(text);
    return true;
  }

  bool decode_tile(const StructView& tile, TileProfile& out) {
    StructList samples;
    if (!read_struct_list(tile, 0, samples)) return false;
    out.samples.resize(samples.size());
    for (std::uint32_t i = 0; i < samples.size(); ++i) {
      const StructView sample = element(samples, i);
      CycleSample& copied = out.samples[i];
      StructView step;
      if (!read_struct(sample, 0, step) || !decode_step(step, copied.step)) return false;
      copied.start_cycle = u32(sample, 0);
      copied.end_cycle = u32(sample, 1);
    }
    out.physical_tile = u32(tile, 0);
    return true;
  }

  bool decode_step(const StructView& step, ProfileStep& out) {
    out.local_index = u32(step, 0);
    out.phase = u32(step, 1);
    out.epoch = u32(step, 2);
    if (!read_text(step, 0, out.operation)) return false;
    // The kind is the seventh 16-bit slot of the data section.
    const auto kind = field<std::uint16_t>(step, 6);
    if (kind > static_cast<std::uint16_t>(ProfileStepKind::Idle)) return false;
    out.kind = static_cast<ProfileStepKind>(kind);
    if (!read_text(step, 1, out.kernel)) return false;
    StructList metadata;
    if (!read_struct_list(step, 2, metadata)) return false;
    out.metadata.resize(metadata.size());
    for (std::uint32_t i = 0; i < metadata.size(); ++i) {
      const StructView entry = element(metadata, i);
      auto& copied = out.metadata[i];
      if (!read_text(entry, 0, copied.name) || !read_text(entry, 1, copied.value)) return false;
    }
    return true;
  }
};

bool all_ascii(std::string_view bytes) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    high |= word;
  }
  for (; i < bytes.size(); ++i) high |= static_cast<unsigned char>(bytes[i]);
  return (high & 0x8080'8080'8080'8080ull) == 0;
}

}  // namespace wire

using wire::all_ascii;
using wire::Decoder;

std::expected<void, zel_utf8::Utf8Error> check_text(std::string_view bytes) {
  if (all_ascii(bytes)) return {};
  return zel_utf8::validate(bytes);
}

DirectTiles::DirectTiles(kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments)
    : decoder_(std::make_unique<Decoder>(segments)) {}
DirectTiles::~DirectTiles() = default;

bool DirectTiles::open() {
  return decoder_->open();
}
std::uint64_t DirectTiles::clock_hz() const {
  return decoder_->clock_hz();
}
std::uint32_t DirectTiles::tile_count() const {
  return decoder_->tile_count();
}
bool DirectTiles::tile(std::uint32_t i, TileProfile& out) {
  return decoder_->tile(i, out);
}

std::optional<ProfileReport> decode_directly(
    kj::ArrayPtr<const kj::ArrayPtr<const capnp::word>> segments) {
  DirectTiles tiles(segments);
  if (!tiles.open()) return std::nullopt;
  ProfileReport report;
  report.tiles.resize(tiles.tile_count());
  for (std::uint32_t i = 0; i < report.tiles.size(); ++i) {
    if (!tiles.tile(i, report.tiles[i])) return std::nullopt;
  }
  report.clock_hz = tiles.clock_hz();
  return report;
}

}  // namespace zel_package
