// The line's figures from the database: yield per station, the failure
// Pareto, statistics per measurement, and the calibration constants across
// devices. The same SQL on SQLite and PostgreSQL; the arithmetic is done
// here, on the rows in one defined order, so both give the same numbers.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "line/database.h"
#include "line/statistics.h"

namespace line {

// The runs a figure is made of: one station or all, and start times from
// sinceMs (inclusive) to untilMs (exclusive).
struct Window {
  std::string station;
  std::optional<int64_t> sinceMs;
  std::optional<int64_t> untilMs;
};

struct StationYield {
  std::string station;
  int64_t units = 0;  // distinct serial numbers
  int64_t runs = 0;
  double firstPassYield = 0;              // units whose first run passed, over units
  double finalYield = 0;                  // units whose last run passed, over units
  double retestRate = 0;                  // (runs - units) / units
  std::map<std::string, int64_t> causes;  // of the runs that did not pass
};

struct DailyYield {
  std::string station;
  std::string day;    // "YYYY-MM-DD", UTC, of the unit's first run there
  int64_t units = 0;  // units first seen at the station that day
  double firstPassYield = 0;
};

struct YieldFigures {
  std::vector<StationYield> stations;          // those with identified runs, by name
  std::optional<double> rolledFirstPassYield;  // the product of the stations'
  int64_t unidentified = 0;      // runs without a serial number, left out of the yields
  std::vector<DailyYield> days;  // by station, then day
};

struct DetailCount {
  std::string text;
  int64_t count = 0;
};

struct ParetoRow {
  std::string test;  // the first test of a failed run whose status is not Passed
  int64_t count = 0;
  double share = 0;
  double cumulative = 0;
  std::vector<DetailCount> details;  // the most frequent first, at most kParetoDetails
};
constexpr size_t kParetoDetails = 5;
// A failed run none of whose tests is anything but Passed (an upgrade's).
constexpr const char* kNoTest = "(no test)";

struct SeriesFigures {
  std::string name;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  Summary summary;
  std::vector<double> values;  // in time order, when asked for
};

struct ConstantSpread {
  std::string name;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  std::vector<std::pair<int64_t, double>> devices;  // serial number, last value
  std::vector<int64_t> far;                         // serial numbers far from the others
};

DbStatus QueryYield(Database& db, const Window& w, YieldFigures* out, std::string* error);
DbStatus QueryPareto(Database& db, const Window& w, std::vector<ParetoRow>* out,
                     std::string* error);
// names empty: every measurement that carries a limit. Ranked by cpk, lowest
// first (none last), then name.
DbStatus QueryStats(Database& db, const Window& w, const std::vector<std::string>& names,
                    bool keepValues, std::vector<SeriesFigures>* out, std::string* error);
// The constants a test (the calibration's) records, each device's last value.
DbStatus QueryConstants(Database& db, const Window& w, const std::string& test,
                        std::vector<ConstantSpread>* out, std::string* error);

// Values far from the others: modified z-score 0.6745 |x - median| / MAD
// above 3.5; with a MAD of zero, every value off the median.
std::vector<size_t> FarValues(const std::vector<double>& values);

}  // namespace line
