// How zel-health weighs a fleet's results.
//
// A card is suspect when its failures are too many for the tests it ran. For
// card c: O = its failures; E = the sum over tests t of (results of t on c) x
// q(t, c), where q(t, c) = (failures of t on the other cards + 0.5) /
// (results of t on the other cards + 1) is the test's failure rate elsewhere,
// kept off 0 and 1 for tests seen little. Failures arriving independently at
// those rates make O about Poisson(E), so c is suspect when O >= 3 and
// P(Poisson(E) >= O) x (number of cards) < 0.001: the number of cards
// corrects for looking at all of them (Bonferroni), so a healthy fleet with
// flaky tests flags no card by chance however large it is.
//
// A test fails on one card (`fails-here`, the sign of a bad tile) when, with
// n its results and O its failures there, O >= 3 and P(Binomial(n, q(t, c)) >=
// O) x (number of cells) < 0.001, a cell being a test on a card it ran on.
//
// A test is broken when it failed at least 3 times and in at least 90 % of its
// results. Otherwise it is flaky with 2 or more failures outside suspect cards
// and fails-here cells, isolated with one, ok with none.
//
// The tails come from Boost.Math (the complement of the cdf, so no 1 - x
// loses them). Where that result drops below the smallest normal double, the
// tail is taken in log space instead: from the probability of exactly O
// (through lgamma) times the geometric bound on the terms after it, which the
// terms' ratio gives once past the mean. That is an upper bound within a few
// per cent there, so p is never made smaller than it is.
#include "health_stats.h"

#include <algorithm>
#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/poisson.hpp>
#include <cfloat>
#include <cmath>

#include "number_text.h"

