// The tails where a naive computation fails: far beyond the smallest double,
// where Boost.Math's result gives way to the log-space bound, and near 1.
#include <gtest/gtest.h>

#include <cmath>

#include "health_stats.h"

namespace zel_health {
namespace {

TEST(HealthStatsTest, TailsStayFiniteAndOrderedFarBelowTheSmallestDouble) {
  struct Case {
    const char* what;
    Tail tail;
    double log10_exactly;  // log10 of the probability of exactly the count
  };
  // 500 failures where 0.01 are expected, and a cell failing 1000 of 1000 at 1e-4.
  const Case cases[] = {
      {"poisson", poisson_tail(0.01, 500),
       (500 * std::log(0.01) - 0.01 - std::lgamma(501.0)) / std::log(10.0)},
      {"binomial", binomial_tail(1000, 1e-4, 1000), 1000 * std::log10(1e-4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(std::isfinite(c.tail.log10_p));
    EXPECT_LT(c.tail.log10_p, -308);
    // An upper bound within a few per cent of the first term.
    EXPECT_GE(c.tail.log10_p, c.log10_exactly);
    EXPECT_LT(c.tail.log10_p, c.log10_exactly + 0.05);
  }
  EXPECT_EQ(p_text(poisson_tail(0.01, 500)).substr(3, 2), "e-");
}

TEST(HealthStatsTest, TailsAreContinuousWhereTheLogSpaceBoundTakesOver) {
  // Counts just inside and just outside the doubles' range agree with the
  // tail's slope: each step of one more failure costs about log10(mean / count).
  double previous = 0;
  for (std::uint64_t count = 150; count < 200; ++count) {
    const double now = poisson_tail(1.0, count).log10_p;
    if (count > 150) {
      const double step = now - previous;
      EXPECT_NEAR(step, std::log10(1.0 / static_cast<double>(count)), 0.05) << count;
    }
    previous = now;
  }
}

TEST(HealthStatsTest, TailsNearCertaintyAndTheirText) {
  EXPECT_EQ(poisson_tail(2.4, 0).log10_p, 0);
  EXPECT_NEAR(std::pow(10, poisson_tail(50, 1).log10_p), 1, 1e-12);
  EXPECT_LE(binomial_tail(10, 0.5, 1).log10_p, 0);
  EXPECT_NEAR(std::pow(10, binomial_tail(10, 0.5, 10).log10_p), std::pow(0.5, 10), 1e-15);
  EXPECT_EQ(p_text(Tail{std::log10(3.14e-29)}), "3.1e-29");
  EXPECT_EQ(p_text(Tail{std::log10(9.96e-5)}), "1.0e-4");
  EXPECT_EQ(p_json(Tail{-411.5}), "3.162e-412");
}

}  // namespace
}  // namespace zel_health
