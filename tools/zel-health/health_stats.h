// Verdicts on a fleet's cards, tests and cells (a test on a card): which card
// fails more than its tests explain, which test fails on one card only, which
// test is broken or flaky. health_stats.cpp says how they are weighed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet.h"

namespace zel_health {

// A probability kept as its base-10 logarithm, so tails far below the
// smallest double keep their size instead of becoming 0.
struct Tail {
  double log10_p = 0;  // 0 is certainty
};

// P(X >= at_least) for X ~ Poisson(mean), mean > 0.
Tail poisson_tail(double mean, std::uint64_t at_least);
// P(X >= at_least) for X ~ Binomial(trials, q), 0 < q < 1.
Tail binomial_tail(std::uint64_t trials, double q, std::uint64_t at_least);

// "3.1e-29": two significant digits, for a person.
std::string p_text(Tail tail);
// A JSON number: the shortest double that reads back, or, below the
// smallest double, mantissa and exponent written out ("4.2e-412").
std::string p_json(Tail tail);

enum class TestVerdict { kOk, kIsolated, kFlaky, kBroken };
const char* verdict_name(TestVerdict verdict);

struct CardFinding {
  std::uint32_t card = 0;
  std::uint32_t runs = 0;
  std::uint64_t results = 0;
  std::uint64_t failures = 0;
  std::uint32_t tests_run = 0;
  std::uint32_t tests_failing = 0;
  double expected = 0;
  Tail p;
  bool suspect = false;
};

struct TestFinding {
  std::uint32_t test = 0;
  std::uint64_t runs = 0;
  std::uint64_t failures = 0;
  std::uint32_t cards = 0;
  std::uint32_t cards_failing = 0;
  TestVerdict verdict = TestVerdict::kOk;
};

struct CellFinding {
  std::uint32_t card = 0;
  std::uint32_t test = 0;
  Cell here;
  Cell elsewhere;  // the test on every other card
  double expected = 0;
  Tail p;
  bool fails_here = false;
};

struct Findings {
  std::vector<CardFinding> cards;  // by host, then card (numbers in numeric order)
  std::vector<TestFinding> tests;  // by name
  std::vector<CellFinding> cells;  // by test, then card, as above
};

Findings analyse(const Fleet& fleet);

}  // namespace zel_health
