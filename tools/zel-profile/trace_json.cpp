// Trace-event JSON of a profile.
#include "trace_json.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "profile_stats.h"
#include "report_text.h"
#include "zel_text.h"

namespace zel_profile {

namespace {

// Which of a tile's threads each of its samples goes to: the first in which
// it nests inside or follows every slice still open at its start. Samples
// are placed in order of start, the longer first where two start together,
// so that a sample's enclosing slices are placed before it.
std::vector<std::size_t> lanes_of(const std::vector<const zel_package::CycleSample*>& samples,
                                  std::size_t& lane_count) {
  std::vector<std::size_t> order(samples.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto end_of = [&](std::size_t i) {
    return samples[i]->start_cycle + sample_cycles(*samples[i]);
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (samples[a]->start_cycle != samples[b]->start_cycle) {
      return samples[a]->start_cycle < samples[b]->start_cycle;
    }
    return end_of(a) > end_of(b);
  });
  std::vector<std::size_t> lane(samples.size());
  std::vector<std::vector<std::uint64_t>> open_ends;  // per lane, innermost last
  for (const std::size_t i : order) {
    const std::uint64_t start = samples[i]->start_cycle, end = end_of(i);
    std::size_t l = 0;
    for (; l < open_ends.size(); ++l) {
      auto& ends = open_ends[l];
      while (!ends.empty() && ends.back() <= start) ends.pop_back();
      if (ends.empty() || ends.back() >= end) break;
    }
    if (l == open_ends.size()) open_ends.emplace_back();
    open_ends[l].push_back(end);
    lane[i] = l;
  }
  lane_count = std::max<std::size_t>(open_ends.size(), 1);
  return lane;
}

std::string metadata_event(std::size_t tid, std::string_view name, std::string_view args) {
  return ",\n{\"ph\":\"M\",\"cat\":\"__metadata\",\"pid\":1,\"tid\":" + std::to_string(tid) +
         ",\"name\":\"" + std::string(name) + "\",\"args\":{" + std::string(args) + "}}";
}

}  // namespace

// Appended piece by piece here and below: a one-character literal +
// std::string trips a g++ 12 -Wrestrict false positive at -O3.
std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  quoted += zel_text::json_escaped(text);
  quoted += '"';
  return quoted;
}

void TraceWriter::start(std::uint64_t clock_hz, std::size_t tiles) {
  clock_hz_ = clock_hz;
  tile_index_ = 0;
  sort_index_ = 0;
  // Thread 1 + t is tile t's first; the further threads of overlapping
  // samples are numbered after all tiles'.
  next_extra_tid_ = tiles + 1;
  std::string process = card_name_ + " (1 us = 1 cycle";
  if (clock_hz_ != 0) process += " = " + time_text(1, clock_hz_);
  process += ")";
  out_.write("{\"otherData\":{\"clock_hz\":" + std::to_string(clock_hz_) +
             ",\"time_unit\":\"cycles\"},\"traceEvents\":[\n");
  out_.write(
      "{\"ph\":\"M\",\"cat\":\"__metadata\",\"pid\":1,\"tid\":1,\"name\":\"process_name\","
      "\"args\":{\"name\":" +
      json_string(process) + "}}");
}

void TraceWriter::tile(const zel_package::TileProfile& tile) {
  const std::size_t t = tile_index_++;
  if (!window_.shows(tile.physical_tile)) return;
  kept_.clear();
  for (const auto& sample : tile.samples) {
    if (window_.holds(sample)) kept_.push_back(&sample);
  }
  std::size_t lane_count = 0;
  const std::vector<std::size_t> lanes = lanes_of(kept_, lane_count);
  std::vector<std::size_t> tids(lane_count);
  const std::string tile_name = "tile " + std::to_string(tile.physical_tile);
  for (std::size_t l = 0; l < lane_count; ++l) {
    tids[l] = l == 0 ? t + 1 : next_extra_tid_++;
    const std::string name =
        l == 0 ? tile_name : tile_name + " (overlapping samples " + std::to_string(l + 1) + ")";
    out_.write(metadata_event(tids[l], "thread_name", "\"name\":" + json_string(name)) +
               metadata_event(tids[l], "thread_sort_index",
                              "\"sort_index\":" + std::to_string(sort_index_++)));
  }
  for (std::size_t s = 0; s < kept_.size(); ++s) {
    const auto& sample = *kept_[s];
    const auto& step = sample.step;
    const std::uint64_t cycles = sample_cycles(sample);
    line_ = ",\n{\"ph\":\"X\",\"cat\":\"";
    line_ += kind_name(step.kind);
    line_ += "\",\"pid\":1,\"tid\":";
    line_ += std::to_string(tids[lanes[s]]);
    line_ += ",\"name\":" + json_string(step.operation);
    line_ += ",\"ts\":" + std::to_string(sample.start_cycle);
    line_ += ",\"dur\":" + std::to_string(cycles);
    line_ += ",\"args\":{\"kernel\":" + json_string(step.kernel);
    if (clock_hz_ != 0) line_ += ",\"duration\":\"" + time_text(cycles, clock_hz_) + "\"";
    line_ += ",\"local_index\":" + std::to_string(step.local_index);
    line_ += ",\"phase\":" + std::to_string(step.phase);
    line_ += ",\"epoch\":" + std::to_string(step.epoch);
    line_ += ",\"start_cycle\":" + std::to_string(sample.start_cycle);
    line_ += ",\"end_cycle\":" + std::to_string(sample.end_cycle);
    // Names may repeat, so the entries stay pairs in file order.
    line_ += ",\"metadata\":[";
    for (std::size_t m = 0; m < step.metadata.size(); ++m) {
      if (m != 0) line_ += ',';
      line_ += '[';
      line_ += json_string(step.metadata[m].name);
      line_ += ',';
      line_ += json_string(step.metadata[m].value);
      line_ += ']';
    }
    line_ += "]}}";
    out_.write(line_);
  }
}

void TraceWriter::finish() {
  out_.write("\n]}\n");
}

TraceSize::TraceSize(const Window& window, std::string_view card_name, std::uint64_t exact_up_to)
    : window_(window), exact_up_to_(exact_up_to), writer_(window, card_name, counted_) {}

void TraceSize::start(std::uint64_t clock_hz, std::size_t tiles) {
  counted_.bytes = 0;
  written_samples_ = estimated_samples_ = 0;
  writer_.start(clock_hz, tiles);
}

void TraceSize::tile(const zel_package::TileProfile& tile) {
  const std::uint64_t before = counted_.bytes;
  if (before <= exact_up_to_) {
    writer_.tile(tile);
    if (counted_.bytes == before) return;
  }
  std::uint64_t kept = 0;
  if (window_.shows(tile.physical_tile)) {
    for (const auto& sample : tile.samples) kept += window_.holds(sample) ? 1 : 0;
  }
  (before <= exact_up_to_ ? written_samples_ : estimated_samples_) += kept;
}

std::uint64_t TraceSize::bytes() const {
  Counter tail;
  TraceWriter(window_, "", tail).finish();
  std::uint64_t bytes = counted_.bytes + tail.bytes;
  if (written_samples_ != 0) bytes += estimated_samples_ * counted_.bytes / written_samples_;
  return bytes;
}

void write_trace(const zel_package::ProfileReport& report, std::string_view card_name,
                 Output& out) {
  const Window everything;
  TraceWriter writer(everything, card_name, out);
  writer.start(report.clock_hz, report.tiles.size());
  for (const auto& tile : report.tiles) writer.tile(tile);
  writer.finish();
}

}  // namespace zel_profile
