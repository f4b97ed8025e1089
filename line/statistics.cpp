#include "line/statistics.h"

#include <algorithm>
#include <cmath>

namespace line {

namespace {

// -1 below the band mean -/+ k sigma, +1 above it, 0 within (or on its edge).
int Side(double value, double mean, double sigma, double k) {
  if (value > mean + k * sigma) return 1;
  if (value < mean - k * sigma) return -1;
  return 0;
}

// Rules 2 and 3 at value i: at least `need` of the `window` values ending
// at i (fewer at the start of the series) on the side of value i, which is
// itself beyond. sides[j] is -1, 0 or +1 for value j.
bool Beyond(const std::vector<signed char>& sides, size_t i, size_t window, size_t need) {
  int side = sides[i];
  if (side == 0) return false;
  size_t count = 0;
  for (size_t j = i + 1 >= window ? i + 1 - window : 0; j <= i; ++j) {
    if (sides[j] == side) ++count;
  }
  return count >= need;
}

}  // namespace

std::vector<Alarm> WesternElectric(const std::vector<double>& v, double mean, double sigma) {
  std::vector<Alarm> alarms;
  if (!(sigma > 0)) return alarms;
  std::vector<signed char> beyond1(v.size()), beyond2(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    beyond1[i] = static_cast<signed char>(Side(v[i], mean, sigma, 1));
    beyond2[i] = static_cast<signed char>(Side(v[i], mean, sigma, 2));
  }
  int runSide = 0;
  size_t runLength = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    int side = v[i] > mean ? 1 : (v[i] < mean ? -1 : 0);
    runLength = side != 0 && side == runSide ? runLength + 1 : (side != 0 ? 1 : 0);
    runSide = side;
    if (Side(v[i], mean, sigma, 3) != 0) alarms.push_back({1, i});
    if (Beyond(beyond2, i, 3, 2)) alarms.push_back({2, i});
    if (Beyond(beyond1, i, 5, 4)) alarms.push_back({3, i});
    if (runLength >= 8) alarms.push_back({4, i});
  }
  return alarms;
}

Summary Summarize(const std::vector<double>& values, std::optional<double> low,
                  std::optional<double> high) {
  Summary s;
  s.n = static_cast<int64_t>(values.size());
  if (values.empty()) return s;
  double sum = 0;
  s.min = s.max = values[0];
  for (double v : values) {
    sum += v;
    s.min = std::min(s.min, v);
    s.max = std::max(s.max, v);
    if ((low && v < *low) || (high && v > *high)) ++s.outside;
  }
  // Equal values have no spread: their mean, rounded, would differ from them
  // in the last digit and put every one of them on one side of it.
  s.mean = s.min == s.max ? s.min : sum / static_cast<double>(s.n);
  if (s.n < 2) return s;
  // Two passes: the squares of the deviations, not of the values, keep the
  // precision of constants like 3.158e-07 that vary in their last digits.
  double squares = 0;
  for (double v : values) squares += (v - s.mean) * (v - s.mean);
  double sigma = std::sqrt(squares / static_cast<double>(s.n - 1));
  s.sigma = sigma;
  if (sigma > 0 && (low || high)) {
    double upper = high ? (*high - s.mean) / (3 * sigma) : 0;
    double lower = low ? (s.mean - *low) / (3 * sigma) : 0;
    double cpk = low && high ? std::min(upper, lower) : (high ? upper : lower);
    double n = static_cast<double>(s.n);
    double half = 1.96 * std::sqrt(1 / (9 * n) + cpk * cpk / (2 * (n - 1)));
    s.cpk = cpk;
    s.cpkCi95 = std::make_pair(cpk - half, cpk + half);
  }
  s.alarms = WesternElectric(values, s.mean, sigma);
  return s;
}

}  // namespace line
