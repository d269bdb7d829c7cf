// Trace-event JSON of a profile.
#include "trace_json.h"

#include <string>

#include "number_text.h"
#include "profile_stats.h"
#include "zel_text.h"

namespace zel_profile {

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
  const bool in_cycles = report.clock_hz == 0;
  const double us_per_cycle = in_cycles ? 1.0 : 1e6 / static_cast<double>(report.clock_hz);
  const auto time = [&](std::uint64_t cycles) {
    return shortest(static_cast<double>(cycles) * us_per_cycle);
  };

  out.write(
      "{\"displayTimeUnit\":\"ns\",\"otherData\":{\"clock_hz\":" + std::to_string(report.clock_hz) +
      ",\"time_unit\":\"" + (in_cycles ? "cycles" : "microseconds") + "\"},\"traceEvents\":[\n");
  out.write("{\"ph\":\"M\",\"pid\":1,\"tid\":0,\"name\":\"process_name\",\"args\":{\"name\":" +
            json_string(card_name) + "}}");

  std::string line;
  for (std::size_t t = 0; t < report.tiles.size(); ++t) {
    const auto& tile = report.tiles[t];
    const std::string tid = std::to_string(tile.physical_tile);
    out.write(",\n{\"ph\":\"M\",\"pid\":1,\"tid\":" + tid +
              ",\"name\":\"thread_name\",\"args\":{\"name\":\"tile " + tid + "\"}},\n" +
              "{\"ph\":\"M\",\"pid\":1,\"tid\":" + tid +
              ",\"name\":\"thread_sort_index\",\"args\":{\"sort_index\":" + std::to_string(t) +
              "}}");
    for (const auto& sample : tile.samples) {
      const auto& step = sample.step;
      line = ",\n{\"ph\":\"X\",\"pid\":1,\"tid\":";
      line += tid;
      line += ",\"name\":" + json_string(step.operation);
      line += ",\"cat\":\"" + std::string(kind_name(step.kind)) + "\"";
      line += ",\"ts\":" + time(sample.start_cycle);
      line += ",\"dur\":" + time(sample_cycles(sample));
      line += ",\"args\":{\"kernel\":" + json_string(step.kernel);
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
