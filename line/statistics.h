// The figures the line gives for a series of measurements, with how sure
// they are: mean and sample standard deviation, Cpk with Bissell's 95 %
// interval, values beyond the limits, and the Western Electric rules on the
// values in time order against the series' own mean and sigma.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace line {

struct Alarm {
  int rule = 0;      // 1 to 4
  size_t index = 0;  // of the value that completes the pattern, 0-based in time order
};

struct Summary {
  int64_t n = 0;
  double mean = 0;
  std::optional<double> sigma;  // n - 1 in the denominator: none below two values
  double min = 0;
  double max = 0;
  // min(high - mean, mean - low) / (3 sigma), one-sided with one limit; none
  // without limits, or when sigma is none or zero.
  std::optional<double> cpk;
  // cpk -/+ 1.96 sqrt(1 / (9 n) + cpk^2 / (2 (n - 1))).
  std::optional<std::pair<double, double>> cpkCi95;
  int64_t outside = 0;  // values below low or above high (a value on a limit is inside)
  std::vector<Alarm> alarms;
};

// Figures of values (in time order) against the limits they carry.
Summary Summarize(const std::vector<double>& values, std::optional<double> low,
                  std::optional<double> high);

// The Western Electric rules against mean and sigma (sigma > 0):
//   1: a value beyond 3 sigma;
//   2: two of three successive values beyond 2 sigma on the same side;
//   3: four of five successive values beyond 1 sigma on the same side;
//   4: eight successive values on the same side of the mean.
// An alarm is raised at each value that completes a pattern and is itself
// one of the values the rule counts, ordered by index, then rule.
std::vector<Alarm> WesternElectric(const std::vector<double>& values, double mean, double sigma);

}  // namespace line
