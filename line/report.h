// qxline report: one self-contained HTML page (inline CSS and SVG, no script,
// nothing fetched) with what a test engineer looks at first.
#pragma once

#include <string>

#include "line/analysis.h"
#include "line/database.h"

namespace line {

struct ReportSettings {
  std::string constantsTest = "Calibrate";  // whose measurements are the calibration constants
  std::string database;                     // named in the page (without credentials)
  double cpkBelow = 1.33;                   // series charted below this Cpk, or with alarms
  size_t maxSeries = 60;                    // charted at most; the rest are listed
};

// Queries the figures and writes the page atomically to path.
DbStatus WriteReport(Database& db, const Window& w, const ReportSettings& settings,
                     const std::string& path, std::string* error);

// The page itself, from figures already queried.
struct ReportData {
  Window window;
  std::string generatedAt;
  YieldFigures yield;
  std::vector<ParetoRow> pareto;
  std::vector<SeriesFigures> series;  // with their values
  std::vector<ConstantSpread> constants;
};
std::string RenderReport(const ReportData& data, const ReportSettings& settings);

}  // namespace line