namespace zel_health {
namespace {

constexpr double kFlagged = 0.001;  // corrected p below which a card or cell is flagged
constexpr std::uint64_t kFewestFailures = 3;
constexpr double kLn10 = 2.302585092994046;

Tail from_probability(double p) {
  return Tail{std::log10(p)};
}

Tail from_log(double ln_p) {
  return Tail{std::min(0.0, ln_p / kLn10)};
}

// Whether `tail` x `tries` is below kFlagged, in log space.
bool flagged(Tail tail, std::size_t tries) {
  return tail.log10_p + std::log10(static_cast<double>(tries)) < std::log10(kFlagged);
}

// Cards in host order, card numbers as numbers: lab-a/2 before lab-a/10.
bool card_before(const Card& a, const Card& b) {
  if (a.host != b.host) return a.host < b.host;
  const bool a_number = !a.card.empty() && std::ranges::all_of(a.card, ::isdigit);
  const bool b_number = !b.card.empty() && std::ranges::all_of(b.card, ::isdigit);
  if (a_number && b_number && a.card.size() != b.card.size()) {
    return a.card.size() < b.card.size();
  }
  return a.card < b.card;
}

}  // namespace

Tail poisson_tail(double mean, std::uint64_t at_least) {
  if (at_least == 0) return Tail{0};
  if (mean <= 0) return Tail{-INFINITY};  // no results: no failure can happen
  const boost::math::poisson_distribution<double> poisson(mean);
  const double p =
      boost::math::cdf(boost::math::complement(poisson, static_cast<double>(at_least - 1)));
  if (p >= DBL_MIN) return from_probability(p);
  const double o = static_cast<double>(at_least);
  const double ln_exactly = o * std::log(mean) - mean - std::lgamma(o + 1);
  // Each later term is the one before times mean / (k + 1) <= mean / (o + 1).
  return from_log(ln_exactly - std::log1p(-mean / (o + 1)));
}

Tail binomial_tail(std::uint64_t trials, double q, std::uint64_t at_least) {
  if (at_least == 0) return Tail{0};
  if (at_least > trials) return Tail{-INFINITY};
  const boost::math::binomial_distribution<double> binomial(static_cast<double>(trials), q);
  const double p =
      boost::math::cdf(boost::math::complement(binomial, static_cast<double>(at_least - 1)));
  if (p >= DBL_MIN) return from_probability(p);
  const double n = static_cast<double>(trials);
  const double o = static_cast<double>(at_least);
  const double ln_exactly = std::lgamma(n + 1) - std::lgamma(o + 1) - std::lgamma(n - o + 1) +
                            o * std::log(q) + (n - o) * std::log1p(-q);
  // Each later term is the one before times (n - k) / (k + 1) x q / (1 - q),
  // at most `ratio`; past the mean it is below 1. Short of it the terms left
  // are bounded by their number times the largest.
  const double ratio = (n - o) / (o + 1) * q / (1 - q);
  return from_log(ratio < 1 ? ln_exactly - std::log1p(-ratio) : ln_exactly + std::log(n - o + 1));
}

std::string p_text(Tail tail) {
  if (tail.log10_p == -INFINITY) return "0";
  double exponent = std::floor(tail.log10_p);
  double mantissa = std::round(std::pow(10.0, tail.log10_p - exponent) * 10) / 10;
  if (mantissa >= 10) {
    mantissa /= 10;
    exponent += 1;
  }
  return zel_tools::fixed(mantissa, 1) + "e" + std::to_string(static_cast<long long>(exponent));
}

std::string p_json(Tail tail) {
  if (tail.log10_p == -INFINITY) return "0";
  const double p = std::pow(10.0, tail.log10_p);
  if (p >= DBL_MIN) return zel_tools::shortest(p);
  const double exponent = std::floor(tail.log10_p);
  return zel_tools::fixed(std::pow(10.0, tail.log10_p - exponent), 3) + "e" +
         std::to_string(static_cast<long long>(exponent));
}

const char* verdict_name(TestVerdict verdict) {
  switch (verdict) {
    case TestVerdict::kOk:
      return "ok";
    case TestVerdict::kIsolated:
      return "isolated";
    case TestVerdict::kFlaky:
      return "flaky";
    case TestVerdict::kBroken:
      return "broken";
  }
  return "ok";
}

Findings analyse(const Fleet& fleet) {
  const auto& cards = fleet.cards();
  const auto& tests = fleet.tests();
  std::vector<std::uint32_t> card_order(cards.size());
  std::vector<std::uint32_t> test_order(tests.size());
  for (std::uint32_t i = 0; i < card_order.size(); ++i) card_order[i] = i;
  for (std::uint32_t i = 0; i < test_order.size(); ++i) test_order[i] = i;
  std::ranges::sort(card_order, [&](auto a, auto b) { return card_before(cards[a], cards[b]); });
  std::ranges::sort(test_order, [&](auto a, auto b) { return tests[a] < tests[b]; });

  // Per test, its results on every card together.
  std::vector<Cell> test_total(tests.size());
  for (const auto& [key, cell] : fleet.cells()) {
    Cell& total = test_total[key & 0xffffffffu];
    total.runs += cell.runs;
    total.failures += cell.failures;
  }

  Findings findings;
  std::vector<std::size_t> card_at(cards.size());  // card id -> its finding
  for (const std::uint32_t card : card_order) {
    card_at[card] = findings.cards.size();
    CardFinding found;
    found.card = card;
    findings.cards.push_back(found);
  }
  for (const RunRecord& run : fleet.runs()) ++findings.cards[card_at[run.card]].runs;

  const std::size_t cell_count = fleet.cells().size();
  for (const std::uint32_t test : test_order) {
    TestFinding found;
    found.test = test;
    found.runs = test_total[test].runs;
    found.failures = test_total[test].failures;
    for (const std::uint32_t card : card_order) {
      const Cell here = fleet.cell(card, test);
      if (here.runs == 0) continue;
      CellFinding cell;
      cell.card = card;
      cell.test = test;
      cell.here = here;
      cell.elsewhere =
          Cell{test_total[test].runs - here.runs, test_total[test].failures - here.failures};
      const double q = (cell.elsewhere.failures + 0.5) / (cell.elsewhere.runs + 1.0);
      cell.expected = here.runs * q;
      cell.p = binomial_tail(here.runs, q, here.failures);
      cell.fails_here = here.failures >= kFewestFailures && flagged(cell.p, cell_count);

      CardFinding& on = findings.cards[card_at[card]];
      on.results += here.runs;
      on.failures += here.failures;
      on.expected += cell.expected;
      ++on.tests_run;
      ++found.cards;
      if (here.failures > 0) {
        ++on.tests_failing;
        ++found.cards_failing;
      }
      findings.cells.push_back(cell);
    }
    findings.tests.push_back(found);
  }
  for (CardFinding& card : findings.cards) {
    card.p = poisson_tail(card.expected, card.failures);
    card.suspect = card.failures >= kFewestFailures && flagged(card.p, cards.size());
  }

  // Failures that neither a suspect card nor a fails-here cell explains.
  std::vector<std::uint64_t> unexplained(tests.size());
  for (const CellFinding& cell : findings.cells) {
    if (!cell.fails_here && !findings.cards[card_at[cell.card]].suspect) {
      unexplained[cell.test] += cell.here.failures;
    }
  }
  for (TestFinding& test : findings.tests) {
    if (test.failures >= kFewestFailures && test.failures * 10 >= test.runs * 9) {
      test.verdict = TestVerdict::kBroken;
    } else if (unexplained[test.test] >= 2) {
      test.verdict = TestVerdict::kFlaky;
    } else if (unexplained[test.test] == 1) {
      test.verdict = TestVerdict::kIsolated;
    }
  }
  return findings;
}

}  // namespace zel_health
