// The figures as --json prints them (keys in the documented order, numbers
// in their shortest exact form) and as tables for a person.
#pragma once

#include <string>
#include <vector>

#include "line/analysis.h"

namespace line {

std::string YieldJson(const YieldFigures& y);
std::string ParetoJson(const std::vector<ParetoRow>& rows);
std::string StatsJson(const std::vector<SeriesFigures>& series);

std::string YieldTable(const YieldFigures& y);
std::string ParetoTable(const std::vector<ParetoRow>& rows);
std::string StatsTable(const std::vector<SeriesFigures>& series);

// "12.5 %"
std::string Percent(double share);
// A number for a person: up to 6 significant digits.
std::string Number(double value);

}  // namespace line
