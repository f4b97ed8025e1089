// The figures of a series, worked out by hand: mean, sample sigma, Cpk two-
// and one-sided with Bissell's interval, values outside, the Western
// Electric rules, and the devices far from the others.
#include <gtest/gtest.h>

#include <cmath>

#include "line/analysis.h"
#include "line/statistics.h"

namespace {

using line::Alarm;
using Limit = std::optional<double>;

TEST(LineStatistics, SummaryFigures) {
  // 1 2 3 4: mean 2.5, sigma sqrt(5 / 3) = 1.2909944, 3 sigma = 3.8729833.
  struct Case {
    std::vector<double> values;
    Limit low, high;
    double mean;
    Limit sigma, cpk, ciLow, ciHigh;
    int64_t outside;
  };
  const double s = std::sqrt(5.0 / 3);
  // Bissell: 1.96 sqrt(1 / 36 + cpk^2 / 6) for n = 4.
  auto half = [](double cpk) { return 1.96 * std::sqrt(1.0 / 36 + cpk * cpk / 6); };
  const Case cases[] = {
      {{1, 2, 3, 4},
       0.0,
       10.0,
       2.5,
       s,
       2.5 / (3 * s),
       2.5 / (3 * s) - half(0.6454972),
       2.5 / (3 * s) + half(0.6454972),
       0},
      {{1, 2, 3, 4}, {}, 6.0, 2.5, s, 3.5 / (3 * s), {}, {}, 0},  // high only
      {{1, 2, 3, 4}, 1.5, {}, 2.5, s, 1.0 / (3 * s), {}, {}, 1},  // low only; 1 is below
      {{1, 2, 3, 4}, {}, {}, 2.5, s, {}, {}, {}, 0},              // no limit: no Cpk
      {{1, 2}, 1.0, 2.0, 1.5, std::sqrt(0.5), 0.5 / (3 * std::sqrt(0.5)), {}, {}, 0},  // on the
                                                                                       // limits
      {{7}, 0.0, 10.0, 7, {}, {}, {}, {}, 0},         // one value: no sigma
      {{3, 3, 3}, 0.0, 10.0, 3, 0.0, {}, {}, {}, 0},  // no spread: no Cpk
      // sum of squares 170 - 16^2 / 3 = 254 / 3
      {{-1, 12, 5},
       0.0,
       10.0,
       16.0 / 3,
       std::sqrt(127.0 / 3),
       (14.0 / 3) / (3 * std::sqrt(127.0 / 3)),
       {},
       {},
       2},
  };
  for (const Case& c : cases) {
    line::Summary m = line::Summarize(c.values, c.low, c.high);
    SCOPED_TRACE(testing::Message() << "values " << c.values.size() << " first " << c.values[0]);
    EXPECT_EQ(static_cast<int64_t>(c.values.size()), m.n);
    EXPECT_NEAR(c.mean, m.mean, 1e-12);
    ASSERT_EQ(c.sigma.has_value(), m.sigma.has_value());
    if (c.sigma) {
      EXPECT_NEAR(*c.sigma, *m.sigma, 1e-12);
    }
    if (c.cpk) {
      ASSERT_TRUE(m.cpk.has_value());
      EXPECT_NEAR(*c.cpk, *m.cpk, 1e-7);
      ASSERT_TRUE(m.cpkCi95.has_value());
      if (c.ciLow) {
        EXPECT_NEAR(*c.ciLow, m.cpkCi95->first, 1e-6);
        EXPECT_NEAR(*c.ciHigh, m.cpkCi95->second, 1e-6);
      }
    } else if (c.sigma && *c.sigma > 0 && (c.low || c.high)) {
      ADD_FAILURE() << "case wants no Cpk only without spread or limits";
    } else {
      EXPECT_FALSE(m.cpk.has_value());
    }
    EXPECT_EQ(c.outside, m.outside);
  }
  // The interval of the first case, by hand: 0.6454972 -/+ 1.96 * 0.3118048.
  line::Summary m = line::Summarize({1, 2, 3, 4}, 0.0, 10.0);
  EXPECT_NEAR(0.0343594, m.cpkCi95->first, 1e-6);
  EXPECT_NEAR(1.2566350, m.cpkCi95->second, 1e-6);
}

TEST(LineStatistics, WesternElectricRulesAgainstMeanZeroSigmaOne) {
  struct Case {
    const char* what;
    std::vector<double> values;
    std::vector<std::pair<int, size_t>> alarms;  // rule, index
  };
  const std::vector<double> eight(8, 0.1);
  std::vector<double> nine(9, -0.2);
  std::vector<double> broken = eight;
  broken[4] = 0;  // on the mean: neither side
  const Case cases[] = {
      {"beyond 3 sigma, either side; then two of three",
       {0.5, 3.5, -3.2, 3.0},
       {{1, 1}, {1, 2}, {2, 3}}},
      {"two of three beyond 2 sigma", {2.5, 0, 2.1}, {{2, 2}}},
      {"two of three, the later one completes it", {2.5, 2.1, -0.5, 0}, {{2, 1}}},
      {"two of three on opposite sides", {2.5, 0, -2.1}, {}},
      {"four of five beyond 1 sigma", {1.5, 1.2, 0, 1.1, 1.3}, {{3, 4}}},
      {"three of five beyond 1 sigma", {1.5, 1.2, 0, 0.9, 1.3}, {}},
      {"eight on one side", eight, {{4, 7}}},
      {"nine below: two alarms", nine, {{4, 7}, {4, 8}}},
      {"a value on the mean breaks the run", broken, {}},
      {"rules together", {2.2, 2.4, 3.1, 0.5}, {{2, 1}, {1, 2}, {2, 2}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<int, size_t>> got;
    for (const Alarm& a : line::WesternElectric(c.values, 0, 1)) got.push_back({a.rule, a.index});
    EXPECT_EQ(c.alarms, got) << c.what;
  }
  EXPECT_TRUE(line::WesternElectric({5, 5, 5}, 5, 0).empty()) << "no sigma, no rule";
}

TEST(LineStatistics, FarValues) {
  struct Case {
    std::vector<double> values;
    std::vector<size_t> far;
  };
  const Case cases[] = {
      // median 1.025, MAD 0.075: 5 is (0.6745 * 3.975 / 0.075 =) 35.7 away.
      {{1, 1.1, 0.9, 1.05, 0.95, 5}, {5}},
      {{1, 1.1, 0.9, 1.05, 0.95, 1.2}, {}},  // 1.2: 0.6745 * 0.175 / 0.075 = 1.6
      {{2, 2, 2, 3}, {3}},                   // MAD 0: every value off the median
      {{1, 9}, {}},                          // too few to tell
  };
  for (const Case& c : cases) EXPECT_EQ(c.far, line::FarValues(c.values));
}

}  // namespace
