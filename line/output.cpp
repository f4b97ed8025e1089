#include "line/output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace line {

namespace {

using Json = nlohmann::ordered_json;

Json Nullable(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }

std::string Dump(const Json& j) {
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// A column of width characters; a right-aligned one keeps a space before it.
std::string Pad(std::string text, size_t width, bool right = false) {
  if (text.size() >= width) return right ? " " + text : text + " ";
  std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

std::string Or(const std::optional<double>& v, const char* none = "-") {
  return v ? Number(*v) : std::string(none);
}

}  // namespace

std::string Percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", share * 100);
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string YieldJson(const YieldFigures& y) {
  Json stations = Json::array();
  for (const StationYield& s : y.stations) {
    Json causes = Json::object();
    for (const auto& c : s.causes) causes[c.first] = c.second;
    stations.push_back({{"station", s.station},
                        {"units", s.units},
                        {"runs", s.runs},
                        {"first_pass_yield", s.firstPassYield},
                        {"final_yield", s.finalYield},
                        {"retest_rate", s.retestRate},
                        {"causes", causes}});
  }
  Json out = {{"stations", stations},
              {"rolled_first_pass_yield", Nullable(y.rolledFirstPassYield)},
              {"unidentified", y.unidentified}};
  return Dump(out);
}

std::string ParetoJson(const std::vector<ParetoRow>& rows) {
  Json out = Json::array();
  for (const ParetoRow& r : rows) {
    Json details = Json::array();
    for (const DetailCount& d : r.details)
      details.push_back({{"text", d.text}, {"count", d.count}});
    out.push_back({{"test", r.test},
                   {"count", r.count},
                   {"share", r.share},
                   {"cumulative", r.cumulative},
                   {"details", details}});
  }
  return Dump(out);
}

std::string StatsJson(const std::vector<SeriesFigures>& series) {
  // Written piece by piece: a drifting series carries thousands of alarms,
  // which as objects of their own would cost more than the figures.
  auto value = [](const Json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  std::string out = "[";
  for (size_t i = 0; i < series.size(); ++i) {
    const SeriesFigures& s = series[i];
    const Summary& m = s.summary;
    Json ci = m.cpkCi95 ? Json::array({m.cpkCi95->first, m.cpkCi95->second}) : Json(nullptr);
    const std::pair<const char*, Json> fields[] = {{"name", s.name},
                                                   {"unit", s.unit},
                                                   {"n", m.n},
                                                   {"mean", m.mean},
                                                   {"sigma", Nullable(m.sigma)},
                                                   {"min", m.min},
                                                   {"max", m.max},
                                                   {"low", Nullable(s.low)},
                                                   {"high", Nullable(s.high)},
                                                   {"cpk", Nullable(m.cpk)},
                                                   {"cpk_ci95", ci},
                                                   {"outside", m.outside}};
    out += i == 0 ? "\n  {" : ",\n  {";
    for (const auto& f : fields)
      out += "\n    \"" + std::string(f.first) + "\": " + value(f.second) + ",";
    out += "\n    \"alarms\": [";
    for (size_t k = 0; k < m.alarms.size(); ++k) {
      out += (k == 0 ? "{\"rule\": " : ", {\"rule\": ") + std::to_string(m.alarms[k].rule) +
             ", \"index\": " + std::to_string(m.alarms[k].index) + "}";
    }
    out += "]\n  }";
  }
  out += series.empty() ? "]\n" : "\n]\n";
  return out;
}

std::string YieldTable(const YieldFigures& y) {
  std::string out = Pad("station", 16) + Pad("units", 7, true) + Pad("runs", 7, true) +
                    Pad("first pass", 12, true) + Pad("final", 9, true) + Pad("retest", 9, true) +
                    "  causes of failed runs\n";
  for (const StationYield& s : y.stations) {
    std::string causes;
    for (const auto& c : s.causes) {
      causes += (causes.empty() ? "" : ", ") + c.first + " " + std::to_string(c.second);
    }
    out += Pad(s.station, 16) + Pad(std::to_string(s.units), 7, true) +
           Pad(std::to_string(s.runs), 7, true) + Pad(Percent(s.firstPassYield), 12, true) +
           Pad(Percent(s.finalYield), 9, true) + Pad(Percent(s.retestRate), 9, true) + "  " +
           (causes.empty() ? "-" : causes) + "\n";
  }
  out += "rolled first-pass yield: " +
         (y.rolledFirstPassYield ? Percent(*y.rolledFirstPassYield) : std::string("-")) + "\n";
  out += "runs without a serial number (left out): " + std::to_string(y.unidentified) + "\n";
  return out;
}

std::string ParetoTable(const std::vector<ParetoRow>& rows) {
  std::string out = Pad("failing test", 28) + Pad("count", 7, true) + Pad("share", 9, true) +
                    Pad("cumulative", 12, true) + "  most frequent details\n";
  for (const ParetoRow& r : rows) {
    std::string details;
    for (const DetailCount& d : r.details) {
      details += (details.empty() ? "\"" : ", \"") + d.text + "\" " + std::to_string(d.count);
    }
    out += Pad(r.test, 28) + Pad(std::to_string(r.count), 7, true) +
           Pad(Percent(r.share), 9, true) + Pad(Percent(r.cumulative), 12, true) + "  " + details +
           "\n";
  }
  if (rows.empty()) out += "no failed runs\n";
  return out;
}

std::string StatsTable(const std::vector<SeriesFigures>& series) {
  std::string out = Pad("measurement", 24) + Pad("unit", 6) + Pad("n", 7, true) +
                    Pad("mean", 12, true) + Pad("sigma", 12, true) + Pad("low", 12, true) +
                    Pad("high", 12, true) + Pad("cpk", 9, true) + Pad("cpk 95 %", 20, true) +
                    Pad("outside", 9, true) + Pad("alarms", 8, true) + "\n";
  for (const SeriesFigures& s : series) {
    const Summary& m = s.summary;
    std::string ci = m.cpkCi95 ? Number(m.cpkCi95->first) + " .. " + Number(m.cpkCi95->second)
                               : std::string("-");
    out += Pad(s.name, 24) + Pad(s.unit.empty() ? "-" : s.unit, 6) +
           Pad(std::to_string(m.n), 7, true) + Pad(Number(m.mean), 12, true) +
           Pad(Or(m.sigma), 12, true) + Pad(Or(s.low), 12, true) + Pad(Or(s.high), 12, true) +
           Pad(Or(m.cpk), 9, true) + Pad(ci, 20, true) + Pad(std::to_string(m.outside), 9, true) +
           Pad(std::to_string(m.alarms.size()), 8, true) + "\n";
  }
  if (series.empty()) out += "no measurements\n";
  return out;
}

}  // namespace line
