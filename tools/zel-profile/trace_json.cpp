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
std::vector<std::size_t> lanes_of(const zel_package::TileProfile& tile, std::size_t& lane_count) {
  const auto& samples = tile.samples;
  std::vector<std::size_t> order(samples.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto end_of = [&](std::size_t i) {
    return samples[i].start_cycle + sample_cycles(samples[i]);
  };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (samples[a].start_cycle != samples[b].start_cycle) {
      return samples[a].start_cycle < samples[b].start_cycle;
    }
    return end_of(a) > end_of(b);
  });
  std::vector<std::size_t> lane(samples.size());
  std::vector<std::vector<std::uint64_t>> open_ends;  // per lane, innermost last
  for (const std::size_t i : order) {
    const std::uint64_t start = samples[i].start_cycle, end = end_of(i);
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

void write_trace(const zel_package::ProfileReport& report, std::string_view card_name,
                 Output& out) {
  const bool timed = report.clock_hz != 0;
  std::string process = std::string(card_name) + " (1 us = 1 cycle";
  if (timed) process += " = " + time_text(1, report.clock_hz);
  process += ")";
  out.write("{\"otherData\":{\"clock_hz\":" + std::to_string(report.clock_hz) +
            ",\"time_unit\":\"cycles\"},\"traceEvents\":[\n");
  out.write(
      "{\"ph\":\"M\",\"cat\":\"__metadata\",\"pid\":1,\"tid\":1,\"name\":\"process_name\","
      "\"args\":{\"name\":" +
      json_string(process) + "}}");

  // Thread 1 + t is tile t's first; the further threads of overlapping
  // samples are numbered after all tiles'.
  std::size_t next_extra_tid = report.tiles.size() + 1;
  std::size_t sort_index = 0;
  std::string line;
  for (std::size_t t = 0; t < report.tiles.size(); ++t) {
    const auto& tile = report.tiles[t];
    std::size_t lane_count = 0;
    const std::vector<std::size_t> lanes = lanes_of(tile, lane_count);
    std::vector<std::size_t> tids(lane_count);
    const std::string tile_name = "tile " + std::to_string(tile.physical_tile);
    for (std::size_t l = 0; l < lane_count; ++l) {
      tids[l] = l == 0 ? t + 1 : next_extra_tid++;
      const std::string name =
          l == 0 ? tile_name : tile_name + " (overlapping samples " + std::to_string(l + 1) + ")";
      out.write(metadata_event(tids[l], "thread_name", "\"name\":" + json_string(name)) +
                metadata_event(tids[l], "thread_sort_index",
                               "\"sort_index\":" + std::to_string(sort_index++)));
    }
    for (std::size_t s = 0; s < tile.samples.size(); ++s) {
      const auto& sample = tile.samples[s];
      const auto& step = sample.step;
      const std::uint64_t cycles = sample_cycles(sample);
      line = ",\n{\"ph\":\"X\",\"cat\":\"";
      line += kind_name(step.kind);
      line += "\",\"pid\":1,\"tid\":";
      line += std::to_string(tids[lanes[s]]);
      line += ",\"name\":" + json_string(step.operation);
      line += ",\"ts\":" + std::to_string(sample.start_cycle);
      line += ",\"dur\":" + std::to_string(cycles);
      line += ",\"args\":{\"kernel\":" + json_string(step.kernel);
      if (timed) line += ",\"duration\":\"" + time_text(cycles, report.clock_hz) + "\"";
      line += ",\"local_index\":" + std::to_string(step.local_index);
      line += ",\"phase\":" + std::to_string(step.phase);
      line += ",\"epoch\":" + std::to_string(step.epoch);
      line += ",\"start_cycle\":" + std::to_string(sample.start_cycle);
      line += ",\"end_cycle\":" + std::to_string(sample.end_cycle);
      // Names may repeat, so the entries stay pairs in file order.
      line += ",\"metadata\":[";
      for (std::size_t m = 0; m < step.metadata.size(); ++m) {
        if (m != 0) line += ',';
        line += '[';
        line += json_string(step.metadata[m].name);
        line += ',';
        line += json_string(step.metadata[m].value);
        line += ']';
      }
      line += "]}}";
      out.write(line);
    }
  }
  out.write("\n]}\n");
}

}  // namespace zel_profile
