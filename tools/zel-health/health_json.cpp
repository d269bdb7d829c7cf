#include "health_json.h"

#include "number_text.h"
#include "run_time.h"
#include "zel_text.h"

namespace zel_health {
namespace {

// Builds one object at a time: `"key": value` pairs after "{".
class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  JsonObject& text(std::string_view key, std::string_view value) {
    name(key);
    out_ += '"';
    zel_text::append_json_escaped(out_, value);
    out_ += '"';
    return *this;
  }
  JsonObject& number(std::string_view key, std::string_view value) {
    name(key);
    out_ += value;
    return *this;
  }
  JsonObject& number(std::string_view key, std::uint64_t value) {
    return number(key, std::to_string(value));
  }
  void close() { out_ += '}'; }

 private:
  void name(std::string_view key) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += '"';
    out_ += key;
    out_ += "\": ";
  }
  std::string& out_;
  bool first_ = true;
};

// Writes `items` as a JSON array under `key`, an element a line.
template <typename Items, typename Write>
void write_array(zel_tools::Output& out, std::string_view key, const Items& items, Write write,
                 bool last = false) {
  out.write("  \"");
  out.write(key);
  out.write("\": [");
  std::string line;
  bool first = true;
  for (const auto& item : items) {
    line = first ? "\n    " : ",\n    ";
    first = false;
    write(line, item);
    out.write(line);
  }
  out.write(first ? "]" : "\n  ]");
  out.write(last ? "\n" : ",\n");
}

}  // namespace

void write_json(const Fleet& fleet, const Findings& findings, const std::vector<Skipped>& skipped,
                zel_tools::Output& out) {
  const auto& cards = fleet.cards();
  const auto& tests = fleet.tests();
  std::string head = "{\n  \"reports\": " + std::to_string(fleet.reports()) +
                     ",\n  \"results\": " + std::to_string(fleet.results()) + ",\n  \"from\": \"" +
                     start_text(fleet.first_start()) + "\",\n  \"to\": \"" +
                     start_text(fleet.last_start()) + "\",\n";
  out.write(head);
  write_array(out, "skipped", skipped, [](std::string& line, const Skipped& file) {
    JsonObject(line).text("path", file.path).text("reason", file.reason).close();
  });
  write_array(out, "cards", findings.cards, [&](std::string& line, const CardFinding& card) {
    JsonObject(line)
        .text("host", cards[card.card].host)
        .text("card", cards[card.card].card)
        .number("runs", card.runs)
        .number("results", card.results)
        .number("failures", card.failures)
        .number("tests_failing", card.tests_failing)
        .number("expected", zel_tools::shortest(card.expected))
        .number("p", p_json(card.p))
        .text("verdict", card.suspect ? "suspect" : "ok")
        .close();
  });
  write_array(out, "tests", findings.tests, [&](std::string& line, const TestFinding& test) {
    JsonObject(line)
        .text("name", tests[test.test])
        .number("runs", test.runs)
        .number("failures", test.failures)
        .number("cards_failing", test.cards_failing)
        .number("cards", test.cards)
        .text("verdict", verdict_name(test.verdict))
        .close();
  });
  write_array(
      out, "cells", findings.cells,
      [&](std::string& line, const CellFinding& cell) {
        JsonObject(line)
            .text("host", cards[cell.card].host)
            .text("card", cards[cell.card].card)
            .text("test", tests[cell.test])
            .number("runs", cell.here.runs)
            .number("failures", cell.here.failures)
            .number("expected", zel_tools::shortest(cell.expected))
            .number("p", p_json(cell.p))
            .text("verdict", cell.fails_here ? "fails-here" : "ok")
            .close();
      },
      true);
  out.write("}\n");
}

}  // namespace zel_health
